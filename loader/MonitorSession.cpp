#include "MonitorSession.h"

#include "Crc32.h"
#include "LoadImage.h"
#include "SerialPort.h"
#include "UserFeedback.h"

#include <QFile>
#include <QFileInfo>
#include <QThread>

#include <algorithm>
#include <climits>
#include <new>

namespace monitor
{
const char* const kNoPromptText = "### Protocol Error (timeout expecting monitor >)";
const char* const kAbortedText = "### DuVizEred Aborted";
const char* const kNoPlusText = "### Protocol Error (timeout expecting initial +)";
const char* const kNoMinusText = "### Protocol Error (timeout expecting -)";
const char* const kErrorCaption = "Error";

QString deviceGoneText(const QString& reason)
{
    return QStringLiteral("The serial port stopped working during the load:\r%1").arg(reason);
}

namespace
{
constexpr int kAnswerShownBytes = 200;

// Upper-case hex with at least width digits.
QByteArray hex(uint32_t value, int width)
{
    return QByteArray::number(value, 16).toUpper().rightJustified(width, '0');
}
} // namespace

QString escapedBytes(const QByteArray& bytes)
{
    QString out;
    for (char c : bytes) {
        const uchar u = uchar(c);
        if (u >= 0x20 && u < 0x7F)
            out += QLatin1Char(c);
        else
            out += QStringLiteral("\\x%1").arg(u, 2, 16, QLatin1Char('0'));
    }
    return out;
}

QString refusedText(const QByteArray& answer, const QByteArray& command)
{
    // The echo of the LOAD line and the prompt that follows the refusal are not the
    // reason; what is left between them is.
    QList<QByteArray> lines;
    for (const QByteArray& raw : answer.split('\n')) {
        const QByteArray line = raw.trimmed();
        if (!line.isEmpty() && line != command.trimmed())
            lines.append(line);
    }
    if (lines.size() > 1 && lines.last().endsWith('>'))
        lines.removeLast();
    QByteArray said = lines.join(" / ");
    if (said.size() > kAnswerShownBytes)
        said = said.left(kAnswerShownBytes) + "...";
    return QStringLiteral("The monitor refused the load: %1").arg(escapedBytes(said));
}

QString wrapsText(uint32_t address, qint64 count)
{
    return QStringLiteral("The image of %1 bytes at %2 would pass address FFFFFFFF: nothing "
                          "was sent.")
        .arg(count)
        .arg(QString::fromLatin1(hex(address, 8)));
}

QByteArray loadCommand(uint32_t rate, uint32_t address, uint32_t count)
{
    return "LOAD " + hex(rate, 8) + ' ' + hex(address, 8) + ' ' + hex(count, 8) + '\r';
}

QByteArray crcReportLine(uint32_t address, uint32_t count, uint32_t crc)
{
    return QByteArray("\n") + kCrcReportStart + ' ' + hex(address, 6) + ' ' +
           hex(address + count - 1, 6) + " = " + hex(crc, 8) + '\n';
}

int progressUpperBound(qint64 size, int unit)
{
    const qint64 units = size / unit;
    return int(std::min<qint64>(units == 1 ? 1 : units + 1, INT_MAX));
}
} // namespace monitor

using namespace monitor;

namespace
{

void realSleep(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace

// Puts the terminal baud rate back when a conversation ends, before the saved
// line state (declared after it) is restored.
class MonitorSession::TerminalRateOnExit
{
public:
    explicit TerminalRateOnExit(MonitorSession& s) : session(s) {}
    ~TerminalRateOnExit() { session.SetBaud(session.rates.terminal); }

private:
    MonitorSession& session;
};

MonitorSession::MonitorSession(MonitorLine& line, UserFeedback& feedback, Rates rates,
                               TerminalText showText, LoadProgressFactory progress)
    : line(line), feedback(feedback), rates(rates), showText(std::move(showText)),
      makeProgress(std::move(progress)), sleep(realSleep)
{
}

void MonitorSession::setSleepFunction(SleepFunction s)
{
    sleep = s ? std::move(s) : SleepFunction(realSleep);
}

// --- primitives ------------------------------------------------------------------

void MonitorSession::noteIo(bool ok)
{
    if (line.deviceGone()) {
        gone = true;
        return;
    }
    if (ok || !line.deviceFailed()) {
        failuresInRow = 0;
        return;
    }
    if (++failuresInRow >= kDeviceGoneAfter)
        gone = true;
}

int MonitorSession::InputCount()
{
    return line.inputCount();
}

int MonitorSession::ReadByte()
{
    char byte = 0;
    const bool got = line.read(&byte, 1) == 1;
    noteIo(got);
    return got ? int(static_cast<signed char>(byte)) : -1;
}

bool MonitorSession::SendByte(char byte)
{
    return SendBytes(&byte, 1) == 1;
}

bool MonitorSession::SendText(const char* text)
{
    const int n = int(qstrlen(text));
    return SendBytes(text, n) == n;
}

int MonitorSession::SendBytes(const char* bytes, int count)
{
    if (count <= 0)
        return 0;
    const int written = line.write(bytes, count);
    noteIo(written == count);
    return written;
}

bool MonitorSession::SetBaud(uint32_t rate)
{
    return line.setBaudRate(rate);
}

int MonitorSession::DrainInput(int ms)
{
    // A line that never goes quiet (a program printing without end) is drained for
    // drainLimitMs at most, so that a load cannot hang on it.
    int last = -1;
    int slept = 0;
    do {
        for (int n = 0; n < kDrainPieceBytes && InputCount() != 0 && !gone; ++n)
            last = ReadByte();
        sleepFor(ms);
        slept += std::max(ms, 1);
    } while (InputCount() != 0 && !gone && slept < timing.drainLimitMs);
    return last;
}

bool MonitorSession::WaitMonitorPrompt()
{
    // A prompt still queued from before (the terminal had not read it yet) is no
    // answer to this wake-up.
    discardQueuedInput();
    for (int n = kWakeAttempts; n >= 1 && !gone; --n) {
        if (n == 5) {
            SendByte(kBs);
            SendByte('.');
        } else if (n == 2) {
            SendByte('.');
        } else if (n == 1) {
            SendByte(kEtx);
        }
        SendByte(kCr);
        sleepFor(timing.promptSettleMs);
        const int c = DrainInput(timing.promptDrainMs);
        // A prompt ends in '>', or in "> ": the space counts too.
        if (c == kPrompt || c == ' ')
            return true;
    }
    return false;
}

void MonitorSession::discardQueuedInput()
{
    for (int n = 0; n < kDrainPieceBytes && InputCount() != 0 && !gone; ++n)
        ReadByte();
}

void MonitorSession::ShowInTerminal(const QByteArray& text)
{
    if (showText)
        showText(text.left(255));
}

void MonitorSession::setReadTimeouts(const ReadTimeouts& t)
{
    line.setReadTimeouts(t.interval, t.perByte, t.constant);
}

Outcome MonitorSession::finish(const Outcome& outcome)
{
    if (outcome.ok())
        return outcome;
    // A conversation that ends on a failing device says so rather than naming the
    // protocol step that happened to notice.
    if (line.deviceFailed())
        gone = true;
    if (gone) {
        reportIfDeviceGone();
        return Outcome::failure(deviceGoneText(line.failureText()));
    }
    feedback.message(outcome.text(), QString::fromLatin1(kErrorCaption), MessageIcon::Warning);
    return outcome;
}

Outcome MonitorSession::refuseFile(const QString& text)
{
    feedback.message(text, QString::fromLatin1(kErrorCaption), MessageIcon::Warning);
    return Outcome::failure(text);
}

void MonitorSession::reportIfDeviceGone()
{
    if (!gone || goneReported)
        return;
    goneReported = true;
    if (onDeviceLoss)
        onDeviceLoss(line.failureText());
    else
        feedback.message(deviceGoneText(line.failureText()), QString::fromLatin1(kErrorCaption),
                         MessageIcon::Warning);
}

std::unique_ptr<LoadProgress> MonitorSession::openProgress(const QString& title,
                                                           const QString& text, int high)
{
    return openLoadProgress(makeProgress, title, text, high);
}

// --- the block load ----------------------------------------------------------------

Outcome MonitorSession::MonitorLoad(const char* data, qint64 count, uint32_t address)
{
    if (count < 0 || quint64(address) + quint64(count) > Q_UINT64_C(0x100000000))
        return finish(Outcome::failure(wrapsText(address, count)));
    const uint32_t rate = rates.download;
    const std::unique_ptr<LoadProgress> progress =
        openProgress(QStringLiteral("Sending CPM68K File"),
                     QStringLiteral("%1 Bytes to %2 @ %3 Baud")
                         .arg(count)
                         .arg(QString::number(address, 16).toUpper())
                         .arg(rate),
                     progressUpperBound(count, kBlockSize));

    const std::unique_ptr<LineRestorer> saved = line.saveLineState();
    const TerminalRateOnExit terminalRate(*this);
    const std::unique_ptr<LineRestorer> prompt = line.lowLatency();
    line.setLineFormat(kNoParity, 8, kTwoStopBits);
    setReadTimeouts(timing.loadRead);
    line.setWriteTimeouts(timing.writePerByteMs, timing.writeConstantMs);
    return finish(loadConversation(data, count, address, rate, *progress));
}

// The wire, in order: wake-up, LOAD at the terminal rate, '+', the switch to the
// download rate and the host's '+', then '=' and a block until all is sent, the
// zero length, and '-'.
Outcome MonitorSession::loadConversation(const char* data, qint64 count, uint32_t address,
                                         uint32_t rate, LoadProgress& progress)
{
    if (!WaitMonitorPrompt())
        return Outcome::failure(QString::fromLatin1(kNoPromptText));
    if (progress.CheckCancel())
        return Outcome::failure(QString::fromLatin1(kAbortedText));

    sendLoadCommand(rate, address, count);
    setReadTimeouts(timing.replyRead);
    switch (awaitGoAhead(progress)) {
    case Reply::Cancelled:
        return Outcome::failure(QString::fromLatin1(kAbortedText));
    case Reply::TimedOut:
        return Outcome::failure(QString::fromLatin1(kNoPlusText));
    case Reply::Refused:
        return Outcome::failure(
            refusedText(loadAnswer, loadCommand(rate, address, uint32_t(count))));
    case Reply::Seen:
    case Reply::Other: // a hundred other bytes: the monitor is taken to be listening
        break;
    }

    setReadTimeouts(timing.loadRead);
    SetBaud(rate);
    sleepFor(timing.baudSwitchMs);
    SendByte(kPlus);

    qint64 remaining = count;
    while (remaining > 0) {
        if (progress.CheckCancel())
            return Outcome::failure(QString::fromLatin1(kAbortedText));
        const int n = int(std::min<qint64>(remaining, kBlockSize));
        Outcome step = expectBlockRequest(remaining);
        if (step.ok())
            step = sendBlock(data, n);
        if (step.failed())
            return step;
        progress.StepProgress();
        remaining -= n;
        data += n;
    }

    // The closing zero length goes without waiting for '=': a monitor may send one
    // after the last block or not, and the reads below pass over it.
    sendBlockEnd();
    setReadTimeouts(timing.replyRead);
    switch (awaitReply(kMinus, progress, true)) {
    case Reply::Cancelled:
        return Outcome::failure(QString::fromLatin1(kAbortedText));
    case Reply::TimedOut:
    case Reply::Refused:
        return Outcome::failure(QString::fromLatin1(kNoMinusText));
    case Reply::Seen:
        line.farEndHasAll(); // '-' comes once the zero length is in
        break;
    case Reply::Other:
        break;
    }
    return Outcome::success();
}

void MonitorSession::sendLoadCommand(uint32_t rate, uint32_t address, qint64 count)
{
    // One byte at a time, at the terminal rate, as typed.
    const QByteArray command = loadCommand(rate, address, uint32_t(count));
    for (char byte : command)
        SendByte(byte);
}

// Up to replyReads reads for wanted; '&' is answered with one 0x00 when asked.
// TimedOut only when the last read got nothing.
MonitorSession::Reply MonitorSession::awaitReply(char wanted, LoadProgress& progress,
                                                 bool answerAmp)
{
    int r = -1;
    for (int i = 0; i < timing.replyReads; ++i) {
        r = ReadByte();
        if (r == wanted)
            return Reply::Seen;
        if (answerAmp && r == kAmp)
            SendByte('\0');
        if (progress.CheckCancel())
            return Reply::Cancelled;
        if (gone)
            return Reply::TimedOut;
    }
    return r == -1 ? Reply::TimedOut : Reply::Other;
}

// The answer to the LOAD line: '+' with the line quiet behind it. Text instead (a
// refusal, ended by the prompt, or a '+' with more text right behind it) is kept in
// loadAnswer and ends the wait at the first quiet read. Up to replyReads reads, as
// awaitReply; a hundred bytes of noise still count as the go-ahead.
MonitorSession::Reply MonitorSession::awaitGoAhead(LoadProgress& progress)
{
    loadAnswer.clear();
    bool textAfterPlus = false;
    int r = -1;
    for (int i = 0; i < timing.replyReads; ++i) {
        r = ReadByte();
        if (r == -1) {
            const QByteArray answer = loadAnswer.trimmed();
            if (textAfterPlus || (answer.contains('\n') && answer.endsWith('>')))
                return Reply::Refused;
        } else {
            if (loadAnswer.size() < kDrainPieceBytes)
                loadAnswer += char(r);
            if (r == kPlus) {
                sleepFor(timing.plusQuietMs);
                if (InputCount() == 0)
                    return Reply::Seen;
                textAfterPlus = true;
            }
        }
        if (progress.CheckCancel())
            return Reply::Cancelled;
        if (gone)
            return Reply::TimedOut;
    }
    if (textAfterPlus)
        return Reply::Refused;
    return r == -1 ? Reply::TimedOut : Reply::Other;
}

// '=' from the monitor: ready for the next block.
Outcome MonitorSession::expectBlockRequest(qint64 remaining)
{
    const int r = ReadByte();
    if (r == kEquals) {
        line.farEndHasAll(); // asked for only once the last block is in
        return Outcome::success();
    }
    if (r == -1)
        return Outcome::failure(QStringLiteral("=timeout,reply=%1,rem=%2").arg(r).arg(remaining));
    return Outcome::failure(QStringLiteral("%1 reply expecting '='").arg(r));
}

// Length high, length low, the data, 0x00 0x00. The block goes in one write so that
// the line does not stand idle between its pieces while each is drained; a write
// that did not get the data out whole fails the load.
Outcome MonitorSession::sendBlock(const char* data, int n)
{
    QByteArray frame;
    frame.reserve(n + 4);
    frame += char(n / 256);
    frame += char(n % 256);
    frame.append(data, n);
    frame += '\0';
    frame += '\0';
    const int written = SendBytes(frame.constData(), frame.size());
    if (written < n + 2)
        return Outcome::failure(
            QStringLiteral("actual=%1 max=%2").arg(std::max(written - 2, 0)).arg(n));
    if (written < frame.size())
        return Outcome::failure(QStringLiteral("A block of %1 bytes went out without its closing "
                                               "00 00 (%2 of %3 bytes written).")
                                    .arg(n)
                                    .arg(written)
                                    .arg(frame.size()));
    return Outcome::success();
}

void MonitorSession::sendBlockEnd()
{
    SendByte('\0');
    SendByte('\0');
}

// --- CPM68K images -----------------------------------------------------------------

Outcome MonitorSession::SendCpm68kImage(const QString& path)
{
    using namespace loadimage;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return refuseFile(QStringLiteral("Can't open CPM68K file [%1]!").arg(path));
    }
    QByteArray bytes;
    try {
        bytes.reserve(int(std::min<qint64>(file.size() + kImageSlack, INT_MAX)));
        bytes = file.readAll();
    } catch (const std::bad_alloc&) {
        bytes.clear();
    }
    file.close();
    if (bytes.isEmpty() && QFileInfo(path).size() > 0) {
        return refuseFile(QStringLiteral("Not enough memory to open the file!"));
    }

    Cpm68kHeader header;
    const bool headerRead = readHeader(bytes, &header);
    // An image shorter than its header says would send bytes that are not in the
    // file: refused before anything goes on the line.
    if (!headerRead || quint64(bytes.size()) < header.headerSize() + header.count()) {
        return refuseFile(
            QStringLiteral("CPM68K file [%1] is shorter than its header says!").arg(path));
    }
    QByteArray image = bytes.mid(header.headerSize(), int(header.count()));
    bytes = QByteArray();
    const uint32_t address = header.loadAddress;

    if (header.flash() && address < kLowFlashLimit) {
        // Staged at a fixed address; the monitor moves it where the S-records say.
        const uint32_t end = address + uint32_t(image.size());
        const Outcome staged = MonitorLoad(image.constData(), image.size(), kStagingAddress);
        if (staged.failed())
            return staged;
        SendByte(kBs);
        SendText("mon\r");
        const Outcome tail = finish(tailConversation(sRecordTail(address, end)));
        return tail.failed() ? tail : stillConnected();
    }
    if (header.flash() && needsTrailerCheck(address, quint64(address) + image.size()))
        addTrailer(image, address);

    const Outcome loaded = MonitorLoad(image.constData(), image.size(), address);
    if (loaded.failed())
        return loaded;
    const uint32_t crc =
        Crc32Update(reinterpret_cast<const uchar*>(image.constData()), image.size(), 0);
    ShowInTerminal(crcReportLine(address, uint32_t(image.size()), crc));
    DrainInput(timing.afterLoadDrainMs);
    SendByte(kGo);
    return stillConnected();
}

// --- "tom8" and "lo" ---------------------------------------------------------------

// "tom8": the monitor's prompt must be the last thing it says.
bool MonitorSession::monitorPromptAfterTom8()
{
    SendText("tom8\r");
    sleepFor(timing.tom8SettleMs);
    const int c = DrainInput(timing.tom8DrainMs);
    return c == kPrompt || c == ' ';
}

// "lo ...": the monitor answers '%' when it is ready for records.
bool MonitorSession::percentAfterLo(const char* command)
{
    SendText(command);
    sleepFor(timing.loSettleMs);
    return DrainInput(timing.loDrainMs) == kPercent;
}

Outcome MonitorSession::stillConnected()
{
    reportIfDeviceGone();
    if (gone)
        return Outcome::failure(deviceGoneText(line.failureText()));
    return Outcome::success();
}

Outcome MonitorSession::closingPercent(const char* what)
{
    if (DrainInput(timing.hexEndDrainMs) != kPercent)
        return Outcome::failure(QStringLiteral("The monitor did not confirm the end of the %1 "
                                               "with '%': the load is incomplete.")
                                    .arg(QLatin1String(what)));
    return Outcome::success();
}

Outcome MonitorSession::SendSRecordTail(const QByteArray& text)
{
    return finish(tailConversation(text));
}

Outcome MonitorSession::tailConversation(const QByteArray& text)
{
    const TerminalRateOnExit terminalRate(*this);
    if (!monitorPromptAfterTom8())
        return Outcome::failure(
            QStringLiteral("The monitor did not answer \"tom8\" with its prompt: the "
                           "S-records were not sent."));
    if (!percentAfterLo("lo ;3\r"))
        return Outcome::failure(
            QStringLiteral("The monitor did not answer \"lo ;3\" with '%': the S-records "
                           "were not sent."));
    SetBaud(timing.hexRate);
    if (SendBytes(text.constData(), text.size()) != text.size())
        return Outcome::failure(
            QStringLiteral("The S-records did not go out whole: %1").arg(line.failureText()));
    const Outcome closed = closingPercent("S-records");
    if (closed.failed())
        return closed;
    SetBaud(rates.terminal);
    SendByte(kPercent);
    return Outcome::success();
}

Outcome MonitorSession::SendHexFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refuseFile(QStringLiteral("Can't open hex file!"));
    const qint64 size = file.size();
    if (size == 0)
        return refuseFile(
            QStringLiteral("The hex file [%1] is empty: nothing was sent.").arg(path));
    const std::unique_ptr<LoadProgress> progress =
        openProgress(QStringLiteral("Sending HEX File"), QStringLiteral("..."),
                     progressUpperBound(size, kBlockSize));
    Outcome outcome = Outcome::success();
    {
        const std::unique_ptr<LineRestorer> saved = line.saveLineState();
        const TerminalRateOnExit terminalRate(*this);
        line.setLineFormat(kNoParity, 8, kOneStopBit);
        setReadTimeouts(timing.hexRead);
        outcome = hexConversation(file, *progress);
        file.close();
    }
    // Told once the line's guards have let go.
    const Outcome told = finish(outcome);
    return told.failed() ? told : stillConnected();
}

// "tom8", "lo ;B3+", '%', the file as it is at 57,600 baud, '%', the host's '%'.
Outcome MonitorSession::hexConversation(QFile& file, LoadProgress& progress)
{
    if (!monitorPromptAfterTom8())
        return Outcome::failure(
            QStringLiteral("The monitor did not answer \"tom8\" with its prompt: the hex "
                           "file was not sent."));
    if (!percentAfterLo("lo ;B3+\r"))
        return Outcome::failure(
            QStringLiteral("The monitor did not answer \"lo ;B3+\" with '%': the hex file "
                           "was not sent."));
    SetBaud(timing.hexRate);
    qint64 sent = 0;
    for (;;) {
        const QByteArray piece = file.read(kBlockSize);
        if (piece.isEmpty())
            break;
        const int written = SendBytes(piece.constData(), piece.size());
        if (written != piece.size())
            return Outcome::failure(QStringLiteral("The hex file stopped after %1 of %2 bytes: %3")
                                        .arg(sent + std::max(written, 0))
                                        .arg(file.size())
                                        .arg(line.failureText()));
        sent += written;
        progress.StepProgress();
    }
    if (file.error() != QFileDevice::NoError)
        return Outcome::failure(
            QStringLiteral("The hex file could not be read whole: %1").arg(file.errorString()));
    // The closing '%' comes once the monitor has the last record: the drain counts
    // from when the file has left the wire, not from when the driver took it.
    line.waitUntilSent();
    const Outcome closed = closingPercent("hex file");
    if (closed.failed())
        return closed;
    SetBaud(rates.terminal);
    SendByte(kPercent);
    return Outcome::success();
}
