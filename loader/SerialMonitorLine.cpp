#include "SerialMonitorLine.h"

#include "LineStateGuard.h"
#include "SerialPort.h"

#include <linux/serial.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace
{

class SavedLineState : public LineRestorer
{
public:
    explicit SavedLineState(SerialPort& port) : guard(port) {}

private:
    LineStateGuard guard;
};

} // namespace

int SerialMonitorLine::inputCount()
{
    CommStatus status;
    if (!port.ClearErrors(&status))
        return 0;
    return int(status.cbInQue);
}

int SerialMonitorLine::read(char* buffer, int count)
{
    return port.Read(buffer, count, true);
}

int SerialMonitorLine::write(const char* bytes, int count)
{
    return port.Write(bytes, count);
}

void SerialMonitorLine::waitUntilSent()
{
    port.WaitLineIdle();
}

void SerialMonitorLine::farEndHasAll()
{
    port.NoteFarEndHasAll();
}

bool SerialMonitorLine::setBaudRate(uint32_t rate)
{
    return port.SetBaudRate(rate);
}

bool SerialMonitorLine::setLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits)
{
    return port.SetLineFormat(parity, byteSize, stopBits);
}

bool SerialMonitorLine::setReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant)
{
    return port.SetReadTimeouts(interval, multiplier, constant);
}

bool SerialMonitorLine::setWriteTimeouts(uint32_t multiplier, uint32_t constant)
{
    return port.SetWriteTimeouts(multiplier, constant);
}

std::unique_ptr<LineRestorer> SerialMonitorLine::saveLineState()
{
    return std::make_unique<SavedLineState>(port);
}

std::unique_ptr<LineRestorer> SerialMonitorLine::lowLatency()
{
    return std::make_unique<LowLatencyGuard>(port.descriptor());
}

bool SerialMonitorLine::deviceFailed() const
{
    return port.lineGone() || (port.lastError() != 0 && !port.lastIoTimedOut());
}

bool SerialMonitorLine::deviceGone() const
{
    return port.lineGone();
}

QString SerialMonitorLine::failureText() const
{
    // The steps that put the line back after a loss clear the last error again; the
    // loss itself is still the reason.
    const QString text = port.lastErrorText();
    if (text.isEmpty() && port.lineGone())
        return SerialPort::errorText(EIO);
    return text;
}

LowLatencyGuard::LowLatencyGuard(int fd) : fd(fd)
{
    struct serial_struct info {
    };
    if (fd < 0 || ::ioctl(fd, TIOCGSERIAL, &info) != 0)
        return; // not a serial driver (a pty): carry on without
    if (info.flags & ASYNC_LOW_LATENCY)
        return; // already on: nothing to put back
    info.flags |= ASYNC_LOW_LATENCY;
    changed = ::ioctl(fd, TIOCSSERIAL, &info) == 0;
}

LowLatencyGuard::~LowLatencyGuard()
{
    if (!changed)
        return;
    struct serial_struct info {
    };
    // A device that went away keeps nothing to put back: ignored on purpose.
    if (::ioctl(fd, TIOCGSERIAL, &info) == 0) {
        info.flags &= ~ASYNC_LOW_LATENCY;
        ::ioctl(fd, TIOCSSERIAL, &info);
    }
}
