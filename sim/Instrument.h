// The simulated instrument: one state machine for the Zelkon console, the
// boot monitor and the Skiffer link server. It is fed the bytes the host sent,
// in whatever pieces they arrive, and answers through InstrumentIo; it does no
// I/O and keeps no clock of its own, so it runs the same in-process and in
// the qx2sim program.
//
// Console and monitor share a line editor (echo, BS, Ctrl-C). A LOAD command
// in either starts the block conversation: '+', the host's '+', then per block
// '=' (none after the last), two length bytes, the data and 0x00 0x00, until a
// zero length; then '&'s if asked and '-'. A "lo" command in the monitor
// answers '%', takes S-record or hex text until an end record (or quiet), and
// answers '%' again; the host's own '%' then closes it. The link server takes
// single-letter commands ended by LF: c (change directory), d (list), tdate,
// s (send a file), a (abort a send), r (receive a file of a given length).
//
// Strict as the real monitor: an inexact LOAD line, bytes sent before a
// handshake ('+', '=', '%', '&') has reached the line, a wrong block length or
// trailer, a doubled answer to '&', a CR in a link command, a loose tdate
// text are refused or lost and recorded as violations. The instrument also
// says at which rate its UART is (uartBaud), so the engine can garble bytes
// that cross at another rate.
#pragma once

#include "CardTree.h"
#include "LineSettings.h"
#include "MemoryModel.h"
#include "SimOptions.h"

#include <QByteArray>
#include <QDateTime>
#include <QSaveFile>
#include <QString>
#include <QStringList>

#include <memory>

namespace qx2sim
{

class InstrumentIo
{
public:
    virtual ~InstrumentIo() = default;
    // Queue bytes for the host, gapMs after everything queued before has gone.
    // uartBaud is the instrument's rate for them (0: a link that has no rate).
    virtual void send(const QByteArray& bytes, int gapMs, qint64 uartBaud) = 0;
    // Drop every byte queued and not yet on the line (the host aborted a send).
    virtual void discardPendingOutput() = 0;
    // Bytes ever queued, and bytes ever written to the line or dropped: the
    // host can have seen a byte only once sentTotal has passed it.
    virtual qint64 queuedTotal() const = 0;
    virtual qint64 sentTotal() const = 0;
    // The line settings the client has set, read at the moment of the call.
    virtual LineSettings lineSettings() = 0;
    // One line for the conversation log.
    virtual void event(const QString& text) = 0;
};

enum class SimMode { Console, Monitor, Skiffer };

class Instrument
{
public:
    Instrument(const SimOptions& options, CardTree* card, InstrumentIo* io);
    ~Instrument();

    // Shows the console prompt, or starts the link server with --skiffer.
    void start(qint64 nowMs);
    void receive(const QByteArray& bytes, qint64 nowMs);
    // Absolute time (ms) at which tick() has something to do, or -1.
    qint64 deadline() const;
    void tick(qint64 nowMs);

    SimMode mode() const { return simMode; }
    QStringList currentDirectory() const { return cwd; }
    const MemoryModel& memory() const { return model; }
    // The instrument's wall clock (set by DATE and tdate), kept as UTC.
    QDateTime clock() const;

    // The rate the instrument's UART is at (0: the USB link, any rate goes;
    // also 0 with --lenient).
    qint64 uartBaud() const;
    // A second rate the UART still takes from the host, or 0: after a lo
    // download the line end of the last record may trail the rate switch.
    qint64 uartTrailingBaud() const;
    // False while the instrument has stopped reading the line (--upload-stall-after).
    bool wantsInput() const { return heldInput.isEmpty() && !uploadStalled; }
    // A breach seen by the line itself (bytes at the wrong rate).
    void lineViolation(const QString& text) { violation(text); }
    // The log's closing line for the whole run.
    void finishSession();

private:
    enum class Phase {
        Line,
        Capture,
        LoadHostPlus,
        LoadLenHi,
        LoadLenLo,
        LoadData,
        LoadTrailer,
        LoadAmpAnswer,
        HexData,
        HexClosing,
        LoadFailedDrain,
        ProgramRunning,
        SkIdle,
        SkLine,
        SkUploadData,
    };

    void feed(const QByteArray& bytes);
    qint64 phaseDeadline() const;
    int consume(const char* p, int n);
    void lineByte(unsigned char c);
    void echo(const QByteArray& bytes);
    void executeLine(const QString& line, bool odd);
    bool commonCommand(const QString& cmd, const QStringList& args, const QString& line);
    bool consoleCommand(const QString& cmd, const QStringList& args);
    bool monitorCommand(const QString& cmd, const QStringList& args, const QString& line);

    void out(const QByteArray& bytes);
    void outLine(const QString& text);
    void outAfter(int gapMs, const QByteArray& bytes);
    void flush();
    int takeGap();
    // Sends a handshake byte; the host may answer only once it is on the line.
    void handshake(char byte);
    void withholdHandshake(); // a handshake that never comes (faults)
    bool handshakeOnLine() const;
    // Drops bytes the host sent before the handshake it had to wait for;
    // returns how many of p[0..n) were dropped (0 when it is on the line).
    int dropEarly(int n, const char* what);
    void switchUart(qint64 baud, const QString& why);
    void violation(const QString& text);
    QString violationsField() const;
    void summary(const QString& text);
    void prompt();
    QByteArray promptText() const;
    void note(const QString& text);

    // Block loader.
    void startLoad(const QString& line, const QStringList& args);
    void requestBlock();
    void takeBlockLength();
    bool exactLoadLine(const QString& rawLine) const;
    void finishLoad();
    void sendMinus();
    void loadSummary();
    void abandonLoad(const QString& why);
    void failLoad(const QString& why);
    void saveLoad(const LoadRecord& rec);

    // Programs.
    void runProgram(const QString& how, const QString& name, quint32 address, bool haveAddress);

    // Hex / S-record download.
    void startHex(const QString& line);
    void hexLine(const QByteArray& line);
    void applyHexRecord(const HexRecord& r);
    void finishHex(const QString& why);

    // Console.
    void startCapture(const QStringList& args);
    void finishCapture();
    bool setClockFromDate(const QStringList& args);
    void printDirectory(const QStringList& args);
    void typeFile(const QStringList& args);

    // Link server.
    void startSkiffer();
    void skifferByte(unsigned char c);
    void skifferCommand(char cmd, const QByteArray& arg);
    void sendLinkText(int delayMs, const QByteArray& text);
    void skifferChangeDir(const QString& path);
    void skifferList();
    void skifferTdate(const QString& text);
    void skifferSend(const QString& name);
    void growFile(const QString& hostPath);
    void skifferReceive(const QByteArray& request);
    void finishUpload();
    void discardUpload(const QString& why);
    void restoreUploadFolderTime();

    bool storeFile(const QString& name, const QByteArray& bytes, QString* cardPath, QString* why);

    SimOptions options;
    CardTree* card;
    InstrumentIo* io;
    MemoryModel model;

    SimMode simMode = SimMode::Console;
    Phase phase = Phase::Line;
    qint64 lastByteAt = 0;
    qint64 nowMs = 0;
    QByteArray pending;  // output gathered while handling one piece of input
    int responseGap = 0; // --turnaround, owed by the first answer to a host message
    qint64 handshakeMark = 0;
    QString awaiting; // the handshake the host must wait for, or empty
    qint64 uartRate = 0;
    QStringList convViolations; // of the conversation under way
    qint64 wakeCrs = 0;         // CRs of the current wake-up (--answer-on-cr)
    bool lineOdd = false;       // the line held a byte that is no part of a command
    QByteArray heldInput;       // read while the instrument had stopped reading

    QString lineBuffer;
    bool afterLoad = false; // a lone 'G' now starts the program
    bool haveProgram = false;
    quint32 programAddress = 0;

    QStringList cwd; // current card directory (components)
    bool cwdValid = true;
    QString badDir;

    qint64 clockOffsetMs = 0; // instrument clock minus host UTC

    // LOAD in progress.
    LoadRecord load;
    quint32 loadReceived = 0;
    int blockLength = 0;
    int blockRemaining = 0;
    int trailerSeen = 0;
    int ampLeft = 0;
    bool ampUsed = false;
    qint64 ampGuardUntil = -1;
    qint64 summaryDue = -1; // the LOAD summary waits for late doubled '&' answers
    QString failReason;

    // CAPTURE in progress.
    QString captureName;
    QString captureOptions;
    QByteArray captureData;

    // lo download in progress.
    HexLoadRecord hex;
    QByteArray hexLineBuffer;
    quint32 hexUpper = 0; // Intel extended address

    // Link server.
    char skCommand = 0;
    QByteArray skLine;
    std::unique_ptr<QSaveFile> upload;
    QString uploadCardPath;
    QString uploadFolder;
    QDateTime uploadFolderStamp;
    qint64 uploadAnnounced = 0;
    qint64 uploadRemaining = 0;
    qint64 uploadReceived = 0;
    bool uploadKeep = false;
    bool uploadStalled = false;
    bool uploadTextSent = false;
    LineSettings uploadSettings;
};

} // namespace qx2sim
