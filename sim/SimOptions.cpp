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

std::function<bool(SimOptions*, const QString&, QString*)>
flag(std::function<void(SimOptions*)> set)
{
    return [=](SimOptions* o, const QString&, QString*) {
        set(o);
        return true;
    };
}

const QList<Switch>& switches()
{
    static const QList<Switch> list = {
        {"--link", "PATH",
         "make PATH a symbolic link to the simulated instrument's serial device "
         "(a stale link left there is replaced; a link to a device in use, as of another qx2sim, "
         "and any other file are refused)",
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
        {"--save-loads", "DIR",
         "write the bytes each LOAD received to DIR/load-<n>-<address>.bin (n from 1, address "
         "as eight hex digits) when the load ends, complete or not",
         [](SimOptions* o, const QString& v, QString*) {
             o->saveLoadsDir = v;
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
        {"--baud", "N",
         "the instrument's terminal rate (default 9600): the console and the monitor read and "
         "send at N baud, a LOAD switches to the rate of its first field after '+' and back "
         "after '-', \"lo\" to 57600 after '%'. Bytes that cross while the client's rate "
         "(within 2 %) or data bits and parity differ become 0xFE both ways and count as a "
         "violation. The link server runs over USB and ignores the rate",
         intInto(50, 100000000, [](SimOptions* o, qint64 n) { o->terminalBaud = n; })},
        {"--lenient", nullptr,
         "forgive what the instrument does not (for demos): inexact LOAD lines, bytes before a "
         "handshake, wrong block lengths, doubled '&' answers, CR in link commands, loose "
         "tdate texts and the wrong baud rate",
         flag([](SimOptions* o) { o->lenient = true; })},
        {"--turnaround", "MS",
         "wait MS milliseconds between the last byte of a host message and the first byte of "
         "the answer (a USB adapter's latency timer)",
         intInto(0, 60000, [](SimOptions* o, qint64 n) { o->turnaroundMs = int(n); })},
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
         "fault: send BYTE (a character, decimal, or 0xNN) instead of the '=' for block N "
         "(--wrong-ack-block, default the first) and give up the load",
         [](SimOptions* o, const QString& v, QString* err) {
             if (!toByte(v, &o->wrongAck)) {
                 *err = QStringLiteral("expects a character, a number 0-255 or 0xNN, not \"%1\"")
                            .arg(v);
                 return false;
             }
             return true;
         }},
        {"--wrong-ack-block", "N", "the block (counted from 1) whose '=' --wrong-ack replaces",
         intInto(1, 1000000000, [](SimOptions* o, qint64 n) { o->wrongAckBlock = int(n); })},
        {"--equals-after-last", nullptr,
         "fault: send '=' after the last block too (the host sends the zero length unasked)",
         flag([](SimOptions* o) { o->equalsAfterLast = true; })},
        {"--noise-before-plus", "N",
         "fault: answer the LOAD line with N bytes other than '+' ('*') before the '+'",
         intInto(0, 1000000, [](SimOptions* o, qint64 n) { o->noiseBeforePlus = int(n); })},
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
        {"--no-percent-after-lo", nullptr,
         "fault: take \"lo\" without answering '%' (the download is still read)",
         flag([](SimOptions* o) { o->noPercentAfterLo = true; })},
        {"--no-percent-after-data", nullptr, "fault: end a lo download without the monitor's '%'",
         flag([](SimOptions* o) { o->noPercentAfterData = true; })},
        {"--prompt-space", nullptr, "the prompt ends in \"> \" (a space after the '>')",
         flag([](SimOptions* o) { o->promptSpace = true; })},
        {"--answer-on-cr", "N",
         "fault: stay silent (no echo, no prompt) until the Nth CR of a wake-up; a CR after "
         "1 s of quiet starts a new wake-up. 2 to 5 make the host's attempts 2 to 5 succeed",
         intInto(1, 100, [](SimOptions* o, qint64 n) { o->answerOnCr = int(n); })},
        {"--no-echo", nullptr,
         "the console and the monitor do not echo typed characters (a CR still gives CR LF "
         "before the answer)",
         flag([](SimOptions* o) { o->noEcho = true; })},
        {"--program-says", "LINE",
         "a started program prints LINE after its \"running\" line (repeatable: one line "
         "each, in order), as a test program reports its result",
         [](SimOptions* o, const QString& v, QString*) {
             o->programLines << v;
             return true;
         }},
        {"--program-waits-for-etx", nullptr,
         "fault: a program started by G or GS keeps running and ignores everything, CR "
         "included, until ETX (Ctrl-C); then \"QX2 program ended\" and the prompt",
         flag([](SimOptions* o) { o->programWaitsForEtx = true; })},
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
        {"--listing-delay", "MS", "fault: a listing's first byte comes MS milliseconds late",
         intInto(0, 600000, [](SimOptions* o, qint64 n) { o->listingDelayMs = int(n); })},
        {"--tdate-delay", "MS", "fault: the set-clock reply comes MS milliseconds late",
         intInto(0, 600000, [](SimOptions* o, qint64 n) { o->tdateDelayMs = int(n); })},
        {"--download-pause", "MS",
         "fault: a download sends the first half of the file, pauses MS milliseconds, then "
         "sends the rest",
         intInto(0, 600000, [](SimOptions* o, qint64 n) { o->downloadPauseMs = int(n); })},
        {"--nul-in-listing", nullptr,
         "fault: every entry line of a listing carries a NUL byte just before its line end",
         flag([](SimOptions* o) { o->nulInListing = true; })},
        {"--nul-in-clock-reply", nullptr,
         "fault: the set-clock reply carries a NUL byte before \"Clock now\"",
         flag([](SimOptions* o) { o->nulInClockReply = true; })},
        {"--missing-file-text", nullptr,
         "fault: \"s\" of a missing file is answered with the text \" File not found\" CR LF "
         "instead of nothing",
         flag([](SimOptions* o) { o->missingFileText = true; })},
        {"--upload-text", "WHEN",
         "fault: the server sends a line of text during an upload (WHEN = during: after half "
         "the bytes) or after it (WHEN = after: once the file is stored)",
         [](SimOptions* o, const QString& v, QString* err) {
             if (v != QLatin1String("during") && v != QLatin1String("after")) {
                 *err = QStringLiteral("expects \"during\" or \"after\", not \"%1\"").arg(v);
                 return false;
             }
             o->uploadText = v;
             return true;
         }},
        {"--upload-stall-after", "N",
         "fault: stop reading an upload after N bytes, so the host's writes stall; after the "
         "upload time-out (--upload-timeout) the upload is discarded and reading goes on, the "
         "rest counting as commands",
         intInto(0, Q_INT64_C(1) << 40, [](SimOptions* o, qint64 n) { o->uploadStallAfter = n; })},
        {"--upload-timeout", "MS",
         "an unfinished upload that hears nothing for MS milliseconds (default 3000) is "
         "discarded and later bytes count as commands again",
         intInto(1, 3600000, [](SimOptions* o, qint64 n) { o->timing.uploadIdleMs = int(n); })},
        {"--vanish-after-bytes", "N",
         "fault: once N bytes have been received, the device disappears: the pty is closed "
         "under the host and the link removed (an unplugged USB cable)",
         intInto(0, Q_INT64_C(1) << 40, [](SimOptions* o, qint64 n) { o->vanishAfterBytes = n; })},
        {"--vanish-after-ms", "MS", "fault: the device disappears MS milliseconds after start",
         intInto(0, 3600000, [](SimOptions* o, qint64 n) { o->vanishAfterMs = int(n); })},
        {"--come-back", "MS",
         "after vanishing, the device comes back MS milliseconds later as a new pty at the same "
         "--link path (the instrument keeps its state)",
         intInto(0, 3600000, [](SimOptions* o, qint64 n) { o->comeBackMs = int(n); })},
        {"--hostile-names", nullptr,
         "fault: every listing of the link server also names files that would leave a client's "
         "folder (../EVIL.TXT, ..\\EVIL.TXT, /tmp/EVIL.TXT, C:\\EVIL.TXT, \\EVIL.TXT, "
         "SUB/EVIL.TXT, and . and .. as files), 7 bytes each; s of such a name sends "
         "\"hostile\"",
         flag([](SimOptions* o) { o->hostileNames = true; })},
        {"--bad-dates", nullptr,
         "fault: every file in a listing of the link server has the date 13-45-yy (month 13, "
         "day 45, the year kept), which no client can read",
         flag([](SimOptions* o) { o->badDates = true; })},
        {"--control-names", nullptr,
         "fault: every listing of the link server also names five 7-byte files whose names "
         "hold control bytes (an ESC colour sequence, BEL, CR, TAB, LF); s of such a name sends "
         "\"control\"",
         flag([](SimOptions* o) { o->controlNames = true; })},
        {"--grow", "WILDCARD:BYTES",
         "fault: a file whose name matches WILDCARD (letter case ignored, as *.LOG) grows by "
         "BYTES bytes just before each s sends it, as a log the instrument writes; it then "
         "sends more than it listed",
         [](SimOptions* o, const QString& v, QString* err) {
             const int colon = v.lastIndexOf(QLatin1Char(':'));
             qint64 n = 0;
             if (colon <= 0 || !toInt(v.mid(colon + 1), 1, 1 << 30, &n)) {
                 *err =
                     QStringLiteral("expects WILDCARD:BYTES such as *.LOG:100, not \"%1\"").arg(v);
                 return false;
             }
             o->growPattern = v.left(colon);
             o->growBytes = n;
             return true;
         }},
        {"--noise-after-send", "BYTES",
         "fault: BYTES bytes of line noise follow the bytes of every file that s sends, as a "
         "disturbed line adds them",
         intInto(1, 1 << 20, [](SimOptions* o, qint64 n) { o->noiseAfterSend = int(n); })},
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

manual::CommandHelp simCommandHelp()
{
    manual::CommandHelp h;
    h.program = QStringLiteral("qx2sim");
    h.summary = QStringLiteral("simulated Vantrel QX2 instrument on a pseudo-terminal");
    h.forms = {
        {QStringLiteral("qx2sim [--link PATH] [--card DIR] [--skiffer] [--log FILE] "
                        "[--line-rate BPS] [--baud N] [--turnaround MS] [--lenient] "
                        "[fault switches]"),
         QStringLiteral("serve a simulated instrument until SIGTERM or SIGINT")},
        {QStringLiteral("qx2sim --help | --version"),
         QStringLiteral("print the command-line help, or the version, and end")},
    };
    h.description = QStringLiteral(
        "Simulates a Vantrel QX2 instrument computer at the far end of a pseudo-terminal: "
        "the Zelkon console, the boot monitor and the Skiffer link server. When it serves it "
        "prints one line \"READY <device>\" on standard output; it runs until SIGTERM or "
        "SIGINT and then removes the link. brennock and harbrooklink can be tried and tested "
        "with it, without hardware.\n\n"
        "At the Zelkon console (prompt C:\\>): HELP, DIR, CD, TYPE, TIME, DATE [mm/dd/yy "
        "hh:mm:ss], CAPTURE name [/D 3] (text up to Ctrl-C/ETX), LOAD, G, GS name, SKIFFER "
        "(starts the link server; Ctrl-C/ETX stops it), MON or tom8 (enters the boot "
        "monitor). In the boot monitor (prompt QX2>): LOAD, G, GS name, tom8, mon, lo ;B3+, "
        "lo ;3, MD, DATE, TIME, CAPTURE, HELP, EXIT (back to the Zelkon console). The link "
        "server takes c<path> LF, d, tdate <MM-dd-yyyy hh:mm:ss a|p> LF, s<name> LF, a, "
        "r<name> TAB <length> LF; Ctrl-C (ETX) ends it.\n\n"
        "It is as strict as the instrument: the LOAD line must read \"LOAD %08X %08X %08X\" "
        "CR, bytes sent before the monitor's '+', '=', '%' or '&' are lost, each block must "
        "be min(remaining, 1024) bytes followed by 00 00, each '&' takes exactly one 0x00, "
        "link commands end in a single LF (a CR is part of the command) and tdate takes "
        "exactly MM-dd-yyyy hh:mm:ss a|p. Every breach is logged as a violation (--log).");
    manual::Section switchList{QStringLiteral("Switches"), QString(), {}};
    for (const Switch& s : switches()) {
        QString term = QLatin1String(s.name);
        if (s.argName)
            term += QLatin1Char(' ') + QLatin1String(s.argName);
        switchList.entries.append({term, QString::fromLatin1(s.help)});
    }
    switchList.entries.append(
        {QStringLiteral("--help, -h"), QStringLiteral("print the command-line help")});
    switchList.entries.append(
        {QStringLiteral("--version"), QStringLiteral("print the program's version")});
    h.sections = {
        switchList,
        {QStringLiteral("Exit status"),
         QString(),
         {
             {QStringLiteral("0"), QStringLiteral("stopped by SIGTERM, SIGINT or SIGHUP")},
             {QStringLiteral("1"), QStringLiteral("the pseudo-terminal, the link or the card "
                                                  "folder could not be set up")},
             {QStringLiteral("2"), QStringLiteral("a usage error")},
         }},
    };
    h.seeAlso = QStringLiteral("brennock(1), harbrooklink(1)");
    return h;
}

QString simHelpText()
{
    return manual::helpText(simCommandHelp());
}

} // namespace qx2sim
