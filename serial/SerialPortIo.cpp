// Timed reads and writes with the classic time-out meanings, and the line time: when
// what was written is off the wire, so that a change of rate never cuts into it.
#include "SerialPort.h"

#include "LineBackend.h"

#include <algorithm>
#include <cerrno>
#include <poll.h>
#include <sys/ioctl.h>
#include <thread>
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

bool SerialPort::awaitLine(short events, int waitMs)
{
    struct pollfd p {
        fd, events, 0
    };
    const int r = ::poll(&p, 1, waitMs);
    if (r < 0 && errno != EINTR) {
        setLastError(errno);
        return false;
    }
    if (r > 0 && !(p.revents & events) && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        gone.store(true);
        setLastError(EIO);
        ClearErrors(nullptr);
        return false;
    }
    return true;
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

int SerialPort::queuedInput()
{
    int queued = 0;
    if (::ioctl(fd, FIONREAD, &queued) != 0)
        return -1;
    return queued;
}

bool SerialPort::ClearErrors(CommStatus* status, uint32_t* errors)
{
    if (fd < 0)
        return failWith(EBADF);
    const uint32_t flags = line->takeLineErrors();
    lineErrorFlags.store(flags);
    if (errors)
        *errors = flags;
    const int queued = queuedInput();
    if (queued < 0) {
        noteFailure(errno); // a hung-up tty answers every question with EIO
        return false;
    }
    if (status) {
        status->cbInQue = static_cast<uint32_t>(queued);
        status->cbOutQue = static_cast<uint32_t>(unsentOutput());
    }
    return true;
}

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
        if (!awaitLine(POLLIN, waitMs))
            return got;
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
        line->purge(true);
        setLastError(ETIMEDOUT);
        ioTimedOut.store(true);
        return accepted - unsent;
    };

    int done = 0;
    while (done < count) {
        const ssize_t n = line->writeBytes(buffer + done, static_cast<size_t>(count - done));
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
        if (!awaitLine(POLLOUT, waitMs))
            return done;
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
        const ssize_t n = line->writeBytes(buffer, static_cast<size_t>(count));
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
    return line->unsentOutput();
}
