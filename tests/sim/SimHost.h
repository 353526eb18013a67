// A small serial host for the simulator tests: opens the link like a client
// program would (termios, raw), sets line formats, writes bytes and reads
// replies with time-outs.
#pragma once

#include "SimEngine.h"

#include <QByteArray>
#include <QString>
#include <QTemporaryDir>

#include <chrono>
#include <memory>

namespace simtest
{

class HostPort
{
public:
    ~HostPort() { close(); }
    bool open(const QString& path);
    void close();
    bool isOpen() const { return fd >= 0; }
    // Standard rates through termios; any other rate through termios2 (BOTHER).
    bool setLine(int baud, int dataBits, char parity, int stopBits);
    void write(const QByteArray& bytes);
    // Everything that arrives within ms.
    QByteArray readFor(int ms);
    // Exactly n bytes, or fewer on time-out.
    QByteArray readExactly(int n, int timeoutMs);
    // Up to and including the first occurrence of suffix, or what came before the time-out.
    QByteArray readUntil(const QByteArray& suffix, int timeoutMs);
    // Until the line has been quiet for quietMs (or maxMs in all).
    QByteArray readUntilQuiet(int quietMs, int maxMs);
    void flushInput();
    int handle() const { return fd; }

private:
    int fd = -1;
};

// Shortened waits so that tests of quiet-line rules do not wait seconds.
qx2sim::SimOptions fastOptions();

// An engine with a sample card and a host already on its link.
struct SimRig {
    QTemporaryDir dir;
    std::unique_ptr<qx2sim::SimEngine> engine;
    HostPort host;
    QString linkPath() const { return dir.path() + QStringLiteral("/link"); }
    // Starts the engine with opts (link and, when cardDir is empty, a sample
    // card filled here); opens the host at 9600 8N1 and reads the greeting.
    bool start(qx2sim::SimOptions opts, QByteArray* greeting = nullptr);
};

QByteArray fileBytes(const QString& path);

// The host's side of a block load, as the loader sends it.
QByteArray loadLine(quint32 rate, quint32 address, quint32 count);
QByteArray loadBlock(const QByteArray& data); // length, data, 00 00
QByteArray testPattern(int n, int seed);
// A correct host up to the data phase: LOAD line at 9600 8N1, reads the echo
// and '+', switches to 115200 8N2 and sends '+'. Returns what came after the
// '+' within 300 ms ('=' for a load with data).
QByteArray beginCorrectLoad(SimRig& rig, quint32 address, quint32 count);
qint64 msSince(std::chrono::steady_clock::time_point t);

} // namespace simtest
