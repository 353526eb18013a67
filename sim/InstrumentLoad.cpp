// The boot monitor's data conversations: the LOAD block protocol and the
// "lo" S-record / hex downloads. Part of Instrument.
#include "Instrument.h"

#include "Crc32.h"
#include "InstrumentWire.h"

#include <QRegularExpression>
#include <QSaveFile>

namespace qx2sim
{

using namespace wire;

// ---------------------------------------------------------------- block loader

bool Instrument::exactLoadLine(const QString& rawLine) const
{
    static const QRegularExpression re(
        QStringLiteral("^LOAD [0-9A-F]{8} [0-9A-F]{8} [0-9A-F]{8}$"));
    return re.match(rawLine).hasMatch();
}

void Instrument::startLoad(const QString& line, const QStringList& args)
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
    load.mode = simMode == SimMode::Monitor ? QStringLiteral("monitor") : QStringLiteral("console");
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
    phase = Phase::LoadHostPlus;
    if (rate > 0)
        switchUart(rate, QStringLiteral("LOAD data phase"));
}

void Instrument::requestBlock()
{
    phase = Phase::LoadLenHi;
    awaiting.clear();
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
        awaiting = QString(QLatin1Char(kEquals));
        withholdHandshake();
        return;
    }
    if (options.wrongAck >= 0 && blocks == options.wrongAckBlock - 1) {
        out(QByteArray(1, static_cast<char>(options.wrongAck)));
        abandonLoad(QStringLiteral("fault: sent %1 instead of '=' for block %2")
                        .arg(hexByte(options.wrongAck))
                        .arg(blocks + 1));
        return;
    }
    handshake(kEquals);
}

void Instrument::takeBlockLength()
{
    const quint32 remaining = load.count - loadReceived;
    const int expected = static_cast<int>(qMin<quint32>(remaining, 1024));
    if (blockLength == 0) {
        if (remaining > 0 && !options.lenient) {
            failLoad(QStringLiteral("zero length after %1 of %2 bytes")
                         .arg(loadReceived)
                         .arg(load.count));
            return;
        }
        finishLoad();
        return;
    }
    if (blockLength != expected && !options.lenient) {
        failLoad(QStringLiteral("block %1 announces %2 bytes, expected %3")
                     .arg(load.blockLengths.size() + 1)
                     .arg(blockLength)
                     .arg(expected));
        return;
    }
    blockRemaining = blockLength;
    phase = Phase::LoadData;
}

void Instrument::finishLoad()
{
    load.complete = true;
    load.outcome = QStringLiteral("complete");
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    model.writes.append({load.address, load.data});
    model.loads.append(load);
    haveProgram = true;
    programAddress = load.address;
    if (options.extraAmp > 0) {
        ampUsed = true;
        ampLeft = options.extraAmp - 1;
        handshake(kAmp);
        phase = Phase::LoadAmpAnswer;
        return;
    }
    sendMinus();
}

void Instrument::sendMinus()
{
    phase = Phase::Line;
    lineBuffer.clear();
    afterLoad = true;
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
        summaryDue = nowMs + options.timing.ampGuardMs; // a doubled answer may still come
    else
        loadSummary();
}

void Instrument::loadSummary()
{
    summaryDue = -1;
    if (model.loads.isEmpty())
        return;
    LoadRecord& rec = model.loads.last();
    rec.violations += convViolations;
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

void Instrument::abandonLoad(const QString& why)
{
    load.outcome = why;
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    if (!load.data.isEmpty())
        model.writes.append({load.address, load.data});
    load.violations = convViolations;
    model.loads.append(load);
    saveLoad(load);
    summary(QStringLiteral("LOAD %1 after %2 of %3 bytes address=%4 crc=%5")
                .arg(why)
                .arg(load.data.size())
                .arg(load.count)
                .arg(hex8(load.address), hex8(load.crc)));
    phase = Phase::Line;
    lineBuffer.clear();
    awaiting.clear();
    switchUart(options.terminalBaud, QStringLiteral("load given up"));
}

void Instrument::failLoad(const QString& why)
{
    violation(why);
    load.outcome = QStringLiteral("failed: ") + why;
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    if (!load.data.isEmpty())
        model.writes.append({load.address, load.data});
    load.violations = convViolations;
    model.loads.append(load);
    saveLoad(load);
    summary(QStringLiteral("LOAD failed: %1; after %2 of %3 bytes address=%4")
                .arg(why)
                .arg(load.data.size())
                .arg(load.count)
                .arg(hex8(load.address)));
    // The rest of the host's data is dropped; the failure is reported once the line is quiet.
    failReason = why;
    phase = Phase::LoadFailedDrain;
    lineBuffer.clear();
    awaiting.clear();
    switchUart(options.terminalBaud, QStringLiteral("load failed"));
}

void Instrument::saveLoad(const LoadRecord& rec)
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

void Instrument::runProgram(const QString& how, const QString& name, quint32 address,
                            bool haveAddress)
{
    if (!haveAddress && !haveProgram) {
        outLine(QStringLiteral("No program loaded"));
        prompt();
        return;
    }
    model.programs.append({how, name, address});
    note(QStringLiteral("program started by %1 at %2%3")
             .arg(how, hex6(address), name.isEmpty() ? QString() : QLatin1String(" as ") + name));
    if (name.isEmpty())
        outLine(QStringLiteral("QX2 program at %1 running").arg(hex6(address)));
    else
        outLine(QStringLiteral("QX2 program %1 at %2 running").arg(name, hex6(address)));
    for (const QString& line : options.programLines)
        outLine(line);
    if (options.programWaitsForEtx) {
        // The program runs on, deaf to the line, until Ctrl-C.
        phase = Phase::ProgramRunning;
        return;
    }
    outLine(QStringLiteral("QX2 program ended"));
    prompt();
}

// ---------------------------------------------------------------- lo downloads

void Instrument::startHex(const QString& line)
{
    hex = HexLoadRecord();
    hex.command = line;
    hexLineBuffer.clear();
    hexUpper = 0;
    note(QStringLiteral("lo download starts: %1").arg(line));
    if (options.noPercentAfterLo) {
        note(QStringLiteral("fault: no '%' after lo"));
        awaiting.clear();
    } else {
        handshake(kPercent);
    }
    phase = Phase::HexData;
    switchUart(kLoRate, QStringLiteral("lo download"));
}

void Instrument::hexLine(const QByteArray& line)
{
    HexRecord r;
    if (!parseHexRecord(line, &r)) {
        ++hex.badLines;
        return;
    }
    applyHexRecord(r);
    if (r.isEnd())
        finishHex(QStringLiteral("end record"));
}

void Instrument::applyHexRecord(const HexRecord& r)
{
    hex.records.append(r);
    if (!r.checksumOk)
        ++hex.badLines;
    if (r.format == ':' && (r.type == 2 || r.type == 4) && r.data.size() == 2) {
        const quint32 v =
            (static_cast<unsigned char>(r.data[0]) << 8) | static_cast<unsigned char>(r.data[1]);
        hexUpper = r.type == 2 ? v << 4 : v << 16;
    }
    if (r.isData() && !r.data.isEmpty()) {
        const quint32 at = r.format == ':' ? hexUpper + r.address : r.address;
        model.writes.append({at, r.data});
    }
}

void Instrument::finishHex(const QString& why)
{
    // A last line without its line end still counts.
    if (!hexLineBuffer.isEmpty()) {
        HexRecord r;
        if (parseHexRecord(hexLineBuffer, &r))
            applyHexRecord(r);
        else
            ++hex.badLines;
        hexLineBuffer.clear();
    }
    hex.endSeen = !hex.records.isEmpty() && hex.records.last().isEnd();
    hex.violations = convViolations;
    model.hexLoads.append(hex);
    summary(QStringLiteral("lo download ends (%1): %2 bytes, %3 records, %4 bad, settings %5")
                .arg(why)
                .arg(hex.raw.size())
                .arg(hex.records.size())
                .arg(hex.badLines)
                .arg(hex.dataSettings.toString()));
    if (options.noPercentAfterData) {
        note(QStringLiteral("fault: no '%' after the data"));
        awaiting.clear();
    } else {
        handshake(kPercent);
    }
    phase = Phase::HexClosing;
    switchUart(options.terminalBaud, QStringLiteral("lo download done"));
}

} // namespace qx2sim
