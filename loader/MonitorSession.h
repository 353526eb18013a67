// The conversations with the instrument's boot monitor.
//
// A session talks through a MonitorLine with the comm thread stopped (the load
// commands pause it), on the caller's thread, with blocking reads. Its
// primitives are the ones every loader uses (InputCount, ReadByte, SendByte,
// SendText, SendBytes, SetBaud, DrainInput, WaitMonitorPrompt); on them sit the
// block load (MonitorLoad), the CPM68K image sender with its flash trailer and
// its staging of low-address flash images, the S-record tail and the hex-file
// download.
//
// Every conversation that changes the line saves its state first and puts it,
// and the terminal baud rate, back on every exit through guards. Failures of
// the block load are told to the user once, through the session's one funnel
// (finish), and so is every failed check of the hex and S-record conversations. A
// '+' followed at once by more text is no go-ahead: the monitor's answer to the LOAD
// line is then shown in the failure. A device that fails (not merely times out) on
// three operations in a row (or that the port knows to be gone) is taken as gone:
// the conversation ends at its next check and the user is told once, whatever the
// conversation was.
//
// The one blocking pause is sleepFor, which tests replace; the time-outs are in
// MonitorTiming.
#pragma once

#include "ControlChars.h"
#include "LoadProgress.h"
#include "MonitorLine.h"
#include "MonitorTiming.h"
#include "Outcome.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <functional>

class UserFeedback;

namespace monitor
{
using ascii::kBs;
using ascii::kCr;
using ascii::kEtx;
constexpr char kPlus = '+';   // the monitor takes the LOAD; the host starts the data phase
constexpr char kEquals = '='; // the monitor is ready for a block
constexpr char kMinus = '-';  // the monitor has the whole load
constexpr char kAmp = '&';    // the monitor asks for one 0x00
constexpr char kPrompt = '>';
constexpr char kPercent = '%';
constexpr char kGo = 'G';
constexpr int kBlockSize = 1024;
constexpr int kWakeAttempts = 5;
constexpr int kDeviceGoneAfter = 3;     // failed operations in a row
constexpr int kDrainPieceBytes = 65536; // read at most this much between two pauses

// The user's texts of the block load, exactly.
extern const char* const kNoPromptText;
extern const char* const kAbortedText;
extern const char* const kNoPlusText;
extern const char* const kNoMinusText;
extern const char* const kErrorCaption;
// A device that stopped working during a conversation.
QString deviceGoneText(const QString& reason);
// The monitor answered the LOAD line with text of its own instead of '+'.
QString refusedText(const QByteArray& answer, const QByteArray& command);
// An image whose last byte would lie past FFFFFFFF.
QString wrapsText(uint32_t address, qint64 count);
// Received bytes made printable: control bytes and bytes above 0x7E as \xNN.
QString escapedBytes(const QByteArray& bytes);

// "LOAD rate address count" CR, each field as eight upper-case hex digits.
QByteArray loadCommand(uint32_t rate, uint32_t address, uint32_t count);
// The CRC report line shown in the terminal after a CPM68K load.
QByteArray crcReportLine(uint32_t address, uint32_t count, uint32_t crc);
// Upper bound of a progress bar stepped once per unit: size / unit + 1, but 1 when
// size / unit is exactly 1.
int progressUpperBound(qint64 size, int unit);
} // namespace monitor

class MonitorSession
{
public:
    struct Rates {
        uint32_t terminal = 9600;
        uint32_t download = 115200;
    };
    // Where the session's status lines go: the terminal views (or stdout).
    using TerminalText = std::function<void(const QByteArray& line)>;
    using SleepFunction = std::function<void(int ms)>;

    MonitorSession(MonitorLine& line, UserFeedback& feedback, Rates rates,
                   TerminalText showText = {}, LoadProgressFactory progress = {});

    // Who tells the user that the device went away: by default the session, at once;
    // a handler (the load commands) takes the reason instead, to report it once the
    // line's guards have let go of the port.
    using DeviceLossHandler = std::function<void(const QString& reason)>;
    void setDeviceLossHandler(DeviceLossHandler handler) { onDeviceLoss = std::move(handler); }

    void setTiming(const MonitorTiming& t) { timing = t; }
    const MonitorTiming& timeouts() const { return timing; }
    void setSleepFunction(SleepFunction sleep);

    // Primitives.
    int InputCount();
    // One byte as a signed 8-bit value, or -1 when none came within the read time-out.
    int ReadByte();
    bool SendByte(char byte);
    bool SendText(const char* text);
    int SendBytes(const char* bytes, int count); // the count written
    bool SetBaud(uint32_t rate);
    // The last byte received before the line stayed quiet for ms, or -1.
    int DrainInput(int ms);
    bool WaitMonitorPrompt();
    void ShowInTerminal(const QByteArray& line);

    // The conversations. Each one's failure has been told to the user (through
    // UserFeedback, or the device-loss handler) by the time it returns, and its
    // Outcome carries the same text. The line state is restored either way.

    // Sends count bytes to be stored at address.
    Outcome MonitorLoad(const char* data, qint64 count, uint32_t address);
    // Sends a .RUN or .APP image (see LoadImage.h for what is added); success when
    // the load and what follows it were sent.
    Outcome SendCpm68kImage(const QString& path);
    // "tom8", "lo ;3" and the 39 bytes at 57,600 baud; success when every check held.
    Outcome SendSRecordTail(const QByteArray& text);
    // A hex or S-record file through "tom8" and "lo ;B3+" at 57,600 baud, 8N1.
    Outcome SendHexFile(const QString& path);

    // True once the device has failed kDeviceGoneAfter times in a row.
    bool deviceGone() const { return gone; }

private:
    enum class Reply { Seen, Other, TimedOut, Cancelled, Refused };
    class TerminalRateOnExit;

    std::unique_ptr<LoadProgress> openProgress(const QString& title, const QString& text, int high);
    Outcome loadConversation(const char* data, qint64 count, uint32_t address, uint32_t rate,
                             LoadProgress& progress);
    void sendLoadCommand(uint32_t rate, uint32_t address, qint64 count);
    Reply awaitReply(char wanted, LoadProgress& progress, bool answerAmp);
    Reply awaitGoAhead(LoadProgress& progress);
    Outcome expectBlockRequest(qint64 remaining);
    Outcome sendBlock(const char* data, int n);
    void sendBlockEnd();
    Outcome hexConversation(class QFile& file, LoadProgress& progress);
    Outcome tailConversation(const QByteArray& text);
    Outcome closingPercent(const char* what);
    bool monitorPromptAfterTom8();
    bool percentAfterLo(const char* command);
    // A failure of the file before anything went on the line.
    Outcome refuseFile(const QString& text);
    // The conversation's end: a failure is told to the user, a lost device first
    // (then the Outcome names the loss).
    Outcome finish(const Outcome& outcome);
    // Success, unless the device went away (then told once).
    Outcome stillConnected();
    void setReadTimeouts(const ReadTimeouts& t);
    void discardQueuedInput();
    void noteIo(bool ok);
    void reportIfDeviceGone();
    void sleepFor(int ms) { sleep(ms); }

    MonitorLine& line;
    UserFeedback& feedback;
    Rates rates;
    TerminalText showText;
    LoadProgressFactory makeProgress;
    MonitorTiming timing;
    SleepFunction sleep;
    DeviceLossHandler onDeviceLoss;
    int failuresInRow = 0;
    bool gone = false;
    bool goneReported = false;
    QByteArray loadAnswer; // what the monitor said to the LOAD line, for a refusal
};
