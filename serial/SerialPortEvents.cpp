// The comm thread's event wait: poll() on the line and on an eventfd that a new mask
// writes to, so that a pending wait can be completed from another thread.
#include "SerialPort.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

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
