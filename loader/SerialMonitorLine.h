// MonitorLine over the terminal's SerialPort (the comm thread stopped by the
// caller). The snapshot is a LineStateGuard; low latency is the serial driver's
// ASYNC_LOW_LATENCY flag (TIOCGSERIAL/TIOCSSERIAL), which USB serial drivers turn
// into a 1 ms latency timer. A pty has no such ioctl: that refusal is silent.
#pragma once

#include "MonitorLine.h"

class SerialPort;

class SerialMonitorLine : public MonitorLine
{
public:
    explicit SerialMonitorLine(SerialPort& port) : port(port) {}

    int inputCount() override;
    int read(char* buffer, int count) override;
    int write(const char* bytes, int count) override;
    void waitUntilSent() override;
    void farEndHasAll() override;
    bool setBaudRate(uint32_t rate) override;
    bool setLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits) override;
    bool setReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) override;
    bool setWriteTimeouts(uint32_t multiplier, uint32_t constant) override;
    std::unique_ptr<LineRestorer> saveLineState() override;
    std::unique_ptr<LineRestorer> lowLatency() override;
    bool deviceFailed() const override;
    bool deviceGone() const override;
    QString failureText() const override;

private:
    SerialPort& port;
};

// The driver's low-latency flag of an open serial descriptor: set while the object
// lives, the previous setting put back afterwards. Silent where the driver refuses.
class LowLatencyGuard : public LineRestorer
{
public:
    explicit LowLatencyGuard(int fd);
    ~LowLatencyGuard() override;
    // True when the flag was switched on by this guard.
    bool engaged() const { return changed; }

private:
    int fd;
    bool changed = false;
};
