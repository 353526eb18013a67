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
    virtual void send(const QByteArray& bytes, int gapMs) = 0;
    // Drop every byte queued and not yet on the line (the host aborted a send).
    virtual void discardPendingOutput() = 0;
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
        SkIdle,
        SkLine,
        SkUploadData,
    };

    int consume(const char* p, int n);
    void lineByte(unsigned char c);
    void executeLine(const QString& line);
    bool commonCommand(const QString& cmd, const QStringList& args, const QString& line);
    bool consoleCommand(const QString& cmd, const QStringList& args);
    bool monitorCommand(const QString& cmd, const QStringList& args, const QString& line);

    void out(const QByteArray& bytes);
    void outLine(const QString& text);
    void outAfter(int gapMs, const QByteArray& bytes);
    void flush();
    void prompt();
    QByteArray promptText() const;
    void note(const QString& text);

    // Block loader.
    void startLoad(const QString& line, const QStringList& args);
    void requestBlock();
    void finishLoad();
    void sendMinus();
    void abandonLoad(const QString& why);

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
    void skifferChangeDir(const QString& path);
    void skifferList();
    void skifferTdate(const QString& text);
    void skifferSend(const QString& name);
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
    QByteArray pending; // output gathered while handling one piece of input

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
    LineSettings uploadSettings;
};

} // namespace qx2sim
