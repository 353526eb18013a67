// Opening and closing a port: the backend for the name's kind (a device path or an
// rfc2217:// address), then the defaults.
#include "SerialPort.h"

#include "LineBackend.h"
#include "RemoteLine.h"
#include "RemotePortUrl.h"
#include "TtyLine.h"

#include <cerrno>
#include <sys/eventfd.h>
#include <unistd.h>

SerialPort::SerialPort() = default;

SerialPort::SerialPort(const QString& dev) : device(dev)
{
    setLastError(0);
    int error = 0;
    if (RemotePortUrl::isRemote(device)) {
        auto remote = std::make_unique<RemoteLine>();
        error = remote->open(device);
        line = std::move(remote);
    } else {
        auto tty = std::make_unique<TtyLine>();
        error = tty->open(device);
        line = std::move(tty);
    }
    if (error != 0) {
        setLastError(error);
        return;
    }
    fd = line->descriptor();
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        setLastError(errno);
        return;
    }
    line->readState(remembered, &remembered);
    setLastError(applyDefaults());
}

uint32_t SerialPort::applyDefaults()
{
    // In this order. The first failure is what last error keeps, since the steps after
    // it clear it again.
    uint32_t firstFailure = 0;
    auto step = [&](bool ok) {
        if (!ok && firstFailure == 0)
            firstFailure = lastError() ? lastError() : EIO;
    };
    step(SetBaudRate(9600));
    step(SetLineFormat(kNoParity, 8, kOneStopBit));
    step(SetFlowControl(kFlowCtsRts | kFlowDsrDtr, 100, 100, ascii::kXon, ascii::kXoff));
    step(SetQueueSizes(4096, 4096));
    step(SetReadTimeouts(kMaxDword, 0, 0));
    step(SetWriteTimeouts(0, 1000));
    step(SetEventMask(kEvRxChar));
    step(Purge());
    return firstFailure;
}

SerialPort::~SerialPort()
{
    if (fd >= 0) {
        StopReader();
        Purge();
        fd = -1;
    }
    line.reset(); // closes the device and releases its locks
    if (wakeFd >= 0)
        ::close(wakeFd);
}
