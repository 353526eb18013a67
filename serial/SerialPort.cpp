#include "SerialPort.h"

#include "SerialTermios2.h"

#include <QFile>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <system_error>
#include <termios.h>
#include <unistd.h>

namespace
{

using Clock = std::chrono::steady_clock;

// Beyond the computed line time: clock granularity and a bit of the adapter's own
// timing. Small, since every change of rate waits for it.
constexpr auto kLineTimeMargin = std::chrono::milliseconds(3);
// The longest wait for the driver's queue to empty before a change: a line stopped by
// flow control must not hang the program.
constexpr auto kDrainLimit = std::chrono::seconds(10);

// How often a finished write looks whether the driver has sent everything; a byte
// takes about 1 ms at 9600 baud.
constexpr auto kDrainStep = std::chrono::milliseconds(1);

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

// Milliseconds left until deadline, at least 0, rounded up so that poll does not wake early.
int millisecondsUntil(Clock::time_point deadline)
{
    const auto left = deadline - Clock::now();
    if (left <= Clock::duration::zero())
        return 0;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    return static_cast<int>(std::min<long long>(ms, 0x7FFFFFFF));
}

} // namespace

SerialPort::SerialPort() = default;

SerialPort::SerialPort(const QString& dev) : device(dev)
{
    setLastError(0);
    if (!openDevice())
        return;
    wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFd < 0) {
        setLastError(errno);
        return;
    }
    readState(&remembered);

    // The defaults, in this order. The first failure is what last error keeps, since
    // the steps after it clear it again.
    uint32_t firstFailure = 0;
    auto step = [&](bool ok) {
        if (!ok && firstFailure == 0)
            firstFailure = lastError() ? lastError() : EIO;
    };
    step(SetBaudRate(9600));
    step(SetLineFormat(kNoParity, 8, kOneStopBit));
    step(SetFlowControl(kFlowCtsRts | kFlowDsrDtr, 100, 100, 0x11, 0x13));
    step(SetQueueSizes(4096, 4096));
    step(SetReadTimeouts(kMaxDword, 0, 0));
    step(SetWriteTimeouts(0, 1000));
    step(SetEventMask(kEvRxChar));
    step(Purge());
    setLastError(firstFailure);
}

bool SerialPort::openDevice()
{
    const QByteArray path = QFile::encodeName(device);
    if (path.isEmpty()) {
        setLastError(ENOENT);
        return false;
    }
    // The lock file first: a port that another program holds is not even opened, so
    // that nothing of ours (a purge, a new rate) touches its line.
    portLock = std::make_unique<PortLock>(device);
    if (!portLock->takeFile()) {
        busyText = portLock->busyText();
        portLock.reset();
        setLastError(EBUSY);
        return false;
    }
    const int handle = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (handle < 0) {
        const int error = errno;
        portLock.reset();
        setLastError(error);
        return false;
    }
    auto refuse = [&](int error) {
        ::close(handle);
        portLock.reset();
        setLastError(error);
        return false;
    };
    if (!::isatty(handle))
        return refuse(ENOTTY);
    // TIOCEXCL keeps other users out, but not root; the advisory lock covers everyone
    // who asks, our own second object included.
    if (!portLock->lockDevice(handle)) {
        busyText = portLock->busyText();
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
    return true;
}

SerialPort::~SerialPort()
{
    if (fd >= 0) {
        StopReader();
        Purge();
        ::ioctl(fd, TIOCNXCL); // the exclusive flag outlives us while others hold the tty
        ::close(fd);           // releases the advisory lock
        fd = -1;
    }
    portLock.reset(); // and the lock file
    if (wakeFd >= 0)
        ::close(wakeFd);
}

bool SerialPort::isDeviceGoneError(uint32_t error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

void SerialPort::noteFailure(uint32_t error)
{
    setLastError(error);
    if (isDeviceGoneError(error))
        gone.store(true);
}

QString SerialPort::lastErrorText() const
{
    if (lastError() == EBUSY && !busyText.isEmpty())
        return busyText;
    return errorText(lastError());
}

QString SerialPort::errorText(uint32_t error)
{
    switch (error) {
    case 0:
        return QString();
    case kErrorAlreadyExists:
        return QStringLiteral("A comm thread is already running.");
    case ETIMEDOUT:
        return QStringLiteral("Timed out.");
    case EBUSY:
        return QStringLiteral("Device or resource busy: another program is using the port.");
    case ENOENT:
        return QStringLiteral("No such device.");
    case ENOTTY:
        return QStringLiteral("Not a serial device.");
    case EIO:
        return QStringLiteral("Input/output error: the device does not answer (no hardware behind "
                              "it, or unplugged).");
    case EACCES:
    case EPERM:
        return QStringLiteral("Permission denied. Join the \"dialout\" group "
                              "(sudo adduser $USER dialout) and log in again.");
    default: {
        char buffer[256];
        const char* text = ::strerror_r(static_cast<int>(error), buffer, sizeof buffer);
        return QString::fromLocal8Bit(text) + QLatin1Char('.');
    }
    }
}

// --- line state -------------------------------------------------------------------

bool SerialPort::readState(CommState* state)
{
    struct termios tio {
    };
    if (::tcgetattr(fd, &tio) != 0) {
        setLastError(errno);
        return false;
    }
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
    return true;
}

bool SerialPort::applyState(const CommState& s)
{
    if (s.byteSize < 5 || s.byteSize > 8 || s.parity > kSpaceParity || s.stopBits > kTwoStopBits ||
        s.baudRate == 0) {
        // Rate 0 would hang up the line on Linux; it is no rate.
        setLastError(EINVAL);
        return false;
    }
    struct termios tio {
    };
    if (::tcgetattr(fd, &tio) != 0) {
        setLastError(errno);
        return false;
    }
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
    if (::tcsetattr(fd, TCSANOW, &tio) != 0) {
        setLastError(errno);
        return false;
    }
    requested.store(LineFlags{uint32_t(tio.c_cflag), uint32_t(tio.c_iflag)});
    if (!standard) {
        int error = 0;
        if (!setArbitraryBaudRate(fd, s.baudRate, &error)) {
            setLastError(error);
            return false;
        }
    }

    // No DSR/DTR handshake on Linux: DTR stays asserted unless it is switched off.
    setModemLine(TIOCM_DTR, s.dtrControl != kControlDisable);
    if (!rtscts)
        setModemLine(TIOCM_RTS, s.rtsControl != kControlDisable);
    remembered = s;
    // Start bit, data bits, parity and stop bits (1.5 counted as 2).
    const int bits =
        1 + s.byteSize + (s.parity != kNoParity ? 1 : 0) + (s.stopBits == kOneStopBit ? 1 : 2);
    {
        std::lock_guard<std::mutex> lock(lineTimeMutex);
        byteTime = std::chrono::microseconds((bits * 1000000LL + s.baudRate - 1) / s.baudRate);
    }
    return true;
}

void SerialPort::setModemLine(int line, bool on)
{
    // Failure ignored on purpose: a device without modem lines (a pty, some USB
    // bridges) still carries data.
    ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line);
}

bool SerialPort::deviceCall(int (*call)(int device))
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    return call(fd) == 0 || failWith(errno);
}

bool SerialPort::GetState(CommState* state)
{
    setLastError(0);
    if (fd < 0 || !state)
        return failWith(EBADF);
    // The port is the line's only user (exclusive open), so what it last applied is the
    // line state; reading termios back would lose what a driver ignores (a pty forces
    // CS8 and no parity), and a save and restore must give back what was set.
    std::lock_guard<std::mutex> lock(stateMutex);
    *state = remembered;
    return true;
}

bool SerialPort::SetState(const CommState& state)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    bool lineChanges = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        lineChanges = state.baudRate != remembered.baudRate ||
                      state.byteSize != remembered.byteSize || state.parity != remembered.parity ||
                      state.stopBits != remembered.stopBits;
    }
    // Bytes still on their way would reach the far end at the new rate as garbage.
    if (lineChanges)
        WaitLineIdle();
    std::lock_guard<std::mutex> lock(stateMutex);
    return applyState(state);
}

void SerialPort::WaitLineIdle()
{
    if (fd < 0 || gone.load())
        return; // nothing of ours is on a line that is gone
    const auto drainDeadline = Clock::now() + kDrainLimit;
    while (unsentOutput() > 0 && Clock::now() < drainDeadline)
        std::this_thread::sleep_for(kDrainStep);
    Clock::time_point freeAt;
    {
        std::lock_guard<std::mutex> lock(lineTimeMutex);
        freeAt = lineFreeAt;
    }
    if (freeAt != Clock::time_point())
        std::this_thread::sleep_until(freeAt + kLineTimeMargin);
}

void SerialPort::NoteFarEndHasAll()
{
    std::lock_guard<std::mutex> lock(lineTimeMutex);
    lineFreeAt = std::min(lineFreeAt, Clock::now());
}

void SerialPort::noteBytesSent(int n)
{
    if (n <= 0)
        return;
    std::lock_guard<std::mutex> lock(lineTimeMutex);
    lineFreeAt = std::max(lineFreeAt, Clock::now()) + byteTime * n;
}

bool SerialPort::SetBaudRate(uint32_t rate)
{
    CommState state;
    if (!GetState(&state))
        return false;
    state.baudRate = rate;
    return SetState(state);
}

bool SerialPort::SetLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits)
{
    CommState state;
    if (!GetState(&state))
        return false;
    state.byteSize = byteSize;
    state.parity = parity;
    state.stopBits = stopBits;
    state.fParity = true;
    return SetState(state);
}

bool SerialPort::SetFlowControl(uint32_t flags, uint16_t xonLimit, uint16_t xoffLimit, char xonChar,
                                char xoffChar)
{
    CommState state;
    if (!GetState(&state))
        return false;
    const bool dsrDtr = (flags & kFlowDsrDtr) != 0;
    state.fOutxDsrFlow = dsrDtr;
    state.dtrControl = dsrDtr ? kControlHandshake : kControlEnable;
    const bool ctsRts = (flags & kFlowCtsRts) != 0;
    state.fOutxCtsFlow = ctsRts;
    state.rtsControl = ctsRts ? kControlHandshake : kControlEnable;
    const bool xonXoff = (flags & kFlowXonXoff) != 0;
    state.fOutX = xonXoff;
    state.fInX = xonXoff;
    state.fBinary = true;
    state.fNull = false;
    state.xonLim = xonLimit;
    state.xoffLim = xoffLimit;
    state.xonChar = xonChar;
    state.xoffChar = xoffChar;
    return SetState(state);
}

bool SerialPort::SetQueueSizes(uint32_t input, uint32_t output)
{
    // The kernel's tty buffers have fixed sizes; the request is only remembered.
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    inputQueueSize = input;
    outputQueueSize = output;
    return true;
}

bool SerialPort::GetTimeouts(CommTimeouts* result)
{
    setLastError(0);
    if (fd < 0 || !result)
        return failWith(EBADF);
    std::lock_guard<std::mutex> lock(stateMutex);
    *result = timeouts;
    return true;
}

bool SerialPort::SetTimeouts(const CommTimeouts& value)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    std::lock_guard<std::mutex> lock(stateMutex);
    timeouts = value;
    return true;
}

bool SerialPort::SetReadTimeouts(uint32_t interval, uint32_t totalMultiplier,
                                 uint32_t totalConstant)
{
    CommTimeouts value;
    if (!GetTimeouts(&value))
        return false;
    value.readIntervalTimeout = interval;
    value.readTotalTimeoutMultiplier = totalMultiplier;
    value.readTotalTimeoutConstant = totalConstant;
    return SetTimeouts(value);
}

bool SerialPort::SetWriteTimeouts(uint32_t totalMultiplier, uint32_t totalConstant)
{
    CommTimeouts value;
    if (!GetTimeouts(&value))
        return false;
    value.writeTotalTimeoutMultiplier = totalMultiplier;
    value.writeTotalTimeoutConstant = totalConstant;
    return SetTimeouts(value);
}

bool SerialPort::SetBreak()
{
    WaitLineIdle(); // a BREAK cuts what is still on the wire
    return deviceCall([](int device) { return ::ioctl(device, TIOCSBRK); });
}

bool SerialPort::ClearBreak()
{
    return deviceCall([](int device) { return ::ioctl(device, TIOCCBRK); });
}

// The modem lines leave the last error alone: they are asked every so often from the UI
// thread while the comm thread reads, and a device without them (a pty answers ENOTTY)
// is no failure of the port.
bool SerialPort::GetModemStatus(uint32_t* lines)
{
    int bits = 0;
    if (fd < 0 || !lines || ::ioctl(fd, TIOCMGET, &bits) != 0)
        return false;
    *lines = ((bits & TIOCM_CTS) ? kMsCtsOn : 0) | ((bits & TIOCM_DSR) ? kMsDsrOn : 0) |
             ((bits & TIOCM_RI) ? kMsRingOn : 0) | ((bits & TIOCM_CD) ? kMsRlsdOn : 0);
    return true;
}

bool SerialPort::SetDtr(bool on)
{
    return switchModemLine(TIOCM_DTR, on);
}

bool SerialPort::SetRts(bool on)
{
    return switchModemLine(TIOCM_RTS, on);
}

bool SerialPort::switchModemLine(int line, bool on)
{
    return fd >= 0 && ::ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
}

bool SerialPort::Purge()
{
    return deviceCall([](int device) { return ::tcflush(device, TCIOFLUSH); });
}

int SerialPort::queuedInput()
{
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0)
        return -1;
    return queued;
}

uint32_t SerialPort::takeLineErrors()
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

bool SerialPort::ClearErrors(CommStatus* status, uint32_t* errors)
{
    if (fd < 0)
        return failWith(EBADF);
    const uint32_t flags = takeLineErrors();
    lineErrorFlags.store(flags);
    if (errors)
        *errors = flags;
    const int queued = queuedInput();
    if (queued < 0) {
        noteFailure(errno); // a hung-up tty answers every question with EIO
        return false;
    }
    if (status) {
        int outQueued = 0;
        if (::ioctl(fd, TIOCOUTQ, &outQueued) != 0)
            outQueued = 0;
        status->cbInQue = static_cast<uint32_t>(queued);
        status->cbOutQue = static_cast<uint32_t>(outQueued);
    }
    return true;
}

// --- reading and writing -----------------------------------------------------------

int SerialPort::Read(char* buffer, int count, bool exact)
{
    ioTimedOut.store(false);
    if (fd < 0 || !buffer || count <= 0)
        return 0;
    setLastError(0);
    CommStatus status;
    if (!ClearErrors(&status))
        return 0;
    if (!exact)
        count = std::min<long long>(count, status.cbInQue);
    if (count <= 0)
        return 0;

    CommTimeouts t;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        t = timeouts;
    }
    const auto start = Clock::now();
    // MAXDWORD, 0, 0: what is queued, at once.
    const bool immediate = t.readIntervalTimeout == kMaxDword &&
                           t.readTotalTimeoutMultiplier == 0 && t.readTotalTimeoutConstant == 0;
    // MAXDWORD, MAXDWORD, constant: what is queued, else the first byte within constant.
    const bool firstByteOnly =
        t.readIntervalTimeout == kMaxDword && t.readTotalTimeoutMultiplier == kMaxDword &&
        t.readTotalTimeoutConstant != 0 && t.readTotalTimeoutConstant != kMaxDword;
    bool hasTotal = false;
    Clock::time_point totalDeadline;
    if (firstByteOnly) {
        hasTotal = true;
        totalDeadline = start + std::chrono::milliseconds(t.readTotalTimeoutConstant);
    } else if (t.readTotalTimeoutMultiplier != 0 || t.readTotalTimeoutConstant != 0) {
        hasTotal = true;
        const unsigned long long total =
            static_cast<unsigned long long>(t.readTotalTimeoutMultiplier) * count +
            t.readTotalTimeoutConstant;
        totalDeadline = start + std::chrono::milliseconds(total);
    }
    const bool hasInterval =
        !firstByteOnly && t.readIntervalTimeout != 0 && t.readIntervalTimeout != kMaxDword;
    const auto interval = std::chrono::milliseconds(hasInterval ? t.readIntervalTimeout : 0);

    int got = 0;
    Clock::time_point lastByte;
    for (;;) {
        const ssize_t n = ::read(fd, buffer + got, static_cast<size_t>(count - got));
        if (n > 0) {
            got += static_cast<int>(n);
            lastByte = Clock::now();
            if (got == count || firstByteOnly)
                return got;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            noteFailure(errno);
            ClearErrors(nullptr);
            return got;
        }
        if (n == 0) { // hung up
            gone.store(true);
            setLastError(EIO);
            ClearErrors(nullptr);
            return got;
        }
        int waitMs = -1;
        if (!immediate) {
            if (hasTotal)
                waitMs = millisecondsUntil(totalDeadline);
            if (hasInterval && got > 0) {
                const int gap = millisecondsUntil(lastByte + interval);
                waitMs = waitMs < 0 ? gap : std::min(waitMs, gap);
            }
        } else {
            waitMs = 0;
        }
        if (waitMs == 0) {
            setLastError(ETIMEDOUT);
            ioTimedOut.store(true);
            return got;
        }
        struct pollfd p {
            fd, POLLIN, 0
        };
        const int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno != EINTR) {
            setLastError(errno);
            return got;
        }
        if (r > 0 && !(p.revents & POLLIN) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            gone.store(true);
            setLastError(EIO);
            ClearErrors(nullptr);
            return got;
        }
    }
}

int SerialPort::Write(const char* buffer, int count)
{
    ioTimedOut.store(false);
    if (fd < 0 || !buffer || count <= 0)
        return 0;
    setLastError(0);
    CommTimeouts t;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        t = timeouts;
    }
    const bool hasTotal = t.writeTotalTimeoutMultiplier != 0 || t.writeTotalTimeoutConstant != 0;
    const unsigned long long total =
        static_cast<unsigned long long>(t.writeTotalTimeoutMultiplier) * count +
        t.writeTotalTimeoutConstant;
    const auto deadline = Clock::now() + std::chrono::milliseconds(total);

    // Out of time: what the driver still holds is dropped, so that the count reported is
    // what went out and nothing of a failed write trickles out later.
    auto timedOut = [&](int accepted) {
        const int unsent = std::min(unsentOutput(), accepted);
        ::tcflush(fd, TCOFLUSH);
        setLastError(ETIMEDOUT);
        ioTimedOut.store(true);
        return accepted - unsent;
    };

    int done = 0;
    while (done < count) {
        const ssize_t n = ::write(fd, buffer + done, static_cast<size_t>(count - done));
        if (n > 0) {
            done += static_cast<int>(n);
            noteBytesSent(static_cast<int>(n));
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && errno != EAGAIN) {
            noteFailure(errno);
            ClearErrors(nullptr);
            return done;
        }
        const int waitMs = hasTotal ? millisecondsUntil(deadline) : -1;
        if (waitMs == 0)
            return timedOut(done);
        struct pollfd p {
            fd, POLLOUT, 0
        };
        const int r = ::poll(&p, 1, waitMs);
        if (r < 0 && errno != EINTR) {
            setLastError(errno);
            return done;
        }
        if (r > 0 && !(p.revents & POLLOUT) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
            gone.store(true);
            setLastError(EIO);
            ClearErrors(nullptr);
            return done;
        }
    }
    // A write is complete when the bytes are on the line, not when the driver took them:
    // callers change the baud rate right after a write.
    while (unsentOutput() > 0) {
        if (hasTotal && millisecondsUntil(deadline) == 0)
            return timedOut(done);
        std::this_thread::sleep_for(kDrainStep);
    }
    return done;
}

int SerialPort::WriteSome(const char* buffer, int count)
{
    if (fd < 0)
        return -1;
    if (!buffer || count <= 0)
        return 0;
    for (;;) {
        const ssize_t n = ::write(fd, buffer, static_cast<size_t>(count));
        if (n >= 0) {
            noteBytesSent(static_cast<int>(n));
            return static_cast<int>(n);
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN)
            return 0;
        setLastError(errno);
        ClearErrors(nullptr);
        return -1;
    }
}

bool SerialPort::OutputIdle()
{
    if (fd < 0)
        return true; // the write that follows reports the broken port
    struct pollfd p {
        fd, POLLOUT, 0
    };
    if (::poll(&p, 1, 0) < 0)
        return true;
    if (p.revents & (POLLHUP | POLLERR | POLLNVAL))
        return true;
    return (p.revents & POLLOUT) && unsentOutput() == 0;
}

int SerialPort::unsentOutput()
{
    int queued = 0;
    if (::ioctl(fd, TIOCOUTQ, &queued) != 0)
        return 0; // a driver that cannot tell is taken as drained
    return queued;
}

// --- event wait ----------------------------------------------------------------------

bool SerialPort::SetEventMask(uint32_t mask)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    eventMask.store(mask);
    // A new mask completes a pending wait with an empty result.
    if (waitArmed.load())
        waitCancelled.store(true);
    const uint64_t one = 1;
    if (::write(wakeFd, &one, sizeof one) < 0 && errno != EAGAIN) {
        setLastError(errno);
        return false;
    }
    return true;
}

bool SerialPort::ArmEventWait()
{
    if (fd < 0)
        return failWith(EBADF);
    waitCancelled.store(false);
    waitArmed.store(true);
    return true;
}

uint32_t SerialPort::GetEventResult(bool wait)
{
    if (fd < 0) {
        setLastError(EBADF);
        return 0;
    }
    auto fail = [this](int error) -> uint32_t {
        setLastError(error);
        ClearErrors(nullptr);
        ArmEventWait();
        return 0;
    };
    if (!waitArmed.load())
        return fail(EINVAL);
    for (;;) {
        // stopRequested also covers a thread that sets its mask again after StopReader
        // cleared it, and would otherwise sleep for ever.
        if (waitCancelled.exchange(false) || eventMask.load() == 0 || stopRequested.load()) {
            waitArmed.store(false);
            return 0;
        }
        const uint32_t mask = eventMask.load();
        struct pollfd p[2] = {{wakeFd, POLLIN, 0},
                              {fd, static_cast<short>((mask & kEvRxChar) ? POLLIN : 0), 0}};
        const int r = ::poll(p, 2, wait ? -1 : 0);
        if (r < 0) {
            if (errno == EINTR)
                continue;
            return fail(errno);
        }
        if (p[0].revents & POLLIN) {
            uint64_t drained = 0;
            if (::read(wakeFd, &drained, sizeof drained) < 0 && errno != EAGAIN)
                return fail(errno);
            continue; // look at the mask again
        }
        const short events = p[1].revents;
        if (events & (POLLHUP | POLLERR | POLLNVAL)) {
            // Deliver what is still queued first; a hung-up line with nothing left is a
            // failed wait, which ends the comm thread instead of spinning on it.
            if ((events & POLLIN) && (mask & kEvRxChar) && queuedInput() > 0) {
                waitArmed.store(false);
                return kEvRxChar;
            }
            gone.store(true);
            return fail(EIO);
        }
        if ((events & POLLIN) && (mask & kEvRxChar)) {
            waitArmed.store(false);
            return kEvRxChar;
        }
        if (r == 0) {
            setLastError(EAGAIN); // still waiting
            return 0;
        }
    }
}

// --- comm thread ---------------------------------------------------------------------

bool SerialPort::StartReader(CommThreadProcedure procedure, void* context)
{
    setLastError(0);
    if (reader.joinable()) {
        setLastError(kErrorAlreadyExists);
        return false;
    }
    if (fd < 0 || !procedure) {
        setLastError(fd < 0 ? EBADF : EINVAL);
        return false;
    }
    readerDone.store(false);
    stopRequested.store(false);
    readerExitCode = 0;
    void* argument = context ? context : this;
    try {
        reader = std::thread([this, procedure, argument] {
            const uint32_t code = procedure(argument);
            {
                std::lock_guard<std::mutex> lock(readerMutex);
                readerExitCode = code;
                readerDone.store(true);
            }
            readerEnded.notify_all();
        });
    } catch (const std::system_error& e) {
        setLastError(static_cast<uint32_t>(e.code().value()));
        return false;
    }
    return true;
}

uint32_t SerialPort::StopReader(const std::function<void()>& pump)
{
    setLastError(0);
    if (!reader.joinable())
        return 0;
    stopRequested.store(true);
    SetEventMask(0); // completes the pending wait, which ends the thread's loop
    const std::function<void()>& service = pump ? pump : readerPump;
    std::unique_lock<std::mutex> lock(readerMutex);
    while (!readerDone.load()) {
        if (service) {
            // The thread may be waiting for this thread to take its bytes.
            lock.unlock();
            service();
            lock.lock();
            readerEnded.wait_for(lock, std::chrono::milliseconds(1));
        } else {
            readerEnded.wait(lock, [this] { return readerDone.load(); });
        }
    }
    const uint32_t code = readerExitCode;
    lock.unlock();
    reader.join();
    return code;
}
