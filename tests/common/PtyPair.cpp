#include "PtyPair.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

namespace {

int millisecondsLeft(PtyPair::Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - PtyPair::Clock::now());
    return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

} // namespace

PtyPair::PtyPair()
{
    int m = -1, s = -1;
    char name[256] = {};
    if (::openpty(&m, &s, name, nullptr, nullptr) != 0) {
        problem = QStringLiteral("openpty: ") + QString::fromLocal8Bit(std::strerror(errno));
        return;
    }
    struct termios tio {};
    ::tcgetattr(s, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(s, TCSANOW, &tio);
    ::fcntl(m, F_SETFL, ::fcntl(m, F_GETFL) | O_NONBLOCK);
    ::fcntl(m, F_SETFD, FD_CLOEXEC);
    ::fcntl(s, F_SETFD, FD_CLOEXEC);
    masterFd = m;
    slaveFd = s;
    slaveName = QString::fromLocal8Bit(name);
}

PtyPair::~PtyPair()
{
    stopWorker = true;
    if (worker.joinable())
        worker.join();
    if (slaveFd >= 0)
        ::close(slaveFd);
    if (masterFd >= 0)
        ::close(masterFd);
}

void PtyPair::closeMaster()
{
    stopWorker = true;
    if (worker.joinable())
        worker.join();
    if (masterFd >= 0)
        ::close(masterFd);
    masterFd = -1;
}

bool PtyPair::write(const QByteArray& data, int timeoutMs)
{
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    int done = 0;
    while (done < data.size()) {
        const ssize_t n = ::write(masterFd, data.constData() + done, size_t(data.size() - done));
        if (n > 0) {
            done += int(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return false;
        const int wait = millisecondsLeft(deadline);
        if (wait == 0)
            return false;
        struct pollfd p {masterFd, POLLOUT, 0};
        ::poll(&p, 1, wait);
    }
    return true;
}

QByteArray PtyPair::read(int count, int timeoutMs)
{
    QByteArray got;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    char buffer[4096];
    while (got.size() < count) {
        const ssize_t n = ::read(masterFd, buffer, std::min<size_t>(sizeof buffer, size_t(count - got.size())));
        if (n > 0) {
            got.append(buffer, int(n));
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            break;
        const int wait = millisecondsLeft(deadline);
        if (wait == 0)
            break;
        struct pollfd p {masterFd, POLLIN, 0};
        ::poll(&p, 1, wait);
    }
    return got;
}

QByteArray PtyPair::readFor(int timeoutMs)
{
    return read(1 << 30, timeoutMs);
}

void PtyPair::startRecording()
{
    stopWorker = false;
    {
        std::lock_guard<std::mutex> lock(arrivalsMutex);
        arrivals.clear();
    }
    worker = std::thread([this] {
        char buffer[256];
        while (!stopWorker) {
            struct pollfd p {masterFd, POLLIN, 0};
            if (::poll(&p, 1, 5) <= 0)
                continue;
            const ssize_t n = ::read(masterFd, buffer, sizeof buffer);
            const auto now = Clock::now();
            std::lock_guard<std::mutex> lock(arrivalsMutex);
            for (ssize_t i = 0; i < n; ++i)
                arrivals.push_back({buffer[i], now});
        }
    });
}

std::vector<PtyPair::Arrival> PtyPair::stopRecording()
{
    stopWorker = true;
    if (worker.joinable())
        worker.join();
    std::lock_guard<std::mutex> lock(arrivalsMutex);
    return arrivals;
}

void PtyPair::startFlood(int chunkSize)
{
    stopWorker = false;
    floodSent = 0;
    worker = std::thread([this, chunkSize] {
        QByteArray chunk(chunkSize, 'x');
        for (int i = 0; i < chunk.size(); ++i)
            chunk[i] = char('a' + i % 26);
        while (!stopWorker) {
            const ssize_t n = ::write(masterFd, chunk.constData(), size_t(chunk.size()));
            if (n > 0) {
                floodSent += n;
                continue;
            }
            struct pollfd p {masterFd, POLLOUT, 0};
            ::poll(&p, 1, 5);
        }
    });
}

long long PtyPair::stopFlood()
{
    stopWorker = true;
    if (worker.joinable())
        worker.join();
    return floodSent;
}
