#include "Instrument.h"

#include "InstrumentWire.h"

namespace qx2sim
{

using namespace wire;

Instrument::Instrument(const SimOptions& options, CardTree* card, InstrumentIo* io)
    : core(options, card, io), line(core), capture(core), blockLoad(core), hexLoad(core),
      program(core), link(core)
{
    core.line = &line;
    core.capture = &capture;
    core.blockLoad = &blockLoad;
    core.hexLoad = &hexLoad;
    core.program = &program;
    core.link = &link;
}

ActivePart& Instrument::activePart()
{
    return const_cast<ActivePart&>(static_cast<const Instrument*>(this)->activePart());
}

const ActivePart& Instrument::activePart() const
{
    switch (core.active) {
    case Activity::Line:
        return line;
    case Activity::Capture:
        return capture;
    case Activity::BlockLoad:
        return blockLoad;
    case Activity::HexLoad:
        return hexLoad;
    case Activity::Program:
        return program;
    case Activity::Link:
        return link;
    }
    return line;
}

qint64 Instrument::uartTrailingBaud() const
{
    const bool trailing = core.active == Activity::HexLoad && hexLoad.closing();
    return !core.options.lenient && trailing ? kLoRate : 0;
}

void Instrument::finishSession()
{
    const MemoryModel& model = core.model;
    core.summary(QStringLiteral("session end: loads=%1 lo=%2 card-files=%3 clock-sets=%4 "
                                "programs=%5 all-violations=%6")
                     .arg(model.loads.size())
                     .arg(model.hexLoads.size())
                     .arg(model.cardFiles.size())
                     .arg(model.clockSets.size())
                     .arg(model.programs.size())
                     .arg(model.violations.size()));
}

void Instrument::start(qint64 nowMs)
{
    core.lastByteAt = nowMs;
    if (core.options.skiffer) {
        link.start();
    } else {
        core.outLine(QStringLiteral("Zelkon DOS for Vantrel QX2 (simulated). Type HELP."));
        core.prompt();
    }
    core.flush();
}

void Instrument::receive(const QByteArray& bytes, qint64 now)
{
    core.nowMs = now;
    if (core.active == Activity::Line && now - core.lastByteAt >= core.options.timing.wakeResetMs)
        line.newWakeUp();
    core.lastByteAt = now;
    core.responseGap = core.options.turnaroundMs;
    feed(bytes);
    core.flush();
    core.responseGap = 0;
}

void Instrument::feed(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    int n = bytes.size();
    // Every part takes what belongs to it; a byte that ends its conversation
    // is taken alone, so the rest is read by the next part whatever the chunking.
    int guard = 0;
    while (n > 0) {
        if (link.stalled()) {
            // Read from the pty but not by the instrument: kept for later.
            heldInput.append(p, n);
            return;
        }
        const int used = activePart().consume(p, n);
        if (used == 0 && !link.stalled() && ++guard > 4)
            break; // cannot happen: a part that passes a byte on hands the line on
        if (used > 0)
            guard = 0;
        p += used;
        n -= used;
    }
}

qint64 Instrument::deadline() const
{
    const qint64 due = activePart().deadline();
    const qint64 summaryDue = blockLoad.summaryDeadline();
    if (summaryDue >= 0 && (due < 0 || summaryDue < due))
        return summaryDue;
    return due;
}

void Instrument::tick(qint64 now)
{
    core.nowMs = now;
    blockLoad.summaryIfDue(now);
    ActivePart& part = activePart();
    const qint64 due = part.deadline();
    if (due >= 0 && now >= due) {
        part.expire();
        if (!link.stalled() && !heldInput.isEmpty()) {
            // The link server gave up the upload it had stopped reading: what
            // the host sent meanwhile is read now.
            const QByteArray held = heldInput;
            heldInput.clear();
            feed(held);
        }
    }
    core.flush();
}

} // namespace qx2sim
