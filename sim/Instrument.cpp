#include "Instrument.h"

#include "Crc32.h"

#include <QDir>
#include <QFile>
#include <QRegularExpression>

namespace qx2sim {

namespace {

constexpr unsigned char kBS = 0x08;
constexpr unsigned char kDEL = 0x7F;
constexpr unsigned char kETX = 0x03;
constexpr unsigned char kCR = 0x0D;
constexpr unsigned char kLF = 0x0A;
constexpr char kPlus = '+';
constexpr char kEquals = '=';
constexpr char kMinus = '-';
constexpr char kAmp = '&';
constexpr char kPercent = '%';

constexpr int kMaxLine = 255;
constexpr quint32 kMaxLoadCount = 16u * 1024 * 1024;
constexpr int kMaxCapture = 64 * 1024 * 1024;
constexpr int kMaxLinkLine = 4096;

QString hex8(quint32 v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

QString hex6(quint32 v)
{
    return QStringLiteral("%1").arg(v, 6, 16, QLatin1Char('0')).toUpper();
}

bool parseHex32(const QString& text, quint32* out)
{
    if (text.isEmpty() || text.size() > 8)
        return false;
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok)
        return false;
    *out = v;
    return true;
}

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
    : options(options), card(card), io(io)
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
        io->send(bytes, gapMs);
}

void Instrument::flush()
{
    if (!pending.isEmpty() && !options.silent)
        io->send(pending, 0);
    pending.clear();
}

QByteArray Instrument::promptText() const
{
    if (simMode == SimMode::Monitor)
        return "QX2>";
    return CardTree::cardPath(cwd).toUtf8() + '>';
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
    now = nowMs;
    lastByteAt = nowMs;
    if (options.skiffer) {
        startSkiffer();
    } else {
        outLine(QStringLiteral("Zelkon DOS for Vantrel QX2 (simulated). Type HELP."));
        prompt();
    }
    flush();
}

void Instrument::receive(const QByteArray& bytes, qint64 nowMs)
{
    now = nowMs;
    lastByteAt = nowMs;
    const char* p = bytes.constData();
    int n = bytes.size();
    // Every handler takes what belongs to its phase; a byte that ends a phase
    // is taken alone, so the rest is read by the next phase whatever the chunking.
    int guard = 0;
    while (n > 0) {
        const int used = consume(p, n);
        if (used == 0 && ++guard > 4)
            break;  // cannot happen: a phase that passes a byte on changes phase
        if (used > 0)
            guard = 0;
        p += used;
        n -= used;
    }
    flush();
}

qint64 Instrument::deadline() const
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
    default:
        return -1;
    }
}

void Instrument::tick(qint64 nowMs)
{
    now = nowMs;
    const qint64 due = deadline();
    if (due < 0 || nowMs < due)
        return;
    switch (phase) {
    case Phase::LoadHostPlus:
    case Phase::LoadLenHi:
    case Phase::LoadLenLo:
    case Phase::LoadData:
    case Phase::LoadTrailer:
    case Phase::LoadAmpAnswer:
        abandonLoad(QStringLiteral("abandoned: line quiet for %1 ms").arg(options.timing.loadIdleMs));
        break;
    case Phase::HexData:
        if (hex.raw.isEmpty()) {
            note(QStringLiteral("lo: no data arrived; back to the prompt"));
            phase = Phase::Line;
        } else {
            finishHex(QStringLiteral("quiet"));
        }
        break;
    case Phase::HexClosing:
        note(QStringLiteral("lo: the host sent no closing '%'"));
        phase = Phase::Line;
        break;
    case Phase::SkUploadData:
        discardUpload(QStringLiteral("line quiet for %1 ms").arg(options.timing.uploadIdleMs));
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

    case Phase::LoadHostPlus:
        // Anything before the host's '+' is noise of its rate switch.
        if (c == kPlus) {
            load.dataSettings = io->lineSettings();
            note(QStringLiteral("LOAD data phase starts"));
            requestBlock();
        }
        return 1;

    case Phase::LoadLenHi:
        blockLength = c << 8;
        phase = Phase::LoadLenLo;
        return 1;

    case Phase::LoadLenLo:
        blockLength |= c;
        if (blockLength == 0) {
            finishLoad();
        } else {
            blockRemaining = blockLength;
            phase = Phase::LoadData;
        }
        return 1;

    case Phase::LoadData: {
        const int k = qMin(n, blockRemaining);
        load.data.append(p, k);
        blockRemaining -= k;
        loadReceived += static_cast<quint32>(k);
        if (blockRemaining == 0) {
            trailerSeen = 0;
            phase = Phase::LoadTrailer;
        }
        return k;
    }

    case Phase::LoadTrailer:
        if (c != 0)
            load.trailersOk = false;
        if (++trailerSeen == 2) {
            load.blockLengths.append(blockLength);
            requestBlock();
        }
        return 1;

    case Phase::LoadAmpAnswer: {
        LoadRecord& rec = model.loads.last();
        ++rec.ampAnswers;
        if (c != 0)
            rec.ampAnswersOk = false;
        if (ampLeft > 0) {
            --ampLeft;
            out(QByteArray(1, kAmp));
        } else {
            note(QStringLiteral("LOAD '&' answers=%1 all-zero=%2")
                     .arg(rec.ampAnswers)
                     .arg(rec.ampAnswersOk ? QLatin1String("yes") : QLatin1String("no")));
            sendMinus();
        }
        return 1;
    }

    case Phase::HexData:
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
            if (p[j] != '\r')
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
        const int k = static_cast<int>(qMin<qint64>(n, uploadRemaining));
        if (uploadReceived == 0)
            uploadSettings = io->lineSettings();
        if (upload && uploadKeep && upload->write(p, k) != k)
            uploadKeep = false;  // reported when the file is finished
        uploadRemaining -= k;
        uploadReceived += k;
        if (uploadRemaining == 0)
            finishUpload();
        return k;
    }
    }
    return 1;
}

// ---------------------------------------------------------------- console and monitor

void Instrument::lineByte(unsigned char c)
{
    if (afterLoad) {
        afterLoad = false;
        if (c == 'G' || c == 'g') {
            // A lone G right after a load starts the program without a CR.
            out("G\r\n");
            runProgram(QStringLiteral("G"), QString(), programAddress, true);
            return;
        }
    }
    switch (c) {
    case kCR: {
        out("\r\n");
        const QString line = lineBuffer;
        lineBuffer.clear();
        executeLine(line);
        return;
    }
    case kLF:
    case 0:
        return;  // the LF of a CR LF line end, or a fill byte
    case kBS:
    case kDEL:
        if (!lineBuffer.isEmpty()) {
            lineBuffer.chop(1);
            out("\b \b");
        }
        return;
    case kETX:
        lineBuffer.clear();
        out("^C\r\n");
        prompt();
        return;
    default:
        break;
    }
    if (c == '\t')
        c = ' ';
    if (c < 0x20 || c >= 0x7F || lineBuffer.size() >= kMaxLine)
        return;
    lineBuffer += QChar::fromLatin1(static_cast<char>(c));
    out(QByteArray(1, static_cast<char>(c)));
}

void Instrument::executeLine(const QString& line)
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
    if (commonCommand(cmd, args, t))
        return;
    const bool done = simMode == SimMode::Monitor ? monitorCommand(cmd, args, t)
                                                  : consoleCommand(cmd, args);
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
            outLine(QStringLiteral("DIR [path]  CD [path]  TYPE name  TIME  DATE [mm/dd/yy hh:mm:ss]"));
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
        return;  // back at the command line, silently
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
    note(QStringLiteral("LOAD %1 after %2 of %3 bytes").arg(why).arg(load.data.size()).arg(load.count));
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
        const quint32 v = (static_cast<unsigned char>(r.data[0]) << 8) |
                          static_cast<unsigned char>(r.data[1]);
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

// ---------------------------------------------------------------- console commands

bool Instrument::setClockFromDate(const QStringList& args)
{
    if (args.size() != 2)
        return false;
    static const QRegularExpression dateRe(QStringLiteral("^(\\d{1,2})/(\\d{1,2})/(\\d{2}|\\d{4})$"));
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
    QSaveFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size() || !f.commit()) {
        *why = f.errorString();
        return false;
    }
    setModificationTime(path, clock());
    *cardPath = CardTree::cardPath(cwd + QStringList{stored});
    return true;
}

// ---------------------------------------------------------------- link server

void Instrument::startSkiffer()
{
    simMode = SimMode::Skiffer;
    phase = Phase::SkIdle;
    cwdValid = true;
    note(QStringLiteral("Skiffer link server started"));
    outLine(QStringLiteral(" Skiffer link server running; Ctrl-C stops it"));
}

void Instrument::skifferByte(unsigned char c)
{
    switch (c) {
    case 'c':
    case 't':
    case 's':
    case 'r':
        skCommand = static_cast<char>(c);
        skLine.clear();
        phase = Phase::SkLine;
        return;
    case 'd':
        skifferList();
        return;
    case 'a':
        io->discardPendingOutput();
        pending.clear();
        note(QStringLiteral("link: a - sending stopped"));
        if (!model.cardFiles.isEmpty() && model.cardFiles.last().kind == CardFileRecord::Sent) {
            CardFileRecord rec = model.cardFiles.last();
            rec.kind = CardFileRecord::SendAborted;
            model.cardFiles.append(rec);
        }
        return;
    case kETX:
        note(QStringLiteral("Skiffer link server stopped"));
        simMode = SimMode::Console;
        phase = Phase::Line;
        out("^C\r\n");
        prompt();
        return;
    default:
        return;  // line ends and stray bytes between commands
    }
}

void Instrument::skifferCommand(char cmd, const QByteArray& arg)
{
    switch (cmd) {
    case 'c':
        skifferChangeDir(QString::fromUtf8(arg));
        break;
    case 't':
        if (arg.startsWith("date "))
            skifferTdate(QString::fromUtf8(arg.mid(5)));
        else
            note(QStringLiteral("link: unknown command t%1").arg(QString::fromUtf8(arg)));
        break;
    case 's':
        skifferSend(QString::fromUtf8(arg));
        break;
    case 'r':
        skifferReceive(arg);
        break;
    default:
        break;
    }
}

void Instrument::skifferChangeDir(const QString& path)
{
    QStringList to;
    if (card->resolveDirectory(path, cwd, &to)) {
        cwd = to;
        cwdValid = true;
        note(QStringLiteral("link: c %1").arg(CardTree::cardPath(cwd)));
    } else {
        cwdValid = false;
        badDir = path;
        note(QStringLiteral("link: c %1 - no such directory").arg(path));
    }
}

void Instrument::skifferList()
{
    const QByteArray lineEnd = options.crlfListing ? "\r\n" : "\n";
    QByteArray text;
    if (cwdValid) {
        text = card->listing(cwd, lineEnd);
    } else {
        text = " Volume in drive C is QX2CARD" + lineEnd + " Directory of " + badDir.toUtf8() +
               lineEnd + lineEnd + " File not found" + lineEnd;
    }
    note(QStringLiteral("link: d %1 (%2 bytes)")
             .arg(cwdValid ? CardTree::cardPath(cwd) : badDir)
             .arg(text.size()));
    if (options.chunkSize > 0) {
        flush();
        for (int i = 0; i < text.size(); i += options.chunkSize)
            outAfter(i == 0 ? 0 : options.chunkGapMs, text.mid(i, options.chunkSize));
    } else {
        out(text);
    }
}

void Instrument::skifferTdate(const QString& text)
{
    static const QRegularExpression re(QStringLiteral(
        "^(\\d{2})-(\\d{2})-(\\d{4}) (\\d{1,2}):(\\d{2}):(\\d{2}) ?([aApP])[mM]?$"));
    const auto m = re.match(text.trimmed());
    const QDate date = m.hasMatch() ? QDate(m.captured(3).toInt(), m.captured(1).toInt(),
                                            m.captured(2).toInt())
                                    : QDate();
    int hour = m.hasMatch() ? m.captured(4).toInt() : -1;
    const bool pm = m.hasMatch() && m.captured(7).toLower() == QLatin1String("p");
    if (hour >= 1 && hour <= 12)
        hour = (hour % 12) + (pm ? 12 : 0);
    else
        hour = -1;
    const QTime time = hour >= 0 ? QTime(hour, m.captured(5).toInt(), m.captured(6).toInt())
                                 : QTime();
    if (!date.isValid() || !time.isValid()) {
        note(QStringLiteral("link: tdate %1 - not understood").arg(text));
        out("\r\nBad date: " + text.toUtf8() + "\r\nUse tdate MM-dd-yyyy hh:mm:ss a|p\r\n");
        return;
    }
    const QString format = QStringLiteral("MM-dd-yyyy HH:mm:ss");
    const QDateTime before = clock();
    const QDateTime value(date, time, Qt::UTC);
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(value);
    model.clockSets.append({QStringLiteral("tdate"), text, value});
    note(QStringLiteral("clock set by tdate to %1").arg(value.toString(Qt::ISODate)));
    out("\r\nClock was " + before.toString(format).toUtf8() + "\r\nClock now " +
        value.toString(format).toUtf8() + "\r\n");
}

void Instrument::skifferSend(const QString& name)
{
    const QString found = cwdValid ? card->findEntry(cwd, name, false) : QString();
    QFile f(card->hostPath(cwd) + QLatin1Char('/') + found);
    // A missing file gets no answer at all: any text would land in the client's file.
    if (found.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        note(QStringLiteral("link: s %1 - no such file, nothing sent").arg(name));
        return;
    }
    QByteArray bytes = f.readAll();
    CardFileRecord rec;
    rec.kind = CardFileRecord::Sent;
    rec.cardPath = CardTree::cardPath(cwd + QStringList{found});
    rec.announced = bytes.size();
    rec.settings = io->lineSettings();
    if (options.stallDownloadAfter >= 0 && options.stallDownloadAfter < bytes.size()) {
        bytes.truncate(static_cast<int>(options.stallDownloadAfter));
        note(QStringLiteral("fault: sending only %1 of %2 bytes").arg(bytes.size()).arg(rec.announced));
    }
    rec.size = bytes.size();
    model.cardFiles.append(rec);
    note(QStringLiteral("link: s %1 - sending %2 bytes").arg(rec.cardPath).arg(bytes.size()));
    out(bytes);
}

void Instrument::skifferReceive(const QByteArray& request)
{
    const int tab = request.indexOf('\t');
    const QByteArray lengthText = tab >= 0 ? request.mid(tab + 1) : QByteArray();
    static const QRegularExpression digits(QStringLiteral("^\\d{1,12}$"));
    if (tab < 0 || !digits.match(QString::fromLatin1(lengthText)).hasMatch()) {
        note(QStringLiteral("link: r without name TAB length - ignored"));
        return;
    }
    const QString name = QString::fromUtf8(request.left(tab));
    uploadAnnounced = lengthText.toLongLong();
    uploadRemaining = uploadAnnounced;
    uploadReceived = 0;
    uploadSettings = io->lineSettings();
    uploadKeep = false;
    upload.reset();
    QString why;
    if (!cwdValid) {
        why = QStringLiteral("the current directory does not exist");
    } else if (!isPlainName(name)) {
        why = QStringLiteral("invalid file name");
    } else if (!card->findEntry(cwd, name, true).isEmpty()) {
        why = QStringLiteral("a directory has that name");
    } else {
        const QString existing = card->findEntry(cwd, name, false);
        const QString stored = existing.isEmpty() ? name : existing;
        uploadCardPath = CardTree::cardPath(cwd + QStringList{stored});
        upload.reset(new QSaveFile(card->hostPath(cwd) + QLatin1Char('/') + stored));
        uploadKeep = upload->open(QIODevice::WriteOnly);
        if (!uploadKeep)
            why = upload->errorString();
    }
    if (!uploadKeep) {
        // The bytes still follow; they are read and dropped so they cannot pass as commands.
        uploadCardPath = CardTree::cardPath(cwd) + QLatin1Char('\\') + name;
        note(QStringLiteral("link: r %1 %2 - will not be stored: %3")
                 .arg(name)
                 .arg(uploadAnnounced)
                 .arg(why));
    } else {
        note(QStringLiteral("link: r %1 %2").arg(uploadCardPath).arg(uploadAnnounced));
    }
    if (uploadAnnounced == 0) {
        finishUpload();
        return;
    }
    phase = Phase::SkUploadData;
}

void Instrument::finishUpload()
{
    phase = Phase::SkIdle;
    CardFileRecord rec;
    rec.cardPath = uploadCardPath;
    rec.size = uploadReceived;
    rec.announced = uploadAnnounced;
    rec.settings = uploadSettings;
    if (upload && uploadKeep && upload->commit()) {
        setModificationTime(upload->fileName(), clock());
        rec.kind = CardFileRecord::Uploaded;
        note(QStringLiteral("link: stored %1 (%2 bytes)").arg(uploadCardPath).arg(uploadReceived));
    } else {
        if (upload)
            upload->cancelWriting();
        rec.kind = CardFileRecord::UploadDiscarded;
        note(QStringLiteral("link: %1 not stored").arg(uploadCardPath));
    }
    model.cardFiles.append(rec);
    upload.reset();
}

void Instrument::discardUpload(const QString& why)
{
    if (upload)
        upload->cancelWriting();
    upload.reset();
    CardFileRecord rec;
    rec.kind = CardFileRecord::UploadDiscarded;
    rec.cardPath = uploadCardPath;
    rec.size = uploadReceived;
    rec.announced = uploadAnnounced;
    rec.settings = uploadSettings;
    model.cardFiles.append(rec);
    note(QStringLiteral("link: upload of %1 discarded after %2 of %3 bytes: %4")
             .arg(uploadCardPath)
             .arg(uploadReceived)
             .arg(uploadAnnounced)
             .arg(why));
    phase = Phase::SkIdle;
}

} // namespace qx2sim
