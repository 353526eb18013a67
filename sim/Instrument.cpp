// Driving the instrument, its line editor and the command lines of the Zelkon
// console and the boot monitor. The block loader and the lo downloads are in
// InstrumentLoad.cpp, the link server in InstrumentLink.cpp.
#include "Instrument.h"

#include "InstrumentWire.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

#include <climits>

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

Instrument::Instrument(const SimOptions& options, CardTree* card, InstrumentIo* io)
    : options(options), card(card), io(io), uartRate(options.terminalBaud)
{
}

Instrument::~Instrument()
{
    // An upload cut short by shutdown is not a file on the card.
    if (upload)
        upload->cancelWriting();
}

QDateTime Instrument::clock() const
{
    return QDateTime::currentDateTimeUtc().addMSecs(clockOffsetMs);
}

// ---------------------------------------------------------------- output

void Instrument::out(const QByteArray& bytes)
{
    pending += bytes;
}

void Instrument::outLine(const QString& text)
{
    out(text.toUtf8() + "\r\n");
}

void Instrument::outAfter(int gapMs, const QByteArray& bytes)
{
    flush();
    if (!options.silent && !bytes.isEmpty())
        io->send(bytes, gapMs + takeGap(), uartBaud());
}

void Instrument::flush()
{
    if (!pending.isEmpty() && !options.silent)
        io->send(pending, takeGap(), uartBaud());
    pending.clear();
}

int Instrument::takeGap()
{
    const int gap = responseGap;
    responseGap = 0;
    return gap;
}

qint64 Instrument::uartBaud() const
{
    return options.lenient ? 0 : uartRate;
}

qint64 Instrument::uartTrailingBaud() const
{
    return !options.lenient && phase == Phase::HexClosing ? kLoRate : 0;
}

void Instrument::switchUart(qint64 baud, const QString& why)
{
    // Whatever is queued still goes out at the old rate.
    flush();
    if (baud == uartRate)
        return;
    uartRate = baud;
    if (baud > 0)
        note(QStringLiteral("line: instrument at %1 baud (%2)").arg(baud).arg(why));
    else
        note(QStringLiteral("line: %1, any rate").arg(why));
}

void Instrument::handshake(char byte)
{
    out(QByteArray(1, byte));
    flush();
    handshakeMark = io->queuedTotal();
    awaiting = QString(QLatin1Char(byte));
}

void Instrument::withholdHandshake()
{
    handshakeMark = LLONG_MAX;
}

bool Instrument::handshakeOnLine() const
{
    return options.silent || io->sentTotal() >= handshakeMark;
}

int Instrument::dropEarly(int n, const char* what)
{
    if (options.lenient || awaiting.isEmpty() || handshakeOnLine())
        return 0;
    // A UART with no room: what the host sent before it could have seen the
    // handshake is lost.
    violation(QStringLiteral("%1 byte(s) %2 sent before the instrument's '%3' (lost)")
                  .arg(n)
                  .arg(QLatin1String(what))
                  .arg(awaiting));
    return n;
}

void Instrument::violation(const QString& text)
{
    model.violations.append(text);
    convViolations.append(text);
    note(QStringLiteral("violation: ") + text);
}

QString Instrument::violationsField() const
{
    if (convViolations.isEmpty())
        return QStringLiteral("violations=none");
    return QStringLiteral("violations=%1: %2")
        .arg(convViolations.size())
        .arg(convViolations.join(QLatin1String("; ")));
}

void Instrument::summary(const QString& text)
{
    note(text + QLatin1Char(' ') + violationsField());
    convViolations.clear();
}

void Instrument::finishSession()
{
    summary(QStringLiteral("session end: loads=%1 lo=%2 card-files=%3 clock-sets=%4 programs=%5 "
                           "all-violations=%6")
                .arg(model.loads.size())
                .arg(model.hexLoads.size())
                .arg(model.cardFiles.size())
                .arg(model.clockSets.size())
                .arg(model.programs.size())
                .arg(model.violations.size()));
}

QByteArray Instrument::promptText() const
{
    const QByteArray end = options.promptSpace ? "> " : ">";
    if (simMode == SimMode::Monitor)
        return "QX2" + end;
    return CardTree::cardPath(cwd).toUtf8() + end;
}

void Instrument::prompt()
{
    if (options.noPrompt)
        return;
    if (options.promptDelayMs > 0)
        outAfter(options.promptDelayMs, promptText());
    else
        out(promptText());
}

void Instrument::note(const QString& text)
{
    io->event(text);
}

// ---------------------------------------------------------------- driving

void Instrument::start(qint64 nowMs)
{
    lastByteAt = nowMs;
    if (options.skiffer) {
        startSkiffer();
    } else {
        outLine(QStringLiteral("Zelkon DOS for Vantrel QX2 (simulated). Type HELP."));
        prompt();
    }
    flush();
}

void Instrument::receive(const QByteArray& bytes, qint64 now)
{
    nowMs = now;
    if (phase == Phase::Line && now - lastByteAt >= options.timing.wakeResetMs)
        wakeCrs = 0;
    lastByteAt = now;
    responseGap = options.turnaroundMs;
    feed(bytes);
    flush();
    responseGap = 0;
}

void Instrument::feed(const QByteArray& bytes)
{
    const char* p = bytes.constData();
    int n = bytes.size();
    // Every handler takes what belongs to its phase; a byte that ends a phase
    // is taken alone, so the rest is read by the next phase whatever the chunking.
    int guard = 0;
    while (n > 0) {
        if (uploadStalled) {
            // Read from the pty but not by the instrument: kept for later.
            heldInput.append(p, n);
            return;
        }
        const int used = consume(p, n);
        if (used == 0 && !uploadStalled && ++guard > 4)
            break; // cannot happen: a phase that passes a byte on changes phase
        if (used > 0)
            guard = 0;
        p += used;
        n -= used;
    }
}

qint64 Instrument::deadline() const
{
    const qint64 due = phaseDeadline();
    if (summaryDue >= 0 && (due < 0 || summaryDue < due))
        return summaryDue;
    return due;
}

qint64 Instrument::phaseDeadline() const
{
    const qint64 base = lastByteAt;
    switch (phase) {
    case Phase::LoadHostPlus:
    case Phase::LoadLenHi:
    case Phase::LoadLenLo:
    case Phase::LoadData:
    case Phase::LoadTrailer:
    case Phase::LoadAmpAnswer:
        return base + options.timing.loadIdleMs;
    case Phase::HexData:
        return base + (hex.raw.isEmpty() ? options.timing.loadIdleMs : options.timing.hexIdleMs);
    case Phase::HexClosing:
        return base + options.timing.hexClosingMs;
    case Phase::SkUploadData:
        return base + options.timing.uploadIdleMs;
    case Phase::LoadFailedDrain:
        return base + options.timing.failDrainMs;
    default:
        return -1;
    }
}

void Instrument::tick(qint64 now)
{
    nowMs = now;
    if (summaryDue >= 0 && now >= summaryDue)
        loadSummary();
    const qint64 due = phaseDeadline();
    if (due < 0 || now < due) {
        flush();
        return;
    }
    switch (phase) {
    case Phase::LoadHostPlus:
    case Phase::LoadLenHi:
    case Phase::LoadLenLo:
    case Phase::LoadData:
    case Phase::LoadTrailer:
        abandonLoad(
            QStringLiteral("abandoned: line quiet for %1 ms").arg(options.timing.loadIdleMs));
        break;
    case Phase::LoadAmpAnswer:
        // The data is complete and recorded; only the '&' answers are missing.
        model.loads.last().outcome = QStringLiteral("complete; no answer to '&'");
        note(QStringLiteral("LOAD: no answer to '&' for %1 ms").arg(options.timing.loadIdleMs));
        phase = Phase::Line;
        lineBuffer.clear();
        switchUart(options.terminalBaud, QStringLiteral("load given up"));
        loadSummary();
        break;
    case Phase::LoadFailedDrain:
        phase = Phase::Line;
        lineBuffer.clear();
        out("\r\n");
        outLine(QStringLiteral("LOAD failed: ") + failReason);
        prompt();
        break;
    case Phase::HexData:
        if (hex.raw.isEmpty()) {
            note(QStringLiteral("lo: no data arrived; back to the prompt"));
            phase = Phase::Line;
            switchUart(options.terminalBaud, QStringLiteral("lo given up"));
        } else {
            finishHex(QStringLiteral("quiet"));
        }
        break;
    case Phase::HexClosing:
        note(QStringLiteral("lo: the host sent no closing '%'"));
        phase = Phase::Line;
        break;
    case Phase::SkUploadData:
        if (uploadStalled) {
            uploadStalled = false;
            discardUpload(QStringLiteral("reading stopped after %1 bytes (fault), then %2 ms")
                              .arg(uploadReceived)
                              .arg(options.timing.uploadIdleMs));
            const QByteArray held = heldInput;
            heldInput.clear();
            feed(held);
        } else {
            discardUpload(QStringLiteral("line quiet for %1 ms").arg(options.timing.uploadIdleMs));
        }
        break;
    default:
        break;
    }
    flush();
}

int Instrument::consume(const char* p, int n)
{
    const auto c = static_cast<unsigned char>(p[0]);
    switch (phase) {
    case Phase::Line:
        lineByte(c);
        return 1;

    case Phase::Capture: {
        int i = 0;
        while (i < n && static_cast<unsigned char>(p[i]) != kETX)
            ++i;
        const QByteArray text(p, i);
        if (captureData.size() + text.size() <= kMaxCapture)
            captureData += text;
        out(text);
        if (i < n) {
            finishCapture();
            return i + 1;
        }
        return n;
    }

    case Phase::LoadHostPlus: {
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
        awaiting.clear();
        load.dataSettings = io->lineSettings();
        note(QStringLiteral("LOAD data phase starts"));
        requestBlock();
        return 1;
    }

    case Phase::LoadLenHi:
        if (const int lost = dropEarly(n, "of a block"))
            return lost;
        awaiting.clear();
        blockLength = c << 8;
        phase = Phase::LoadLenLo;
        return 1;

    case Phase::LoadLenLo:
        blockLength |= c;
        takeBlockLength();
        return 1;

    case Phase::LoadData: {
        const int k = qMin(n, blockRemaining);
        // Never more than announced, whatever the host sends.
        const int keep = static_cast<int>(qMin<qint64>(k, qint64(load.count) - loadReceived));
        if (keep < k)
            note(QStringLiteral("LOAD: %1 byte(s) beyond the announced count dropped")
                     .arg(k - keep));
        load.data.append(p, keep);
        blockRemaining -= k;
        loadReceived += static_cast<quint32>(keep);
        if (blockRemaining == 0) {
            trailerSeen = 0;
            phase = Phase::LoadTrailer;
        }
        return k;
    }

    case Phase::LoadTrailer:
        if (c != 0) {
            load.trailersOk = false;
            if (!options.lenient) {
                failLoad(QStringLiteral("block %1 ends with %2 instead of 00 00")
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

    case Phase::LoadAmpAnswer: {
        LoadRecord& rec = model.loads.last();
        if (const int lost = dropEarly(n, "answering '&'")) {
            rec.ampAnswersOk = false;
            return lost;
        }
        awaiting.clear();
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
            ampGuardUntil = nowMs + options.timing.ampGuardMs;
            sendMinus();
        }
        return 1;
    }

    case Phase::LoadFailedDrain:
        return n; // the rest of a failed load, dropped until the line is quiet

    case Phase::ProgramRunning: {
        int i = 0;
        while (i < n && static_cast<unsigned char>(p[i]) != kETX)
            ++i;
        if (i < n) {
            note(QStringLiteral("program stopped by ETX"));
            phase = Phase::Line;
            out("^C\r\n");
            outLine(QStringLiteral("QX2 program ended"));
            prompt();
            return i + 1;
        }
        return n;
    }

    case Phase::HexData:
        if (const int lost = dropEarly(n, "of a lo download"))
            return lost;
        awaiting.clear();
        for (int i = 0; i < n; ++i) {
            const char ch = p[i];
            if (hex.raw.isEmpty())
                hex.dataSettings = io->lineSettings();
            hex.raw.append(ch);
            if (ch == '\r' || ch == '\n') {
                if (!hexLineBuffer.isEmpty()) {
                    const QByteArray line = hexLineBuffer;
                    hexLineBuffer.clear();
                    hexLine(line);
                    if (phase != Phase::HexData)
                        return i + 1;
                }
            } else if (hexLineBuffer.size() < 1024) {
                hexLineBuffer.append(ch);
            }
        }
        return n;

    case Phase::HexClosing:
        if (c == kPercent) {
            if (!options.lenient && !awaiting.isEmpty() && !handshakeOnLine()) {
                violation(QStringLiteral("'%' sent before the instrument's closing '%' (lost)"));
                return 1;
            }
            awaiting.clear();
            if (!model.hexLoads.isEmpty())
                model.hexLoads.last().closed = true;
            note(QStringLiteral("lo: closing '%' from the host"));
            phase = Phase::Line;
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
        phase = Phase::Line;
        return 0;

    case Phase::SkIdle:
        skifferByte(c);
        return 1;

    case Phase::SkLine: {
        int i = 0;
        while (i < n && p[i] != '\n')
            ++i;
        for (int j = 0; j < i; ++j)
            if (p[j] != '\r' || !options.lenient) // a CR is part of the command
                skLine.append(p[j]);
        if (skLine.size() > kMaxLinkLine) {
            note(QStringLiteral("link: command line too long, dropped"));
            skLine.clear();
            phase = Phase::SkIdle;
            return i < n ? i + 1 : n;
        }
        if (i < n) {
            phase = Phase::SkIdle;
            const QByteArray arg = skLine;
            skLine.clear();
            skifferCommand(skCommand, arg);
            return i + 1;
        }
        return n;
    }

    case Phase::SkUploadData: {
        qint64 allow = uploadRemaining;
        if (options.uploadStallAfter >= 0)
            allow = qMin(allow, options.uploadStallAfter - uploadReceived);
        if (allow <= 0) {
            uploadStalled = true;
            note(QStringLiteral("fault: upload reading stops after %1 bytes").arg(uploadReceived));
            return 0;
        }
        const int k = static_cast<int>(qMin<qint64>(n, allow));
        if (uploadReceived == 0)
            uploadSettings = io->lineSettings();
        if (upload && uploadKeep && upload->write(p, k) != k)
            uploadKeep = false; // reported when the file is finished
        uploadRemaining -= k;
        uploadReceived += k;
        if (options.uploadText == QLatin1String("during") && !uploadTextSent &&
            uploadReceived * 2 >= uploadAnnounced && uploadRemaining > 0) {
            uploadTextSent = true;
            out(" Receiving " + uploadCardPath.toUtf8() + "\r\n");
        }
        if (uploadRemaining == 0)
            finishUpload();
        return k;
    }
    }
    return 1;
}

// ---------------------------------------------------------------- console and monitor

void Instrument::echo(const QByteArray& bytes)
{
    if (!options.noEcho)
        out(bytes);
}

void Instrument::lineByte(unsigned char c)
{
    if (ampGuardUntil >= 0) {
        if (nowMs <= ampGuardUntil && !options.lenient) {
            // Exactly one 0x00 answers each '&'.
            violation(QStringLiteral("second byte %1 answering '&'").arg(hexByte(c)));
            if (!model.loads.isEmpty())
                model.loads.last().ampAnswersOk = false;
            return;
        }
        ampGuardUntil = -1;
    }
    if (options.answerOnCr > 1 && wakeCrs < options.answerOnCr - 1) {
        // Deaf to this wake-up until its Nth CR.
        if (c == kCR)
            ++wakeCrs;
        lineBuffer.clear();
        lineOdd = false;
        return;
    }
    if (afterLoad) {
        afterLoad = false;
        if (c == 'G' || c == 'g') {
            // A lone G right after a load starts the program without a CR.
            echo("G");
            out("\r\n");
            runProgram(QStringLiteral("G"), QString(), programAddress, true);
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
        executeLine(line, odd);
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

void Instrument::executeLine(const QString& line, bool odd)
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
    if (cmd == QLatin1String("LOAD") && !options.lenient && (odd || !exactLoadLine(line))) {
        // The monitor parses its LOAD line by position: anything else is not a LOAD.
        violation(QStringLiteral("LOAD line is not \"LOAD %08X %08X %08X\" CR: \"%1\"").arg(line));
        summary(QStringLiteral("LOAD refused"));
        outLine(QStringLiteral("?"));
        prompt();
        return;
    }
    if (commonCommand(cmd, args, t))
        return;
    const bool done =
        simMode == SimMode::Monitor ? monitorCommand(cmd, args, t) : consoleCommand(cmd, args);
    if (!done) {
        if (simMode == SimMode::Monitor)
            outLine(QStringLiteral("? %1").arg(words[0]));
        else
            outLine(QStringLiteral("Unknown command: %1 (type HELP)").arg(words[0]));
        prompt();
    }
}

bool Instrument::commonCommand(const QString& cmd, const QStringList& args, const QString& line)
{
    if (cmd == QLatin1String("LOAD")) {
        startLoad(line, args);
        return true;
    }
    if (cmd == QLatin1String("G")) {
        if (args.isEmpty()) {
            runProgram(QStringLiteral("G"), QString(), programAddress, false);
        } else {
            quint32 a = 0;
            if (!parseHex32(args[0], &a)) {
                outLine(QStringLiteral("G: the address is hexadecimal, e.g. G 10000"));
                prompt();
            } else {
                runProgram(QStringLiteral("G"), QString(), a, true);
            }
        }
        return true;
    }
    if (cmd == QLatin1String("GS")) {
        if (args.isEmpty()) {
            outLine(QStringLiteral("GS needs a program name"));
            prompt();
        } else {
            runProgram(QStringLiteral("GS"), args[0], programAddress, false);
        }
        return true;
    }
    // The clock and CAPTURE answer in the monitor too, so that text sent for
    // the card never runs as monitor commands.
    if (cmd == QLatin1String("TIME")) {
        outLine(QStringLiteral("Current time is ") + clock().toString(QStringLiteral("HH:mm:ss")));
        prompt();
        return true;
    }
    if (cmd == QLatin1String("DATE")) {
        if (args.isEmpty())
            outLine(QStringLiteral("Current date is ") +
                    clock().toString(QStringLiteral("MM/dd/yy")));
        else if (!setClockFromDate(args))
            outLine(QStringLiteral("Invalid date; use DATE mm/dd/yy hh:mm:ss"));
        prompt();
        return true;
    }
    if (cmd == QLatin1String("CAPTURE")) {
        startCapture(args);
        return true;
    }
    if (cmd == QLatin1String("HELP") || cmd == QLatin1String("?")) {
        if (simMode == SimMode::Monitor) {
            outLine(QStringLiteral("LOAD rate address count   block load (hex fields)"));
            outLine(QStringLiteral("G [address]               run the loaded program"));
            outLine(QStringLiteral("GS name                   run the loaded program as name"));
            outLine(QStringLiteral("lo ;B3+  /  lo ;3         S-record or hex download"));
            outLine(QStringLiteral("MD address [count]        show memory"));
            outLine(QStringLiteral("tom8, mon                 show the prompt"));
            outLine(QStringLiteral("DATE, TIME, CAPTURE       as at the Zelkon console"));
            outLine(QStringLiteral("EXIT                      back to the Zelkon console"));
        } else {
            outLine(
                QStringLiteral("DIR [path]  CD [path]  TYPE name  TIME  DATE [mm/dd/yy hh:mm:ss]"));
            outLine(QStringLiteral("CAPTURE name [/D 3]  text up to Ctrl-C is stored as a file"));
            outLine(QStringLiteral("LOAD rate address count  G [address]  GS name"));
            outLine(QStringLiteral("SKIFFER  start the link server (Ctrl-C stops it)"));
            outLine(QStringLiteral("MON  enter the boot monitor   VER  version"));
        }
        prompt();
        return true;
    }
    return false;
}

bool Instrument::consoleCommand(const QString& cmd, const QStringList& args)
{
    if (cmd == QLatin1String("DIR")) {
        printDirectory(args);
        prompt();
    } else if (cmd == QLatin1String("CD")) {
        if (args.isEmpty()) {
            outLine(CardTree::cardPath(cwd));
        } else {
            QStringList to;
            if (card->resolveDirectory(args.join(QLatin1Char(' ')), cwd, &to))
                cwd = to;
            else
                outLine(QStringLiteral("Invalid directory"));
        }
        prompt();
    } else if (cmd == QLatin1String("TYPE")) {
        typeFile(args);
        prompt();
    } else if (cmd == QLatin1String("SKIFFER") || cmd == QLatin1String("SK")) {
        startSkiffer();
    } else if (cmd == QLatin1String("MON") || cmd == QLatin1String("TOM8")) {
        simMode = SimMode::Monitor;
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

bool Instrument::monitorCommand(const QString& cmd, const QStringList& args, const QString& line)
{
    if (cmd == QLatin1String("TOM8") || cmd == QLatin1String("MON")) {
        prompt();
    } else if (cmd == QLatin1String("LO") || cmd.startsWith(QLatin1String("LO;"))) {
        startHex(line);
    } else if (cmd == QLatin1String("EXIT") || cmd == QLatin1String("X")) {
        simMode = SimMode::Console;
        note(QStringLiteral("Zelkon console entered"));
        prompt();
    } else if (cmd == QLatin1String("MD")) {
        quint32 a = 0;
        quint32 count = 64;
        if (args.isEmpty() || !parseHex32(args[0], &a) ||
            (args.size() > 1 && !parseHex32(args[1], &count)) || count > 4096) {
            outLine(QStringLiteral("MD address [count]   (hexadecimal, count up to 1000)"));
        } else {
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
        prompt();
    } else {
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- console commands

bool Instrument::setClockFromDate(const QStringList& args)
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
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(value);
    model.clockSets.append({QStringLiteral("DATE"), args.join(QLatin1Char(' ')), value});
    note(QStringLiteral("clock set by DATE to %1").arg(value.toString(Qt::ISODate)));
    return true;
}

void Instrument::printDirectory(const QStringList& args)
{
    QStringList dir = cwd;
    if (!args.isEmpty() && !card->resolveDirectory(args.join(QLatin1Char(' ')), cwd, &dir)) {
        outLine(QStringLiteral("File not found"));
        return;
    }
    out(card->listing(dir, "\r\n"));
}

void Instrument::typeFile(const QStringList& args)
{
    const QString name = args.isEmpty() ? QString() : card->findEntry(cwd, args[0], false);
    QFile f(card->hostPath(cwd) + QLatin1Char('/') + name);
    if (name.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        outLine(QStringLiteral("File not found"));
        return;
    }
    QByteArray text = crlfText(f.read(1024 * 1024));
    if (!text.endsWith("\r\n"))
        text += "\r\n";
    out(text);
}

void Instrument::startCapture(const QStringList& args)
{
    if (args.isEmpty()) {
        outLine(QStringLiteral("CAPTURE name [/D 3]"));
        prompt();
        return;
    }
    captureName = args[0];
    captureOptions = args.mid(1).join(QLatin1Char(' '));
    captureData.clear();
    note(QStringLiteral("CAPTURE %1 %2 starts").arg(captureName, captureOptions));
    // An unusable name still takes the text up to ETX, so that it does not run as commands.
    phase = Phase::Capture;
}

void Instrument::finishCapture()
{
    phase = Phase::Line;
    QString where;
    QString why;
    if (storeFile(captureName, captureData, &where, &why)) {
        CardFileRecord rec;
        rec.kind = CardFileRecord::Captured;
        rec.cardPath = where;
        rec.size = captureData.size();
        rec.announced = captureData.size();
        rec.options = captureOptions;
        rec.settings = io->lineSettings();
        model.cardFiles.append(rec);
        note(QStringLiteral("CAPTURE stored %1 (%2 bytes)").arg(where).arg(captureData.size()));
        out("\r\n");
        outLine(QStringLiteral("%1 bytes captured to %2").arg(captureData.size()).arg(captureName));
    } else {
        note(QStringLiteral("CAPTURE %1 not stored: %2").arg(captureName, why));
        out("\r\n");
        outLine(QStringLiteral("CAPTURE %1 failed: %2").arg(captureName, why));
    }
    captureData.clear();
    prompt();
}

bool Instrument::storeFile(const QString& name, const QByteArray& bytes, QString* cardPath,
                           QString* why)
{
    if (!isPlainName(name)) {
        *why = QStringLiteral("invalid file name");
        return false;
    }
    if (!card->findEntry(cwd, name, true).isEmpty()) {
        *why = QStringLiteral("a directory has that name");
        return false;
    }
    const QString existing = card->findEntry(cwd, name, false);
    const QString stored = existing.isEmpty() ? name : existing;
    const QString path = card->hostPath(cwd) + QLatin1Char('/') + stored;
    // The card's file system keeps a folder's date when files change in it.
    const QDateTime folderStamp = modifiedUtc(card->hostPath(cwd));
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        *why = f.errorString();
        return false;
    }
    setModificationTime(path, clock());
    setModificationTime(card->hostPath(cwd), folderStamp);
    *cardPath = CardTree::cardPath(cwd + QStringList{stored});
    return true;
}

} // namespace qx2sim
