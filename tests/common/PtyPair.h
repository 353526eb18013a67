// A pseudo-terminal pair that stands in for the serial cable in tests.
//
// The slave side is the "device" the code under test opens by path; the test drives
// the master side as the far end: it writes, reads, records byte arrival times, or
// floods the line from a thread. The pair keeps its own slave descriptor open so that
// the master stays usable while the code under test opens and closes the device.
#pragma once

#include <QByteArray>
#include <QString>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

class PtyPair
{
public:
    using Clock = std::chrono::steady_clock;
    struct Arrival {
        char byte;
        Clock::time_point at;
    };

    PtyPair();
    ~PtyPair();

    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    bool ok() const { return masterFd >= 0; }
    QString error() const { return problem; }
    QString slavePath() const { return slaveName; }
    int master() const { return masterFd; }
    // The helper's own descriptor of the slave, for looking at the line settings.
    int slave() const { return slaveFd; }

    // The far end goes away: the line hangs up and the slave's path disappears, as a
    // USB adapter that is unplugged.
    void closeMaster();

    // Far end writes all of data; false when it could not within timeoutMs.
    bool write(const QByteArray& data, int timeoutMs = 2000);
    // Far end reads until count bytes came or timeoutMs passed.
    QByteArray read(int count, int timeoutMs = 2000);
    // Far end reads whatever arrives within timeoutMs.
    QByteArray readFor(int timeoutMs);

    // Records every byte that reaches the far end, with its arrival time, until
    // stopRecording.
    void startRecording();
    std::vector<Arrival> stopRecording();

    // Keeps the far end sending until stopFlood; returns the bytes sent.
    void startFlood(int chunkSize = 256);
    long long stopFlood();

private:
    int masterFd = -1;
    int slaveFd = -1;
    QString slaveName;
    QString problem;

    std::thread worker;
    std::atomic<bool> stopWorker{false};
    std::mutex arrivalsMutex;
    std::vector<Arrival> arrivals;
    std::atomic<long long> floodSent{0};
};
