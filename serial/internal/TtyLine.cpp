#include "TtyLine.h"

#include "SerialTermios2.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace
{

struct SpeedEntry {
    uint32_t rate;
    speed_t code;
};

const SpeedEntry kStandardSpeeds[] = {
    {50, B50},           {75, B75},           {110, B110},         {134, B134},
    {150, B150},         {200, B200},         {300, B300},         {600, B600},
    {1200, B1200},       {1800, B1800},       {2400, B2400},       {4800, B4800},
    {9600, B9600},       {19200, B19200},     {38400, B38400},     {57600, B57600},
    {115200, B115200},   {230400, B230400},   {460800, B460800},   {500000, B500000},
    {576000, B576000},   {921600, B921600},   {1000000, B1000000}, {1152000, B1152000},
    {1500000, B1500000}, {2000000, B2000000}, {2500000, B2500000}, {3000000, B3000000},
    {3500000, B3500000}, {4000000, B4000000},
};

bool standardSpeedCode(uint32_t rate, speed_t* code)
{
    for (const SpeedEntry& entry : kStandardSpeeds) {
        if (entry.rate == rate) {
            *code = entry.code;
            return true;
        }
    }
    return false;
}

uint32_t rateOfSpeedCode(speed_t code)
{
    for (const SpeedEntry& entry : kStandardSpeeds) {
        if (entry.code == code)
            return entry.rate;
    }
    return 0;
}

} // namespace

int TtyLine::open(const QString& device)
{
    const QByteArray path = QFile::encodeName(device);
    if (path.isEmpty())
        return ENOENT;
    // The lock file first: a port that another program holds is not even opened, so
    // that nothing of ours (a purge, a new rate) touches its line.
    portLock = std::make_unique<PortLock>(device);
    if (!portLock->takeFile()) {
        busy = portLock->busyText();
        portLock.reset();
        return EBUSY;
    }
    const int handle = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int error = errno;
        portLock.reset();
        return error;
    }
    auto refuse = [&](int error) {
        ::close(handle);
        portLock.reset();
        return error;
    };
    if (!::isatty(handle))
        return refuse(ENOTTY);
    // TIOCEXCL keeps other users out, but not root; the advisory lock covers everyone
    // who asks, our own second object included.
    if (!portLock->lockDevice(handle)) {
        busy = portLock->busyText();
        return refuse(EBUSY);
    }
    if (::ioctl(handle, TIOCEXCL) != 0)
        return refuse(errno);

    struct termios tio {
    };
    if (::tcgetattr(handle, &tio) != 0)
        return refuse(errno);
    ::cfmakeraw(&tio);
    tio.c_cflag |= CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK);
    tio.c_cc[VMIN] = 1;
    tio.c_cc[VTIME] = 0;
    if (::tcsetattr(handle, TCSANOW, &tio) != 0)
        return refuse(errno);
    fd = handle;
    return 0;
}

void TtyLine::close()
{
    if (fd >= 0) {
        ::ioctl(fd, TIOCNXCL); // the exclusive flag outlives us while others hold the tty
        ::close(fd);           // releases the advisory lock
        fd = -1;
    }
    portLock.reset(); // and the lock file
}

int TtyLine::readState(const CommState& remembered, CommState* state)
{
    struct termios tio {
    };
    if (::tcgetattr(fd, &tio) != 0)
        return errno;
    CommState s = remembered; // what Linux keeps nowhere
    uint32_t rate = 0;
    if (!readActualBaudRate(fd, &rate))
        rate = rateOfSpeedCode(::cfgetospeed(&tio));
    s.baudRate = rate;
    switch (tio.c_cflag & CSIZE) {
    case CS5:
        s.byteSize = 5;
        break;
    case CS6:
        s.byteSize = 6;
        break;
    case CS7:
        s.byteSize = 7;
        break;
    default:
        s.byteSize = 8;
        break;
    }
    if (!(tio.c_cflag & PARENB))
        s.parity = kNoParity;
    else if (tio.c_cflag & CMSPAR)
        s.parity = (tio.c_cflag & PARODD) ? kMarkParity : kSpaceParity;
    else
        s.parity = (tio.c_cflag & PARODD) ? kOddParity : kEvenParity;
    if (!(tio.c_cflag & CSTOPB))
        s.stopBits = kOneStopBit;
    else
        s.stopBits = remembered.stopBits == kOne5StopBits ? kOne5StopBits : kTwoStopBits;
    const bool rtscts = (tio.c_cflag & CRTSCTS) != 0;
    s.fOutxCtsFlow = rtscts;
    if (rtscts)
        s.rtsControl = kControlHandshake;
    else if (s.rtsControl == kControlHandshake)
        s.rtsControl = kControlEnable;
    s.fOutX = (tio.c_iflag & IXON) != 0;
    s.fInX = (tio.c_iflag & IXOFF) != 0;
    s.xonChar = static_cast<char>(tio.c_cc[VSTART]);
    s.xoffChar = static_cast<char>(tio.c_cc[VSTOP]);
    *state = s;
    return 0;
}

int TtyLine::applyState(const CommState& s, SerialPort::LineFlags* asked)
{
    struct termios tio {
    };
    if (::tcgetattr(fd, &tio) != 0)
        return errno;
    static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
    tio.c_cflag |= kSizes[s.byteSize - 5] | CLOCAL | CREAD;
    switch (s.parity) {
    case kOddParity:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case kEvenParity:
        tio.c_cflag |= PARENB;
        break;
    case kMarkParity:
        tio.c_cflag |= PARENB | CMSPAR | PARODD;
        break;
    case kSpaceParity:
        tio.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    if (s.stopBits != kOneStopBit)
        tio.c_cflag |= CSTOPB;
    // Linux has one switch for both directions of the CTS/RTS handshake.
    const bool rtscts = s.fOutxCtsFlow || s.rtsControl == kControlHandshake;
    if (rtscts)
        tio.c_cflag |= CRTSCTS;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY | INPCK | IGNPAR | PARMRK | ISTRIP);
    if (s.fOutX)
        tio.c_iflag |= IXON;
    if (s.fInX)
        tio.c_iflag |= IXOFF;
    if (s.fParity && s.parity != kNoParity)
        tio.c_iflag |= INPCK;
    tio.c_cc[VSTART] = static_cast<cc_t>(s.xonChar);
    tio.c_cc[VSTOP] = static_cast<cc_t>(s.xoffChar);

    speed_t code = B0;
    const bool standard = standardSpeedCode(s.baudRate, &code);
    if (standard) {
        ::cfsetispeed(&tio, code);
        ::cfsetospeed(&tio, code);
    }
    if (::tcsetattr(fd, TCSANOW, &tio) != 0)
        return errno;
    *asked = SerialPort::LineFlags{uint32_t(tio.c_cflag), uint32_t(tio.c_iflag)};
    if (!standard) {
        int error = 0;
        if (!setArbitraryBaudRate(fd, s.baudRate, &error))
            return error;
    }
    // No DSR/DTR handshake on Linux: DTR stays asserted unless it is switched off.
    // Failures ignored on purpose: a device without modem lines (a pty, some USB
    // bridges) still carries data.
    switchModemLine(true, s.dtrControl != kControlDisable);
    if (!rtscts)
        switchModemLine(false, s.rtsControl != kControlDisable);
    return 0;
}

bool TtyLine::modemLines(uint32_t* lines)
{
    int bits = 0;
    if (fd < 0 || ::ioctl(fd, TIOCMGET, &bits) != 0)
        return false;
    *lines = ((bits & TIOCM_CTS) ? kMsCtsOn : 0) | ((bits & TIOCM_DSR) ? kMsDsrOn : 0) |
             ((bits & TIOCM_RI) ? kMsRingOn : 0) | ((bits & TIOCM_CD) ? kMsRlsdOn : 0);
    return true;
}

bool TtyLine::switchModemLine(bool dtr, bool on)
{
    int line = dtr ? TIOCM_DTR : TIOCM_RTS;
    return fd >= 0 && ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

int TtyLine::setBreak(bool on)
{
    return ::ioctl(fd, on ? TIOCSBRK : TIOCCBRK) == 0 ? 0 : errno;
}

int TtyLine::purge(bool outputOnly)
{
    return ::tcflush(fd, outputOnly ? TCOFLUSH : TCIOFLUSH) == 0 ? 0 : errno;
}

uint32_t TtyLine::takeLineErrors()
{
    // Drivers that count line errors report them through TIOCGICOUNT; the flags are
    // what changed since the last look. Ptys and many USB adapters count nothing.
    struct serial_icounter_struct counts {
    };
    if (::ioctl(fd, TIOCGICOUNT, &counts) != 0)
        return 0;
    std::lock_guard<std::mutex> lock(countersMutex);
    Counters now;
    now.overrun = counts.overrun;
    now.parity = counts.parity;
    now.frame = counts.frame;
    now.brk = counts.brk;
    now.bufOverrun = counts.buf_overrun;
    uint32_t flags = 0;
    if (haveCounters) {
        if (now.overrun != lastCounters.overrun)
            flags |= kCeOverrun;
        if (now.parity != lastCounters.parity)
            flags |= kCeRxParity;
        if (now.frame != lastCounters.frame)
            flags |= kCeFrame;
        if (now.brk != lastCounters.brk)
            flags |= kCeBreak;
        if (now.bufOverrun != lastCounters.bufOverrun)
            flags |= kCeRxOver;
    }
    lastCounters = now;
    haveCounters = true;
    return flags;
}

int TtyLine::unsentOutput()
{
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0; // a driver that cannot tell is taken as drained
    return queued;
}
