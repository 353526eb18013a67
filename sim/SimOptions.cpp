#include "SimOptions.h"

#include <functional>

namespace qx2sim
{

namespace
{

struct Switch {
    const char* name;
    const char* argName; // nullptr for a flag
    const char* help;
    std::function<bool(SimOptions*, const QString&, QString*)> apply;
};

bool toInt(const QString& text, qint64 min, qint64 max, qint64* out)
{
    bool ok = false;
    const qint64 v = text.toLongLong(&ok, 10);
    if (!ok || v < min || v > max)
        return false;
    *out = v;
    return true;
}

// A byte given as a character ("x"), decimal ("13") or hex ("0x0D").
bool toByte(const QString& text, int* out)
{
    bool ok = false;
    int v = -1;
    if (text.startsWith(QLatin1String("0x"), Qt::CaseInsensitive))
        v = text.mid(2).toInt(&ok, 16);
    else if (text.size() == 1 && !text.at(0).isDigit())
        v = text.at(0).unicode(), ok = true;
    else
        v = text.toInt(&ok, 10);
    if (!ok || v < 0 || v > 255)
        return false;
    *out = v;
    return true;
}

std::function<bool(SimOptions*, const QString&, QString*)>
intInto(qint64 min, qint64 max, std::function<void(SimOptions*, qint64)> set)
{
    return [=](SimOptions* o, const QString& v, QString* err) {
        qint64 n = 0;
        if (!toInt(v, min, max, &n)) {
            *err = QStringLiteral("expects a whole number from %1 to %2, not \"%3\"")
                       .arg(min)
                       .arg(max)
                       .arg(v);
            return false;
        }
        set(o, n);
        return true;
    };
}

const QList<Switch>& switches()
{
    static const QList<Switch> list = {
        {"--link", "PATH",
         "make PATH a symbolic link to the simulated instrument's serial device "
         "(a link left there is replaced; any other file is refused)",
         [](SimOptions* o, const QString& v, QString*) {
             o->linkPath = v;
             return true;
         }},
        {"--card", "DIR",
         "use DIR as the root of the CF card (default: a sample card in a temporary folder, "
         "removed at exit)",
         [](SimOptions* o, const QString& v, QString*) {
             o->cardDir = v;
             return true;
         }},
        {"--skiffer", nullptr,
         "start with the Skiffer link server running, as if SKIFFER had been typed at the "
         "Zelkon console",
         [](SimOptions* o, const QString&, QString*) {
             o->skiffer = true;
             return true;
         }},
        {"--log", "FILE",
         "write the conversation log to FILE: one line per chunk (time, RX/TX, line settings, "
         "hex, text) and per event",
         [](SimOptions* o, const QString& v, QString*) {
             o->logPath = v;
             return true;
         }},
        {"--line-rate", "BPS",
         "pace both directions to BPS bits per second, at 1 start bit + data bits + parity + "
         "stop bits per byte as the client has set the line (10 for 8N1, 11 for 8N2); "
         "\"client\" paces at whatever baud rate the client has set at the moment",
         [](SimOptions* o, const QString& v, QString* err) {
             if (v == QLatin1String("client")) {
                 o->lineRate = SimOptions::kClientRate;
                 return true;
             }
             qint64 n = 0;
             if (!toInt(v, 50, 100000000, &n)) {
                 *err = QStringLiteral("expects bits per second from 50 to 100000000, or "
                                       "\"client\", not \"%1\"")
                            .arg(v);
                 return false;
             }
             o->lineRate = n;
             return true;
         }},
        {"--no-prompt", nullptr, "fault: never print a prompt (the wake-up goes unanswered)",
         [](SimOptions* o, const QString&, QString*) {
             o->noPrompt = true;
             return true;
         }},
        {"--prompt-delay", "MS", "fault: print every prompt MS milliseconds late",
         intInto(0, 600000, [](SimOptions* o, qint64 n) { o->promptDelayMs = int(n); })},
        {"--no-plus", nullptr, "fault: accept LOAD silently, without the '+'",
         [](SimOptions* o, const QString&, QString*) {
             o->noPlus = true;
             return true;
         }},
        {"--wrong-ack", "BYTE",
         "fault: send BYTE (a character, decimal, or 0xNN) instead of the first '=' and give "
         "up the load",
         [](SimOptions* o, const QString& v, QString* err) {
             if (!toByte(v, &o->wrongAck)) {
                 *err = QStringLiteral("expects a character, a number 0-255 or 0xNN, not \"%1\"")
                            .arg(v);
                 return false;
             }
             return true;
         }},
        {"--stall-after-blocks", "N",
         "fault: after N blocks of a LOAD send no further '=' (0: not even the first)",
         intInto(0, 1000000000, [](SimOptions* o, qint64 n) { o->stallAfterBlocks = int(n); })},
        {"--no-minus", nullptr, "fault: end a LOAD without the closing '-'",
         [](SimOptions* o, const QString&, QString*) {
             o->noMinus = true;
             return true;
         }},
        {"--extra-amp", "K",
         "fault: send K '&' bytes before the closing '-', each after the host's 0x00 answer "
         "to the one before",
         intInto(0, 1000, [](SimOptions* o, qint64 n) { o->extraAmp = int(n); })},
        {"--chunked-listing", "SIZE:GAPMS",
         "fault: send each directory listing in pieces of SIZE bytes, GAPMS milliseconds apart",
         [](SimOptions* o, const QString& v, QString* err) {
             const QStringList parts = v.split(QLatin1Char(':'));
             qint64 size = 0;
             qint64 gap = 0;
             if (parts.size() != 2 || !toInt(parts[0], 1, 1000000, &size) ||
                 !toInt(parts[1], 0, 600000, &gap)) {
                 *err = QStringLiteral("expects SIZE:GAPMS such as 16:100, not \"%1\"").arg(v);
                 return false;
             }
             o->chunkSize = int(size);
             o->chunkGapMs = int(gap);
             return true;
         }},
        {"--crlf-listing", nullptr, "fault: end listing lines with CR LF instead of LF",
         [](SimOptions* o, const QString&, QString*) {
             o->crlfListing = true;
             return true;
         }},
        {"--stall-download-after", "N",
         "fault: send only the first N bytes of a requested file, then nothing",
         intInto(0, Q_INT64_C(1) << 40,
                 [](SimOptions* o, qint64 n) { o->stallDownloadAfter = n; })},
        {"--silent", nullptr, "fault: complete silence; read and log everything, send nothing",
         [](SimOptions* o, const QString&, QString*) {
             o->silent = true;
             return true;
         }},
        {"--odd-names", nullptr,
         "fault: list names that do not fit the listing columns (with blanks, or longer than "
         "14 characters) as they are; the sample card then holds two such files",
         [](SimOptions* o, const QString&, QString*) {
             o->oddNames = true;
             return true;
         }},
    };
    return list;
}

} // namespace

bool parseSimOptions(const QStringList& args, SimOptions* out, QString* error, bool* help)
{
    *help = false;
    SimOptions o;
    for (int i = 0; i < args.size(); ++i) {
        QString arg = args[i];
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            *help = true;
            return true;
        }
        QString value;
        bool inlineValue = false;
        const int eq = arg.indexOf(QLatin1Char('='));
        if (arg.startsWith(QLatin1String("--")) && eq > 0) {
            value = arg.mid(eq + 1);
            arg = arg.left(eq);
            inlineValue = true;
        }
        const Switch* found = nullptr;
        for (const Switch& s : switches())
            if (arg == QLatin1String(s.name))
                found = &s;
        if (!found) {
            *error = QStringLiteral("unknown switch \"%1\" (see qx2sim --help)").arg(args[i]);
            return false;
        }
        if (found->argName) {
            if (!inlineValue) {
                if (i + 1 >= args.size()) {
                    *error = QStringLiteral("%1 needs a value %2")
                                 .arg(arg, QLatin1String(found->argName));
                    return false;
                }
                value = args[++i];
            }
            QString why;
            if (!found->apply(&o, value, &why)) {
                *error = arg + QLatin1Char(' ') + why;
                return false;
            }
        } else {
            if (inlineValue) {
                *error = QStringLiteral("%1 takes no value").arg(arg);
                return false;
            }
            QString why;
            found->apply(&o, QString(), &why);
        }
    }
    *out = o;
    return true;
}

QString simHelpText()
{
    QString t = QStringLiteral(
        "Usage: qx2sim [--link PATH] [--card DIR] [--skiffer] [--log FILE] [--line-rate BPS]\n"
        "              [fault switches]\n"
        "\n"
        "Simulates a Vantrel QX2 instrument computer at the far end of a pseudo-terminal:\n"
        "the Zelkon console, the boot monitor and the Skiffer link server. When it serves it\n"
        "prints one line \"READY <device>\" on standard output; it runs until SIGTERM or SIGINT\n"
        "and then removes the link.\n"
        "\n"
        "At the Zelkon console (prompt C:\\>): HELP, DIR, CD, TYPE, TIME, DATE [mm/dd/yy\n"
        "hh:mm:ss], CAPTURE name [/D 3] (text up to Ctrl-C/ETX), LOAD, G, GS name, SKIFFER\n"
        "(starts the link server; Ctrl-C/ETX stops it), MON or tom8 (enters the boot monitor).\n"
        "In the boot monitor (prompt QX2>): LOAD, G, GS name, tom8, mon, lo ;B3+, lo ;3, MD,\n"
        "DATE, TIME, CAPTURE, HELP, EXIT (back to the Zelkon console).\n"
        "The link server takes c<path> LF, d, tdate <MM-dd-yyyy hh:mm:ss a|p> LF,\n"
        "s<name> LF, a, r<name> TAB <length> LF; Ctrl-C (ETX) ends it.\n"
        "\n"
        "Switches:\n");
    for (const Switch& s : switches()) {
        QString head = QLatin1String("  ") + QLatin1String(s.name);
        if (s.argName)
            head += QLatin1Char(' ') + QLatin1String(s.argName);
        t += head + QLatin1Char('\n');
        // Wrap the description at 78 columns, indented.
        const QStringList words = QString::fromLatin1(s.help).split(QLatin1Char(' '));
        QString line = QStringLiteral("      ");
        for (const QString& w : words) {
            if (line.size() + w.size() + 1 > 78 && line.trimmed().size() > 0) {
                t += line + QLatin1Char('\n');
                line = QStringLiteral("      ");
            }
            line += (line.trimmed().isEmpty() ? QString() : QStringLiteral(" ")) + w;
        }
        t += line + QLatin1Char('\n');
    }
    t += QStringLiteral("  --help, -h\n      show this text\n");
    return t;
}

} // namespace qx2sim
