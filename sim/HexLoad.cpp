#include "HexLoad.h"

#include "InstrumentWire.h"

namespace qx2sim
{

using namespace wire;

void HexLoad::start(const QString& command)
{
    hex = HexLoadRecord();
    hex.command = command;
    lineBuffer.clear();
    upper = 0;
    note(QStringLiteral("lo download starts: %1").arg(command));
    if (options.noPercentAfterLo) {
        note(QStringLiteral("fault: no '%' after lo"));
        core.awaiting.clear();
    } else {
        handshake(kPercent);
    }
    core.active = Activity::HexLoad;
    step = Step::Data;
    switchUart(kLoRate, QStringLiteral("lo download"));
}

int HexLoad::consume(const char* p, int n)
{
    if (step == Step::Data)
        return data(p, n);
    return closingByte(static_cast<unsigned char>(p[0]));
}

int HexLoad::data(const char* p, int n)
{
    if (const int lost = dropEarly(n, "of a lo download"))
        return lost;
    core.awaiting.clear();
    for (int i = 0; i < n; ++i) {
        const char ch = p[i];
        if (hex.raw.isEmpty())
            hex.dataSettings = io->lineSettings();
        hex.raw.append(ch);
        if (ch == '\r' || ch == '\n') {
            if (!lineBuffer.isEmpty()) {
                const QByteArray text = lineBuffer;
                lineBuffer.clear();
                line(text);
                if (step != Step::Data)
                    return i + 1;
            }
        } else if (lineBuffer.size() < 1024) {
            lineBuffer.append(ch);
        }
    }
    return n;
}

int HexLoad::closingByte(unsigned char c)
{
    if (c == kPercent) {
        if (!options.lenient && !core.awaiting.isEmpty() && !core.handshakeOnLine()) {
            violation(QStringLiteral("'%' sent before the instrument's closing '%' (lost)"));
            return 1;
        }
        core.awaiting.clear();
        if (!model.hexLoads.isEmpty())
            model.hexLoads.last().closed = true;
        note(QStringLiteral("lo: closing '%' from the host"));
        core.active = Activity::Line;
        out("\r\n");
        prompt();
        return 1;
    }
    if (c == kCR || c == kLF || c == 0) {
        // The line end after the end record still belongs to the download.
        if (!model.hexLoads.isEmpty())
            model.hexLoads.last().raw.append(static_cast<char>(c));
        return 1;
    }
    // The host moved on without its '%': the byte belongs to the command line.
    note(QStringLiteral("lo: no closing '%' from the host"));
    core.active = Activity::Line;
    return 0;
}

qint64 HexLoad::deadline() const
{
    if (step == Step::Closing)
        return core.lastByteAt + options.timing.hexClosingMs;
    return core.lastByteAt +
           (hex.raw.isEmpty() ? options.timing.loadIdleMs : options.timing.hexIdleMs);
}

void HexLoad::expire()
{
    if (step == Step::Closing) {
        note(QStringLiteral("lo: the host sent no closing '%'"));
        core.active = Activity::Line;
    } else if (hex.raw.isEmpty()) {
        note(QStringLiteral("lo: no data arrived; back to the prompt"));
        core.active = Activity::Line;
        switchUart(options.terminalBaud, QStringLiteral("lo given up"));
    } else {
        finish(QStringLiteral("quiet"));
    }
}

void HexLoad::line(const QByteArray& text)
{
    HexRecord r;
    if (!parseHexRecord(text, &r)) {
        ++hex.badLines;
        return;
    }
    applyRecord(r);
    if (r.isEnd())
        finish(QStringLiteral("end record"));
}

void HexLoad::applyRecord(const HexRecord& r)
{
    hex.records.append(r);
    if (!r.checksumOk)
        ++hex.badLines;
    if (r.format == ':' && (r.type == 2 || r.type == 4) && r.data.size() == 2) {
        const quint32 v =
            (static_cast<unsigned char>(r.data[0]) << 8) | static_cast<unsigned char>(r.data[1]);
        upper = r.type == 2 ? v << 4 : v << 16;
    }
    if (r.isData() && !r.data.isEmpty()) {
        const quint32 at = r.format == ':' ? upper + r.address : r.address;
        model.writes.append({at, r.data});
    }
}

void HexLoad::finish(const QString& why)
{
    // A last line without its line end still counts.
    if (!lineBuffer.isEmpty()) {
        HexRecord r;
        if (parseHexRecord(lineBuffer, &r))
            applyRecord(r);
        else
            ++hex.badLines;
        lineBuffer.clear();
    }
    hex.endSeen = !hex.records.isEmpty() && hex.records.last().isEnd();
    hex.violations = core.convViolations;
    model.hexLoads.append(hex);
    summary(QStringLiteral("lo download ends (%1): %2 bytes, %3 records, %4 bad, settings %5")
                .arg(why)
                .arg(hex.raw.size())
                .arg(hex.records.size())
                .arg(hex.badLines)
                .arg(hex.dataSettings.toString()));
    if (options.noPercentAfterData) {
        note(QStringLiteral("fault: no '%' after the data"));
        core.awaiting.clear();
    } else {
        handshake(kPercent);
    }
    step = Step::Closing;
    switchUart(options.terminalBaud, QStringLiteral("lo download done"));
}

} // namespace qx2sim
