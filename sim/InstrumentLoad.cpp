// The boot monitor's data conversations: the LOAD block protocol and the
// "lo" S-record / hex downloads. Part of Instrument.
#include "Instrument.h"

#include "Crc32.h"
#include "InstrumentWire.h"

namespace qx2sim
{

using namespace wire;

// ---------------------------------------------------------------- block loader

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
    load = LoadRecord();
    load.commandLine = line;
    load.mode = simMode == SimMode::Monitor ? QStringLiteral("monitor") : QStringLiteral("console");
    load.rateField = rate;
    load.address = address;
    load.count = count;
    load.commandSettings = io->lineSettings();
    loadReceived = 0;
    note(QStringLiteral("LOAD command rate=%1 address=%2 count=%3")
             .arg(hex8(rate), hex8(address), hex8(count)));
    if (options.noPlus) {
        load.outcome = QStringLiteral("fault: no '+' sent");
        model.loads.append(load);
        note(QStringLiteral("fault: no '+' for this LOAD"));
        return; // back at the command line, silently
    }
    out(QByteArray(1, kPlus));
    phase = Phase::LoadHostPlus;
}

void Instrument::requestBlock()
{
    phase = Phase::LoadLenHi;
    // No '=' once everything announced has arrived: the host sends the zero
    // length without waiting.
    if (loadReceived >= load.count)
        return;
    const int blocks = load.blockLengths.size();
    if (options.stallAfterBlocks >= 0 && blocks >= options.stallAfterBlocks) {
        note(QStringLiteral("fault: no '=' after %1 block(s)").arg(blocks));
        return;
    }
    if (options.wrongAck >= 0 && blocks == 0) {
        out(QByteArray(1, static_cast<char>(options.wrongAck)));
        abandonLoad(QStringLiteral("fault: sent 0x%1 instead of '='")
                        .arg(options.wrongAck, 2, 16, QLatin1Char('0')));
        return;
    }
    out(QByteArray(1, kEquals));
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
    note(QStringLiteral("LOAD done address=%1 count=%2 received=%3 blocks=%4 crc=%5 "
                        "trailers=%6 data-settings=%7 command-settings=%8")
             .arg(hex8(load.address), hex8(load.count))
             .arg(load.data.size())
             .arg(load.blockLengths.size())
             .arg(hex8(load.crc))
             .arg(load.trailersOk ? QLatin1String("ok") : QLatin1String("bad"))
             .arg(load.dataSettings.toString(), load.commandSettings.toString()));
    if (options.extraAmp > 0) {
        ampLeft = options.extraAmp - 1;
        out(QByteArray(1, kAmp));
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
        return;
    }
    out(QByteArray(1, kMinus));
    out("\r\n");
    prompt();
}

void Instrument::abandonLoad(const QString& why)
{
    load.outcome = why;
    load.crc = Crc32Update(load.data.constData(), static_cast<std::size_t>(load.data.size()), 0);
    if (!load.data.isEmpty())
        model.writes.append({load.address, load.data});
    model.loads.append(load);
    note(QStringLiteral("LOAD %1 after %2 of %3 bytes")
             .arg(why)
             .arg(load.data.size())
             .arg(load.count));
    phase = Phase::Line;
    lineBuffer.clear();
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
    out(QByteArray(1, kPercent));
    phase = Phase::HexData;
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
    model.hexLoads.append(hex);
    note(QStringLiteral("lo download ends (%1): %2 bytes, %3 records, %4 bad, settings %5")
             .arg(why)
             .arg(hex.raw.size())
             .arg(hex.records.size())
             .arg(hex.badLines)
             .arg(hex.dataSettings.toString()));
    out(QByteArray(1, kPercent));
    phase = Phase::HexClosing;
}

} // namespace qx2sim
