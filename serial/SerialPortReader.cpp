// The comm thread's lifetime: started once, ended promptly, its exit code collected.
#include "SerialPort.h"

#include <cerrno>
#include <system_error>

bool SerialPort::StartReader(CommThreadProcedure procedure, void* context)
{
    setLastError(0);
    if (reader.joinable()) {
        setLastError(EALREADY);
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
