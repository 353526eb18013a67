#include "MonitorCommands.h"

#include "HexLoad.h"
#include "InstrumentWire.h"

namespace qx2sim
{

using namespace wire;

bool MonitorCommands::run(const QString& cmd, const QStringList& args, const QString& line)
{
    if (cmd == QLatin1String("TOM8") || cmd == QLatin1String("MON")) {
        prompt();
    } else if (cmd == QLatin1String("LO") || cmd.startsWith(QLatin1String("LO;"))) {
        core.hexLoad->start(line);
    } else if (cmd == QLatin1String("EXIT") || cmd == QLatin1String("X")) {
        core.simMode = SimMode::Console;
        note(QStringLiteral("Zelkon console entered"));
        prompt();
    } else if (cmd == QLatin1String("MD")) {
        showMemory(args);
        prompt();
    } else {
        return false;
    }
    return true;
}

void MonitorCommands::help()
{
    outLine(QStringLiteral("LOAD rate address count   block load (hex fields)"));
    outLine(QStringLiteral("G [address]               run the loaded program"));
    outLine(QStringLiteral("GS name                   run the loaded program as name"));
    outLine(QStringLiteral("lo ;B3+  /  lo ;3         S-record or hex download"));
    outLine(QStringLiteral("MD address [count]        show memory"));
    outLine(QStringLiteral("tom8, mon                 show the prompt"));
    outLine(QStringLiteral("DATE, TIME, CAPTURE       as at the Zelkon console"));
    outLine(QStringLiteral("EXIT                      back to the Zelkon console"));
}

void MonitorCommands::showMemory(const QStringList& args)
{
    quint32 a = 0;
    quint32 count = 64;
    if (args.isEmpty() || !parseHex32(args[0], &a) ||
        (args.size() > 1 && !parseHex32(args[1], &count)) || count > 4096) {
        outLine(QStringLiteral("MD address [count]   (hexadecimal, count up to 1000)"));
        return;
    }
    const QByteArray bytes = model.read(a, static_cast<int>(count));
    for (int i = 0; i < bytes.size(); i += 16) {
        const QByteArray row = bytes.mid(i, 16);
        QString text;
        for (char b : row)
            text += (b >= 0x20 && b < 0x7F) ? QChar::fromLatin1(b) : QLatin1Char('.');
        outLine(hex6(a + static_cast<quint32>(i)) + QLatin1String("  ") +
                QString::fromLatin1(row.toHex(' ').toUpper()).leftJustified(48) +
                QLatin1String(" ") + text);
    }
}

} // namespace qx2sim
