// Runs the simulated instrument on a pseudo-terminal: creates the pty, keeps
// its slave side open (so the master never sees a hang-up while a client
// closes and reopens the device), links PATH to the slave device, and drives
// the Instrument from one worker thread that polls the master. That thread
// also paces both directions for --line-rate, turns bytes that cross at a
// rate other than the instrument's into garbage, makes the device vanish and
// come back for those faults, and writes the conversation log.
//
// Tests use it in-process: start(), talk to linkPath() or deviceName() like a
// serial port, then read memory() for what the instrument received.
#pragma once

#include "Instrument.h"
#include "MemoryModel.h"
#include "SimLog.h"
#include "SimOptions.h"

#include <QString>
#include <QTemporaryDir>

#include <atomic>
#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

namespace qx2sim
{

class SimEngine
{
public:
    explicit SimEngine(const SimOptions& options);
    ~SimEngine();
    SimEngine(const SimEngine&) = delete;
    SimEngine& operator=(const SimEngine&) = delete;

    // Sets everything up and starts serving. False with a message for the user;
    // nothing is left behind on failure.
    bool start(QString* error);
    // Stops serving, removes the link, releases the pty. Safe to call twice.
    void stop();

    // The device now serving (a new one after --come-back).
    QString deviceName() const;
    QString linkPath() const { return options.linkPath; }
    QString cardRoot() const { return card.root(); }

    // Snapshots, taken under the engine's lock.
    MemoryModel memory() const;
    SimMode mode() const;
    QStringList currentDirectory() const;
    QDateTime clock() const;
    LineSettings lineSettings() const;

    // Polls memory() until pred holds; false after timeoutMs.
    bool waitUntil(const std::function<bool(const MemoryModel&)>& pred, int timeoutMs) const;
    // True once every byte the instrument queued has been written to the line.
    bool outputIdle() const;

private:
    class Io;
    struct Segment {
        QByteArray bytes;
        int offset = 0; // bytes already taken; a big file is never copied per piece
        int gapMs = 0;
        qint64 baud = 0; // the instrument's rate while sending them
        bool started = false;
        qint64 notBeforeUs = 0;
    };

    bool openDevice(QString* error);
    bool makeLink(QString* error);
    void removeLink();
    void vanish(qint64 now);
    void comeBack(qint64 now);
    void run();
    void wake();
    qint64 nowUs() const;
    void pumpOutput(qint64 now, qint64* nextUs, bool* wantWritable);
    void deliver(const QByteArray& bytes, qint64 now);
    // Bytes that cross while the client's line differs from the instrument's
    // rate arrive as garbage; the start of each such stretch is logged, and
    // counts as a violation when the host sent it.
    bool lineMatches(const LineSettings& host, qint64 uartBaud) const;
    void noteMismatch(bool* inStretch, bool matches, bool fromHost, const QString& text);
    void logChunk(LogRecord::Kind kind, const QByteArray& bytes, qint64 now);
    // Microseconds that bytes occupy the line at --line-rate and the client's format.
    qint64 lineTimeUs(qint64 bytes) const;
    int pacedChunk() const;

    SimOptions options;
    CardTree card;
    std::unique_ptr<QTemporaryDir> sampleDir;
    std::unique_ptr<Io> io;
    std::unique_ptr<Instrument> instrument;
    LogWriter log;

    QString device;
    bool linkMade = false;
    int linkLockFd = -1; // flock held beside the link while this instrument runs
    int masterFd = -1;
    int slaveFd = -1;
    int wakeRead = -1;
    int wakeWrite = -1;

    std::chrono::steady_clock::time_point t0;
    std::thread worker;
    std::atomic<bool> stopping{false};
    bool running = false;

    mutable std::mutex mutex; // instrument, output queue
    std::deque<Segment> queue;
    QByteArray txChunk; // taken from the queue, not yet written
    qint64 txBaud = 0;
    qint64 queuedTotal = 0; // bytes ever queued by the instrument
    qint64 sentTotal = 0;   // bytes ever written to the line or dropped
    qint64 receivedTotal = 0;
    bool rxGarbage = false; // within a stretch of bytes at the wrong rate
    bool txGarbage = false;
    bool vanished = false;
    qint64 comeBackAtUs = -1;
    qint64 txDueUs = 0;
    qint64 outFreeUs = 0; // when the paced line is free for the next output byte
    qint64 inFreeUs = 0;
    QByteArray rxHeld; // read, waiting for its paced arrival time
    qint64 rxDueUs = 0;
};

} // namespace qx2sim
