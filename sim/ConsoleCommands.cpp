#include "ConsoleCommands.h"

#include "LinkServer.h"

#include <QFile>

namespace qx2sim
{

namespace
{

QByteArray crlfText(const QByteArray& in)
{
    QByteArray out;
    out.reserve(in.size() + in.size() / 16);
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\n' && (i == 0 || in[i - 1] != '\r'))
            out += '\r';
        out += in[i];
    }
    return out;
}

} // namespace

bool ConsoleCommands::run(const QString& cmd, const QStringList& args)
{
    if (cmd == QLatin1String("DIR")) {
        printDirectory(args);
        prompt();
    } else if (cmd == QLatin1String("CD")) {
        changeDirectory(args);
        prompt();
    } else if (cmd == QLatin1String("TYPE")) {
        typeFile(args);
        prompt();
    } else if (cmd == QLatin1String("SKIFFER") || cmd == QLatin1String("SK")) {
        core.link->start();
    } else if (cmd == QLatin1String("MON") || cmd == QLatin1String("TOM8")) {
        core.simMode = SimMode::Monitor;
        note(QStringLiteral("boot monitor entered"));
        outLine(QStringLiteral("QX2 boot monitor"));
        prompt();
    } else if (cmd == QLatin1String("VER")) {
        outLine(QStringLiteral("Zelkon DOS 3.1 on Vantrel QX2 (qx2sim)"));
        prompt();
    } else {
        return false;
    }
    return true;
}

void ConsoleCommands::help()
{
    outLine(QStringLiteral("DIR [path]  CD [path]  TYPE name  TIME  DATE [mm/dd/yy hh:mm:ss]"));
    outLine(QStringLiteral("CAPTURE name [/D 3]  text up to Ctrl-C is stored as a file"));
    outLine(QStringLiteral("LOAD rate address count  G [address]  GS name"));
    outLine(QStringLiteral("SKIFFER  start the link server (Ctrl-C stops it)"));
    outLine(QStringLiteral("MON  enter the boot monitor   VER  version"));
}

void ConsoleCommands::changeDirectory(const QStringList& args)
{
    if (args.isEmpty()) {
        outLine(CardTree::cardPath(core.cwd));
        return;
    }
    QStringList to;
    if (card->resolveDirectory(args.join(QLatin1Char(' ')), core.cwd, &to))
        core.cwd = to;
    else
        outLine(QStringLiteral("Invalid directory"));
}

void ConsoleCommands::printDirectory(const QStringList& args)
{
    QStringList dir = core.cwd;
    if (!args.isEmpty() && !card->resolveDirectory(args.join(QLatin1Char(' ')), core.cwd, &dir)) {
        outLine(QStringLiteral("File not found"));
        return;
    }
    out(card->listing(dir, "\r\n"));
}

void ConsoleCommands::typeFile(const QStringList& args)
{
    const QString name = args.isEmpty() ? QString() : card->findEntry(core.cwd, args[0], false);
    QFile f(card->hostPath(core.cwd) + QLatin1Char('/') + name);
    if (name.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        outLine(QStringLiteral("File not found"));
        return;
    }
    QByteArray text = crlfText(f.read(1024 * 1024));
    if (!text.endsWith("\r\n"))
        text += "\r\n";
    out(text);
}

} // namespace qx2sim
