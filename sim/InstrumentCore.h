// What the parts of the instrument share: the line they answer on (output
// gathered per piece of input, handshakes, the UART's rate), the conversation
// log and its violations, the card's current directory and the clock. Which
// part has the line is `active`; the parts hand it to one another.
#pragma once

#include "CardTree.h"
#include "InstrumentIo.h"
#include "LineSettings.h"
#include "MemoryModel.h"
#include "SimOptions.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace qx2sim
{

class CommandLine;
class CaptureText;
class BlockLoad;
class HexLoad;
class ProgramRun;
class LinkServer;

enum class SimMode { Console, Monitor, Skiffer };

// Who reads the host's bytes next.
enum class Activity { Line, Capture, BlockLoad, HexLoad, Program, Link };

class InstrumentCore
{
public:
    InstrumentCore(const SimOptions& options, CardTree* card, InstrumentIo* io);

    void out(const QByteArray& bytes);
    void outLine(const QString& text);
    void outAfter(int gapMs, const QByteArray& bytes);
    void flush();
    // Sends a handshake byte; the host may answer only once it is on the line.
    void handshake(char byte);
    void withholdHandshake(); // a handshake that never comes (faults)
    bool handshakeOnLine() const;
    // Drops bytes the host sent before the handshake it had to wait for;
    // returns how many of the n bytes were dropped (0 when it is on the line).
    int dropEarly(int n, const char* what);
    void switchUart(qint64 baud, const QString& why);
    qint64 uartBaud() const;
    void violation(const QString& text);
    void summary(const QString& text);
    void prompt();
    void note(const QString& text);
    QDateTime clock() const;
    void setClock(const QDateTime& value);

    const SimOptions options;
    CardTree* const card;
    InstrumentIo* const io;
    MemoryModel model;

    SimMode simMode = SimMode::Console;
    Activity active = Activity::Line;
    qint64 nowMs = 0;
    qint64 lastByteAt = 0;
    int responseGap = 0;        // --turnaround, owed by the first answer to a host message
    QByteArray pending;         // output gathered while handling one piece of input
    QString awaiting;           // the handshake the host must wait for, or empty
    QStringList convViolations; // of the conversation under way

    QStringList cwd; // current card directory (components)
    bool cwdValid = true;
    QString badDir;

    // The parts, for handing the line on.
    CommandLine* line = nullptr;
    CaptureText* capture = nullptr;
    BlockLoad* blockLoad = nullptr;
    HexLoad* hexLoad = nullptr;
    ProgramRun* program = nullptr;
    LinkServer* link = nullptr;

private:
    int takeGap();
    QString violationsField() const;
    QByteArray promptText() const;

    qint64 handshakeMark = 0;
    qint64 uartRate = 0;
    qint64 clockOffsetMs = 0; // instrument clock minus host UTC
};

// What a part of the instrument reaches through the core, with the core's
// services under their short names.
class InstrumentPart
{
public:
    explicit InstrumentPart(InstrumentCore& core)
        : core(core), options(core.options), io(core.io), card(core.card), model(core.model)
    {
    }
    virtual ~InstrumentPart() = default;
    InstrumentPart(const InstrumentPart&) = delete;
    InstrumentPart& operator=(const InstrumentPart&) = delete;

protected:
    void out(const QByteArray& bytes) { core.out(bytes); }
    void outLine(const QString& text) { core.outLine(text); }
    void outAfter(int gapMs, const QByteArray& bytes) { core.outAfter(gapMs, bytes); }
    void flush() { core.flush(); }
    void handshake(char byte) { core.handshake(byte); }
    int dropEarly(int n, const char* what) { return core.dropEarly(n, what); }
    void switchUart(qint64 baud, const QString& why) { core.switchUart(baud, why); }
    void violation(const QString& text) { core.violation(text); }
    void summary(const QString& text) { core.summary(text); }
    void prompt() { core.prompt(); }
    void note(const QString& text) { core.note(text); }
    QDateTime clock() const { return core.clock(); }

    InstrumentCore& core;
    const SimOptions& options;
    InstrumentIo* const io;
    CardTree* const card;
    MemoryModel& model;
};

// One thing the instrument simulates that can have the line (an Activity).
// consume() takes what belongs to it from the n bytes at p and returns how
// many (0: the first byte belongs to the part it has just handed the line to).
class ActivePart : public InstrumentPart
{
public:
    using InstrumentPart::InstrumentPart;

    virtual int consume(const char* p, int n) = 0;
    // Absolute time (ms) at which expire() is due while this part has the line, or -1.
    virtual qint64 deadline() const { return -1; }
    virtual void expire() {}
};

} // namespace qx2sim
