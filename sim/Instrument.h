// The simulated instrument: the Zelkon console, the boot monitor and the
// Skiffer link server. It is fed the bytes the host sent, in whatever pieces
// they arrive, and answers through InstrumentIo; it does no I/O and keeps no
// clock of its own, so it runs the same in-process and in the qx2sim program.
//
// Instrument is the dispatcher: it hands the bytes to whichever part has the
// line (InstrumentCore::active) and each part hands the line on when its
// conversation ends. The parts, each with its own state and the fault
// switches that change it:
//   CommandLine   the line editor and the commands console and monitor share,
//                 with ConsoleCommands and MonitorCommands for their own;
//   CaptureText   CAPTURE, text up to Ctrl-C stored as a file;
//   BlockLoad     the LOAD block conversation;
//   HexLoad       the monitor's "lo" S-record and hex downloads;
//   ProgramRun    a program started by G or GS;
//   LinkServer    the Skiffer link server.
// InstrumentCore holds what they share: output, handshakes, the UART's rate,
// the log and its violations, the card directory and the clock. The
// instrument also says at which rate its UART is (uartBaud), so the engine
// can garble bytes that cross at another rate.
#pragma once

#include "BlockLoad.h"
#include "CaptureText.h"
#include "CommandLine.h"
#include "HexLoad.h"
#include "InstrumentCore.h"
#include "InstrumentIo.h"
#include "LinkServer.h"
#include "ProgramRun.h"

#include <QByteArray>
#include <QDateTime>
#include <QStringList>

namespace qx2sim
{

class Instrument
{
public:
    Instrument(const SimOptions& options, CardTree* card, InstrumentIo* io);

    // Shows the console prompt, or starts the link server with --skiffer.
    void start(qint64 nowMs);
    void receive(const QByteArray& bytes, qint64 nowMs);
    // Absolute time (ms) at which tick() has something to do, or -1.
    qint64 deadline() const;
    void tick(qint64 nowMs);

    SimMode mode() const { return core.simMode; }
    QStringList currentDirectory() const { return core.cwd; }
    const MemoryModel& memory() const { return core.model; }
    // The instrument's wall clock (set by DATE and tdate), kept as UTC.
    QDateTime clock() const { return core.clock(); }

    // The rate the instrument's UART is at (0: the USB link, any rate goes;
    // also 0 with --lenient).
    qint64 uartBaud() const { return core.uartBaud(); }
    // A second rate the UART still takes from the host, or 0: after a lo
    // download the line end of the last record may trail the rate switch.
    qint64 uartTrailingBaud() const;
    // False while the instrument has stopped reading the line (--upload-stall-after).
    bool wantsInput() const { return heldInput.isEmpty() && !link.stalled(); }
    // A breach seen by the line itself (bytes at the wrong rate).
    void lineViolation(const QString& text) { core.violation(text); }
    // The log's closing line for the whole run.
    void finishSession();

private:
    void feed(const QByteArray& bytes);
    ActivePart& activePart();
    const ActivePart& activePart() const;

    InstrumentCore core;
    CommandLine line;
    CaptureText capture;
    BlockLoad blockLoad;
    HexLoad hexLoad;
    ProgramRun program;
    LinkServer link;
    QByteArray heldInput; // read while the instrument had stopped reading
};

} // namespace qx2sim
