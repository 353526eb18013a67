// TtyLine: a local serial device (a path such as /dev/ttyUSB0) under SerialPort.
//
// Opening takes the port exclusively: the UUCP lock file and the advisory flock of
// PortLock, which every serial program honours, plus TIOCEXCL; then raw mode. The line
// settings are termios (termios2 for rates without a Bxxx code); line errors come from
// TIOCGICOUNT where the driver counts them.
#pragma once

#include "LineBackend.h"
#include "PortLock.h"

#include <memory>
#include <mutex>

class TtyLine : public LineBackend
{
public:
    // Opens device; 0 or the errno that refused it (EBUSY with busyText() when another
    // program holds it). On failure nothing stays open or locked.
    int open(const QString& device);
    ~TtyLine() override { close(); }

    int descriptor() const override { return fd; }
    int applyState(const CommState& state, SerialPort::LineFlags* asked) override;
    int readState(const CommState& remembered, CommState* state) override;
    bool modemLines(uint32_t* lines) override;
    bool switchModemLine(bool dtr, bool on) override;
    int setBreak(bool on) override;
    int purge(bool outputOnly) override;
    uint32_t takeLineErrors() override;
    int unsentOutput() override;
    QString busyText() const override { return busy; }
    void close() override;

private:
    int fd = -1;
    std::unique_ptr<PortLock> portLock;
    QString busy;
    // Line error counters at the last look (TIOCGICOUNT), when the driver has them.
    struct Counters {
        int overrun = 0, parity = 0, frame = 0, brk = 0, bufOverrun = 0;
    };
    Counters lastCounters;
    bool haveCounters = false;
    std::mutex countersMutex;
};
