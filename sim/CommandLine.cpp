#include "CommandLine.h"

#include "BlockLoad.h"
#include "CaptureText.h"
#include "InstrumentWire.h"
#include "ProgramRun.h"

#include <QRegularExpression>

namespace qx2sim
{

using namespace wire;

namespace
{

bool onlyDots(const QString& s)
{
    for (QChar c : s)
        if (c != QLatin1Char('.'))
            return false;
    return true;
}

} // namespace

CommandLine::CommandLine(InstrumentCore& core) : ActivePart(core), console(core), monitor(core) {}

int CommandLine::consume(const char* p, int /*n*/)
{
    lineByte(static_cast<unsigned char>(p[0]));
    return 1;
}

void CommandLine::echo(const QByteArray& bytes)
{
    if (!options.noEcho)
        out(bytes);
}

// --answer-on-cr: deaf to a wake-up until its Nth CR.
bool CommandLine::wakingUp(unsigned char c)
{
    if (options.answerOnCr <= 1 || wakeCrs >= options.answerOnCr - 1)
        return false;
    if (c == kCR)
        ++wakeCrs;
    lineBuffer.clear();
    lineOdd = false;
    return true;
}

void CommandLine::lineByte(unsigned char c)
{
    if (core.blockLoad->lateAmpAnswer(c) || wakingUp(c))
        return;
    if (afterLoad) {
        afterLoad = false;
        if (c == 'G' || c == 'g') {
            // A lone G right after a load starts the program without a CR.
            echo("G");
            out("\r\n");
            core.program->run(QStringLiteral("G"), QString(), core.program->address(), true);
            return;
        }
    }
    switch (c) {
    case kCR: {
        out("\r\n");
        const QString line = lineBuffer;
        const bool odd = lineOdd;
        lineBuffer.clear();
        lineOdd = false;
        execute(line, odd);
        return;
    }
    case kLF:
    case 0:
        // The LF of a CR LF line end, or a fill byte; inside a line it spoils a LOAD.
        if (!lineBuffer.isEmpty())
            lineOdd = true;
        return;
    case kBS:
    case kDEL:
        if (!lineBuffer.isEmpty()) {
            lineBuffer.chop(1);
            echo("\b \b");
        }
        return;
    case kETX:
        lineBuffer.clear();
        lineOdd = false;
        out("^C\r\n");
        prompt();
        return;
    default:
        break;
    }
    if (c == '\t') {
        c = ' ';
        lineOdd = true;
    }
    if (c < 0x20 || c >= 0x7F || lineBuffer.size() >= kMaxLine) {
        lineOdd = true;
        return;
    }
    lineBuffer += QChar::fromLatin1(static_cast<char>(c));
    echo(QByteArray(1, static_cast<char>(c)));
}

void CommandLine::execute(const QString& line, bool odd)
{
    const QString t = line.trimmed();
    // The host's wake-up sends CR, '.' CR or a lone ETX: all just ask for the prompt.
    if (t.isEmpty() || onlyDots(t)) {
        prompt();
        return;
    }
    const QStringList words = t.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    const QString cmd = words[0].toUpper();
    const QStringList args = words.mid(1);
    if (cmd == QLatin1String("LOAD") && !options.lenient &&
        (odd || !BlockLoad::exactLoadLine(line))) {
        // The monitor parses its LOAD line by position: anything else is not a LOAD.
        violation(QStringLiteral("LOAD line is not \"LOAD %08X %08X %08X\" CR: \"%1\"").arg(line));
        summary(QStringLiteral("LOAD refused"));
        outLine(QStringLiteral("?"));
        prompt();
        return;
    }
    if (commonCommand(cmd, args, t))
        return;
    const bool inMonitor = core.simMode == SimMode::Monitor;
    const bool done = inMonitor ? monitor.run(cmd, args, t) : console.run(cmd, args);
    if (!done) {
        if (inMonitor)
            outLine(QStringLiteral("? %1").arg(words[0]));
        else
            outLine(QStringLiteral("Unknown command: %1 (type HELP)").arg(words[0]));
        prompt();
    }
}

// The clock and CAPTURE answer in the monitor too, so that text sent for the
// card never runs as monitor commands.
bool CommandLine::commonCommand(const QString& cmd, const QStringList& args, const QString& line)
{
    if (cmd == QLatin1String("LOAD")) {
        core.blockLoad->start(line, args);
    } else if (cmd == QLatin1String("G")) {
        go(args);
    } else if (cmd == QLatin1String("GS")) {
        if (args.isEmpty()) {
            outLine(QStringLiteral("GS needs a program name"));
            prompt();
        } else {
            core.program->run(QStringLiteral("GS"), args[0], core.program->address(), false);
        }
    } else if (cmd == QLatin1String("TIME")) {
        outLine(QStringLiteral("Current time is ") + clock().toString(QStringLiteral("HH:mm:ss")));
        prompt();
    } else if (cmd == QLatin1String("DATE")) {
        date(args);
    } else if (cmd == QLatin1String("CAPTURE")) {
        core.capture->start(args);
    } else if (cmd == QLatin1String("HELP") || cmd == QLatin1String("?")) {
        if (core.simMode == SimMode::Monitor)
            monitor.help();
        else
            console.help();
        prompt();
    } else {
        return false;
    }
    return true;
}

void CommandLine::go(const QStringList& args)
{
    if (args.isEmpty()) {
        core.program->run(QStringLiteral("G"), QString(), core.program->address(), false);
        return;
    }
    quint32 a = 0;
    if (!parseHex32(args[0], &a)) {
        outLine(QStringLiteral("G: the address is hexadecimal, e.g. G 10000"));
        prompt();
    } else {
        core.program->run(QStringLiteral("G"), QString(), a, true);
    }
}

void CommandLine::date(const QStringList& args)
{
    if (args.isEmpty())
        outLine(QStringLiteral("Current date is ") + clock().toString(QStringLiteral("MM/dd/yy")));
    else if (!setClockFromDate(args))
        outLine(QStringLiteral("Invalid date; use DATE mm/dd/yy hh:mm:ss"));
    prompt();
}

bool CommandLine::setClockFromDate(const QStringList& args)
{
    if (args.size() != 2)
        return false;
    static const QRegularExpression dateRe(
        QStringLiteral("^(\\d{1,2})/(\\d{1,2})/(\\d{2}|\\d{4})$"));
    static const QRegularExpression timeRe(QStringLiteral("^(\\d{1,2}):(\\d{2})(?::(\\d{2}))?$"));
    const auto d = dateRe.match(args[0]);
    const auto t = timeRe.match(args[1]);
    if (!d.hasMatch() || !t.hasMatch())
        return false;
    int year = d.captured(3).toInt();
    if (d.captured(3).size() == 2)
        year += 2000;
    const QDate date(year, d.captured(1).toInt(), d.captured(2).toInt());
    const QTime time(t.captured(1).toInt(), t.captured(2).toInt(), t.captured(3).toInt());
    if (!date.isValid() || !time.isValid())
        return false;
    const QDateTime value(date, time, Qt::UTC);
    core.setClock(value);
    model.clockSets.append({QStringLiteral("DATE"), args.join(QLatin1Char(' ')), value});
    note(QStringLiteral("clock set by DATE to %1").arg(value.toString(Qt::ISODate)));
    return true;
}

} // namespace qx2sim
