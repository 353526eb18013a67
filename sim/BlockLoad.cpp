#include "BlockLoad.h"

#include "CommandLine.h"
#include "Crc32.h"
#include "InstrumentWire.h"
#include "ProgramRun.h"

#include <QRegularExpression>
#include <QSaveFile>

namespace qx2sim
{

using namespace wire;

bool BlockLoad::exactLoadLine(const QString& rawLine)
{
    static const QRegularExpression re(
        QStringLiteral("^LOAD [0-9A-F]{8} [0-9A-F]{8} [0-9A-F]{8}$"));
    return re.match(rawLine).hasMatch();
}

void BlockLoad::start(const QString& line, const QStringList& args)
{
    quint32 rate = 0;
    quint32 address = 0;
    quint32 count = 0;
    if (args.size() != 3 || !parseHex32(args[0], &rate) || !parseHex32(args[1], &address) ||
        !parseHex32(args[2], &count)) {
        outLine(QStringLiteral("LOAD rate address count   (three hexadecimal fields)"));
        prompt();
        return;
    }
    if (count > kMaxLoadCount) {
        outLine(QStringLiteral("LOAD: count %1 is larger than the memory").arg(hex8(count)));
        prompt();
        return;
    }
    if (quint64(address) + count > Q_UINT64_C(0x100000000)) {
        // The address does not wrap round to 0.
        violation(QStringLiteral("LOAD %1 + %2 passes the end of the address space")
                      .arg(hex8(address), hex8(count)));
        summary(QStringLiteral("LOAD refused"));
        outLine(QStringLiteral("LOAD: address + count pass FFFFFFFF"));
        prompt();
        return;
    }
    load = LoadRecord();
    load.commandLine = line;
    load.mode =
        core.simMode == SimMode::Monitor ? QStringLiteral("monitor") : QStringLiteral("console");
    load.rateField = rate;
    load.address = address;
    load.count = count;
    load.commandSettings = io->lineSettings();
    loadReceived = 0;
    ampUsed = false;
    ampGuardUntil = -1;
    note(QStringLiteral("LOAD command rate=%1 address=%2 count=%3")
             .arg(hex8(rate), hex8(address), hex8(count)));
    if (options.noPlus) {
        load.outcome = QStringLiteral("fault: no '+' sent");
        model.loads.append(load);
        note(QStringLiteral("fault: no '+' for this LOAD"));
        return; // back at the command line, silently
    }
    if (options.noiseBeforePlus > 0) {
        note(QStringLiteral("fault: %1 bytes before '+'").arg(options.noiseBeforePlus));
        out(QByteArray(options.noiseBeforePlus, '*'));
    }
    handshake(kPlus);
    core.active = Activity::BlockLoad;
    step = Step::HostPlus;
    if (rate > 0)
        switchUart(rate, QStringLiteral("LOAD data phase"));
}

int BlockLoad::consume(const char* p, int n)
{
    const auto c = static_cast<unsigned char>(p[0]);
    switch (step) {
    case Step::HostPlus:
        return hostPlus(p, n);
    case Step::LenHi:
        if (const int lost = dropEarly(n, "of a block"))
            return lost;
        core.awaiting.clear();
        blockLength = c << 8;
        step = Step::LenLo;
        return 1;
    case Step::LenLo:
        blockLength |= c;
        takeBlockLength();
        return 1;
    case Step::Data:
        return blockData(p, n);
    case Step::Trailer:
        return trailer(c);
    case Step::AmpAnswer:
        return ampAnswer(c, n);
    case Step::FailedDrain:
        return n; // the rest of a failed load, dropped until the line is quiet
    }
    return 1;
}

int BlockLoad::hostPlus(const char* p, int n)
{
    if (const int lost = dropEarly(n, "after the LOAD line"))
        return lost;
    int i = 0;
    while (i < n && p[i] != kPlus)
        ++i;
    if (i > 0) {
        // Only the host's '+' opens the data phase; anything else is lost.
        if (!options.lenient)
            violation(
                QStringLiteral("%1 byte(s) other than '+' after the instrument's '+'").arg(i));
        return i;
    }
    core.awaiting.clear();
    load.dataSettings = io->lineSettings();
    note(QStringLiteral("LOAD data phase starts"));
    requestBlock();
    return 1;
}

int BlockLoad::blockData(const char* p, int n)
{
    const int k = qMin(n, blockRemaining);
    // Never more than announced, whatever the host sends.
    const int keep = static_cast<int>(qMin<qint64>(k, qint64(load.count) - loadReceived));
    if (keep < k)
        note(QStringLiteral("LOAD: %1 byte(s) beyond the announced count dropped").arg(k - keep));
    load.data.append(p, keep);
    blockRemaining -= k;
    loadReceived += static_cast<quint32>(keep);
    if (blockRemaining == 0) {
        trailerSeen = 0;
        step = Step::Trailer;
    }
    return k;
}

int BlockLoad::trailer(unsigned char c)
{
    if (c != 0) {
        load.trailersOk = false;
        if (!options.lenient) {
            fail(QStringLiteral("block %1 ends with %2 instead of 00 00")
                     .arg(load.blockLengths.size() + 1)
                     .arg(hexByte(c)));
            return 1;
        }
    }
    if (++trailerSeen == 2) {
        load.blockLengths.append(blockLength);
        requestBlock();
    }
    return 1;
}

int BlockLoad::ampAnswer(unsigned char c, int n)
{
    LoadRecord& rec = model.loads.last();
    if (const int lost = dropEarly(n, "answering '&'")) {
        rec.ampAnswersOk = false;
        return lost;
    }
    core.awaiting.clear();
    ++rec.ampAnswers;
    if (c != 0) {
        rec.ampAnswersOk = false;
        if (!options.lenient)
            violation(QStringLiteral("%1 instead of 0x00 answering '&'").arg(hexByte(c)));
    }
    if (ampLeft > 0) {
        --ampLeft;
        handshake(kAmp);
    } else {
        ampGuardUntil = core.nowMs + options.timing.ampGuardMs;
        sendMinus();
    }
    return 1;
}

bool BlockLoad::lateAmpAnswer(unsigned char c)
{
    if (ampGuardUntil < 0)
        return false;
    if (core.nowMs <= ampGuardUntil && !options.lenient) {
        // Exactly one 0x00 answers each '&'.
        violation(QStringLiteral("second byte %1 answering '&'").arg(hexByte(c)));
        if (!model.loads.isEmpty())
            model.loads.last().ampAnswersOk = false;
        return true;
    }
    ampGuardUntil = -1;
    return false;
}

qint64 BlockLoad::deadline() const
{
    if (step == Step::FailedDrain)
        return core.lastByteAt + options.timing.failDrainMs;
    return core.lastByteAt + options.timing.loadIdleMs;
}

void BlockLoad::expire()
{
    switch (step) {
    case Step::AmpAnswer:
        // The data is complete and recorded; only the '&' answers are missing.
        model.loads.last().outcome = QStringLiteral("complete; no answer to '&'");
        note(QStringLiteral("LOAD: no answer to '&' for %1 ms").arg(options.timing.loadIdleMs));
        core.active = Activity::Line;
        core.line->clearLine();
        switchUart(options.terminalBaud, QStringLiteral("load given up"));
        loadSummary();
        break;
    case Step::FailedDrain:
        core.active = Activity::Line;
        core.line->clearLine();
        out("\r\n");
        outLine(QStringLiteral("LOAD failed: ") + failReason);
        prompt();
        break;
    default:
        abandon(QStringLiteral("abandoned: line quiet for %1 ms").arg(options.timing.loadIdleMs));
        break;
    }
}

void BlockLoad::summaryIfDue(qint64 now)
{
    if (summaryDue >= 0 && now >= summaryDue)
        loadSummary();
}

void BlockLoad::requestBlock()
{
    step = Step::LenHi;
    core.awaiting.clear();
    // No '=' once everything announced has arrived: the host sends the zero
    // length without waiting.
    if (loadReceived >= load.count) {
        if (options.equalsAfterLast && load.count > 0) {
            note(QStringLiteral("fault: '=' after the last block"));
            out(QByteArray(1, kEquals));
        }
        return;
    }
    const int blocks = load.blockLengths.size();
    if (options.stallAfterBlocks >= 0 && blocks >= options.stallAfterBlocks) {
        note(QStringLiteral("fault: no '=' after %1 block(s)").arg(blocks));
        core.awaiting = QString(QLatin1Char(kEquals));
        core.withholdHandshake();
        return;
    }
    if (options.wrongAck >= 0 && blocks == options.wrongAckBlock - 1) {
        out(QByteArray(1, static_cast<char>(options.wrongAck)));
        abandon(QStringLiteral("fault: sent %1 instead of '=' for block %2")
                    .arg(hexByte(options.wrongAck))
                    .arg(blocks + 1));
        return;
    }
    handshake(kEquals);
}

void BlockLoad::takeBlockLength()
{
    const quint32 remaining = load.count - loadReceived;
    const int expected = static_cast<int>(qMin<quint32>(remaining, 1024));
    if (blockLength == 0) {
        if (remaining > 0 && !options.lenient) {
            fail(QStringLiteral("zero length after %1 of %2 bytes")
                     .arg(loadReceived)
                     .arg(load.count));
            return;
        }
        finish();
        return;
    }
    if (blockLength != expected && !options.lenient) {
        fail(QStringLiteral("block %1 announces %2 bytes, expected %3")
                 .arg(load.blockLengths.size() + 1)
                 .arg(blockLength)
                 .arg(expected));
        return;
    }
    blockRemaining = blockLength;
    step = Step::Data;
}

void BlockLoad::finish()
{
    load.complete = true;
    load.outcome = QStringLiteral("complete");
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    model.writes.append({load.address, load.data});
    model.loads.append(load);
    core.program->loaded(load.address);
    if (options.extraAmp > 0) {
        ampUsed = true;
        ampLeft = options.extraAmp - 1;
        handshake(kAmp);
        step = Step::AmpAnswer;
        return;
    }
    sendMinus();
}

void BlockLoad::sendMinus()
{
    core.active = Activity::Line;
    core.line->clearLine();
    core.line->expectGo();
    if (options.noMinus) {
        note(QStringLiteral("fault: no '-' after the load"));
    } else {
        out(QByteArray(1, kMinus));
        out("\r\n");
        prompt();
    }
    // '-' and the prompt still go at the load rate.
    switchUart(options.terminalBaud, QStringLiteral("load done"));
    if (ampUsed)
        summaryDue = core.nowMs + options.timing.ampGuardMs; // a doubled answer may still come
    else
        loadSummary();
}

void BlockLoad::loadSummary()
{
    summaryDue = -1;
    if (model.loads.isEmpty())
        return;
    LoadRecord& rec = model.loads.last();
    rec.violations += core.convViolations;
    saveLoad(rec);
    summary(QStringLiteral("LOAD done address=%1 count=%2 received=%3 blocks=%4 crc=%5 "
                           "trailers=%6 data-settings=%7 command-settings=%8 amp-answers=%9")
                .arg(hex8(rec.address), hex8(rec.count))
                .arg(rec.data.size())
                .arg(rec.blockLengths.size())
                .arg(hex8(rec.crc))
                .arg(rec.trailersOk ? QLatin1String("ok") : QLatin1String("bad"))
                .arg(rec.dataSettings.toString(), rec.commandSettings.toString())
                .arg(QStringLiteral("%1/%2")
                         .arg(rec.ampAnswers)
                         .arg(rec.ampAnswersOk ? QLatin1String("ok") : QLatin1String("bad"))));
}

// A load that ends before its last block: what arrived is kept in memory and on record.
void BlockLoad::recordEnded(const QString& outcome)
{
    load.outcome = outcome;
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    if (!load.data.isEmpty())
        model.writes.append({load.address, load.data});
    load.violations = core.convViolations;
    model.loads.append(load);
    saveLoad(load);
}

void BlockLoad::abandon(const QString& why)
{
    recordEnded(why);
    summary(QStringLiteral("LOAD %1 after %2 of %3 bytes address=%4 crc=%5")
                .arg(why)
                .arg(load.data.size())
                .arg(load.count)
                .arg(hex8(load.address), hex8(load.crc)));
    core.active = Activity::Line;
    core.line->clearLine();
    core.awaiting.clear();
    switchUart(options.terminalBaud, QStringLiteral("load given up"));
}

void BlockLoad::fail(const QString& why)
{
    violation(why);
    recordEnded(QStringLiteral("failed: ") + why);
    summary(QStringLiteral("LOAD failed: %1; after %2 of %3 bytes address=%4")
                .arg(why)
                .arg(load.data.size())
                .arg(load.count)
                .arg(hex8(load.address)));
    // The rest of the host's data is dropped; the failure is reported once the line is quiet.
    failReason = why;
    step = Step::FailedDrain;
    core.line->clearLine();
    core.awaiting.clear();
    switchUart(options.terminalBaud, QStringLiteral("load failed"));
}

void BlockLoad::saveLoad(const LoadRecord& rec)
{
    if (options.saveLoadsDir.isEmpty())
        return;
    const QString path = QStringLiteral("%1/load-%2-%3.bin")
                             .arg(options.saveLoadsDir)
                             .arg(model.loads.size())
                             .arg(hex8(rec.address));
    QSaveFile f(path);
    if (f.open(QIODevice::WriteOnly) && f.write(rec.data) == rec.data.size() && f.commit())
        note(QStringLiteral("LOAD bytes saved to %1").arg(path));
    else
        note(QStringLiteral("LOAD bytes not saved to %1: %2").arg(path, f.errorString()));
}

} // namespace qx2sim
