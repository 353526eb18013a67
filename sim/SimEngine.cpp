#include "SimEngine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <climits>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace qx2sim
{

namespace
{

// Output written at once when not paced; bigger pieces only make longer log lines.
constexpr int kWritePiece = 4096;
constexpr int kReadPiece = 4096;
// A paced piece is what the line carries in this long.
constexpr qint64 kPacedSliceUs = 5000;
// A paced stream that continues within this long after the line became free is
// one stream: its timing goes on from the line's schedule, not from the late wake-up.
constexpr qint64 kStreamSlackUs = 20000;
// Pacing at the client's rate while it has set none (B0) uses this.
constexpr qint64 kFallbackRate = 9600;
// Output written in one turn of the loop before the input is looked at again,
// so that an abort byte or a signal is seen while a big file goes out.
constexpr qint64 kWriteBudget = 256 * 1024;
// A UART copes with this much difference in rate (percent).
constexpr qint64 kRateTolerancePercent = 2;

qint64 sinceUs(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                 t0)
        .count();
}

} // namespace

class SimEngine::Io : public InstrumentIo
{
public:
    explicit Io(SimEngine* engine) : engine(engine) {}
    // Called with the engine's lock held.
    void send(const QByteArray& bytes, int gapMs, qint64 uartBaud) override
    {
        Segment s;
        s.bytes = bytes;
        s.gapMs = gapMs;
        s.baud = uartBaud;
        engine->queue.push_back(s);
        engine->queuedTotal += bytes.size();
        engine->wake();
    }
    void discardPendingOutput() override
    {
        engine->queue.clear();
        engine->txChunk.clear();
        engine->sentTotal = engine->queuedTotal;
    }
    qint64 queuedTotal() const override { return engine->queuedTotal; }
    qint64 sentTotal() const override { return engine->sentTotal; }
    LineSettings lineSettings() override { return readLineSettings(engine->slaveFd); }
    void event(const QString& text) override
    {
        if (!engine->log.isOpen())
            return;
        LogRecord r;
        r.seconds = engine->nowUs() / 1e6;
        r.kind = LogRecord::Event;
        r.settings = readLineSettings(engine->slaveFd);
        r.event = text;
        engine->log.write(r);
    }

private:
    SimEngine* engine;
};

SimEngine::SimEngine(const SimOptions& options) : options(options) {}

SimEngine::~SimEngine()
{
    stop();
}

qint64 SimEngine::nowUs() const
{
    return sinceUs(t0);
}

void SimEngine::wake()
{
    if (wakeWrite >= 0) {
        const char b = 1;
        // A full pipe already means "wake up"; the result is ignored on purpose.
        [[maybe_unused]] ssize_t n = ::write(wakeWrite, &b, 1);
    }
}

bool SimEngine::start(QString* error)
{
    if (running)
        return true;
    t0 = std::chrono::steady_clock::now();

    // The card.
    QString root = options.cardDir;
    if (root.isEmpty()) {
        sampleDir.reset(
            new QTemporaryDir(QDir::tempPath() + QStringLiteral("/qx2sim-card-XXXXXX")));
        if (!sampleDir->isValid()) {
            *error = QStringLiteral("cannot create a temporary folder for the sample card: %1")
                         .arg(sampleDir->errorString());
            return false;
        }
        root = sampleDir->path();
        QString why;
        if (!CardTree::createSample(root, options.oddNames, &why)) {
            *error = QStringLiteral("cannot create the sample card: %1").arg(why);
            return false;
        }
    } else if (!QFileInfo(root).isDir()) {
        *error = QStringLiteral("--card %1: no such folder").arg(root);
        return false;
    }
    card = CardTree(QFileInfo(root).absoluteFilePath(), options.oddNames);

    if (!options.logPath.isEmpty() && !log.open(options.logPath, error)) {
        *error = QStringLiteral("--log %1: %2").arg(options.logPath, *error);
        return false;
    }

    int pipeFds[2];
    if (pipe2(pipeFds, O_NONBLOCK | O_CLOEXEC) != 0) {
        *error = QStringLiteral("cannot create a pipe: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        stop();
        return false;
    }
    wakeRead = pipeFds[0];
    wakeWrite = pipeFds[1];
    if (!openDevice(error) || !makeLink(error)) {
        stop();
        return false;
    }

    log.comment(
        QStringLiteral("qx2sim log: device %1 link %2 card %3 line-rate %4")
            .arg(device, options.linkPath.isEmpty() ? QStringLiteral("-") : options.linkPath,
                 card.root())
            .arg(options.lineRate == SimOptions::kClientRate ? QStringLiteral("client")
                                                             : QString::number(options.lineRate)));
    log.comment(QStringLiteral("<seconds> RX|TX <baud> <format> n=<count> hex=<bytes> "
                               "text=\"<escaped>\"  or  <seconds> EV <baud> <format> <event>"));

    io.reset(new Io(this));
    {
        std::lock_guard<std::mutex> lock(mutex);
        instrument.reset(new Instrument(options, &card, io.get()));
        instrument->start(nowUs() / 1000);
    }
    stopping = false;
    running = true;
    worker = std::thread([this] { run(); });
    return true;
}

void SimEngine::stop()
{
    if (worker.joinable()) {
        stopping = true;
        wake();
        worker.join();
    }
    running = false;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (instrument)
            instrument->finishSession();
        instrument.reset();
        queue.clear();
        txChunk.clear();
    }
    removeLink();
    if (linkLockFd >= 0) {
        ::unlink((QFile::encodeName(options.linkPath) + ".lock").constData());
        ::close(linkLockFd);
        linkLockFd = -1;
    }
    for (int* fd : {&masterFd, &slaveFd, &wakeRead, &wakeWrite}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

bool SimEngine::openDevice(QString* error)
{
    // The pty, raw, at a known speed until the client sets its own.
    char name[PATH_MAX] = {};
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        *error = QStringLiteral("cannot create a pseudo-terminal: %1")
                     .arg(QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    termios t{};
    tcgetattr(slave, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    // Until a client sets its own, the line stands at the instrument's rate.
    const speed_t speed = options.terminalBaud == 19200    ? B19200
                          : options.terminalBaud == 38400  ? B38400
                          : options.terminalBaud == 57600  ? B57600
                          : options.terminalBaud == 115200 ? B115200
                                                           : B9600;
    cfsetispeed(&t, speed);
    cfsetospeed(&t, speed);
    tcsetattr(slave, TCSANOW, &t);
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    fcntl(master, F_SETFD, FD_CLOEXEC);
    fcntl(slave, F_SETFD, FD_CLOEXEC);
    std::lock_guard<std::mutex> lock(mutex);
    masterFd = master;
    slaveFd = slave;
    device = QString::fromLocal8Bit(name);
    return true;
}

bool SimEngine::makeLink(QString* error)
{
    if (options.linkPath.isEmpty())
        return true;
    const QByteArray link = QFile::encodeName(options.linkPath);
    // A live instrument holds a lock beside its link for as long as it runs. A pty
    // number is reused as soon as its owner ends, so whether the link's target exists
    // says nothing about who owns it.
    if (linkLockFd < 0) {
        const QByteArray lockPath = link + ".lock";
        const int fd = ::open(lockPath.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = QStringLiteral("--link %1: cannot create %2: %3")
                         .arg(options.linkPath, QFile::decodeName(lockPath),
                              QString::fromLocal8Bit(std::strerror(errno)));
            return false;
        }
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
            ::close(fd);
            *error = QStringLiteral("--link %1 points to %2, a device in use (another qx2sim?); "
                                    "stop it or choose another path")
                         .arg(options.linkPath, QFileInfo(options.linkPath).symLinkTarget());
            return false;
        }
        linkLockFd = fd;
    }
    struct stat st {
    };
    if (lstat(link.constData(), &st) == 0) {
        if (!S_ISLNK(st.st_mode)) {
            *error = QStringLiteral("--link %1 exists and is not a symbolic link; "
                                    "remove it or choose another path")
                         .arg(options.linkPath);
            return false;
        }
        // A link left by an earlier run that did not end cleanly.
        ::unlink(link.constData());
    }
    if (::symlink(QFile::encodeName(device).constData(), link.constData()) != 0) {
        *error = QStringLiteral("--link %1: %2")
                     .arg(options.linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        return false;
    }
    linkMade = true;
    return true;
}

void SimEngine::removeLink()
{
    if (!linkMade)
        return;
    // Only our own link is removed, not whatever someone put there since.
    const QByteArray link = QFile::encodeName(options.linkPath);
    char target[PATH_MAX] = {};
    const ssize_t n = ::readlink(link.constData(), target, sizeof target - 1);
    if (n > 0 && QString::fromLocal8Bit(target, int(n)) == deviceName())
        ::unlink(link.constData());
    linkMade = false;
}

void SimEngine::vanish(qint64 now)
{
    vanished = true;
    removeLink();
    {
        std::lock_guard<std::mutex> lock(mutex);
        queue.clear();
        txChunk.clear();
        sentTotal = queuedTotal;
        rxHeld.clear();
        // Closing both sides: the host's descriptor now reads end of file / EIO.
        ::close(masterFd);
        ::close(slaveFd);
        masterFd = -1;
        slaveFd = -1;
        io->event(QStringLiteral("fault: device %1 vanished after %2 received bytes")
                      .arg(device)
                      .arg(receivedTotal));
    }
    comeBackAtUs = options.comeBackMs >= 0 ? now + qint64(options.comeBackMs) * 1000 : -1;
}

void SimEngine::comeBack(qint64)
{
    comeBackAtUs = -1;
    QString error;
    if (!openDevice(&error) || !makeLink(&error)) {
        io->event(QStringLiteral("fault: device could not come back: %1").arg(error));
        return;
    }
    io->event(QStringLiteral("fault: device back as %1").arg(deviceName()));
}

QString SimEngine::deviceName() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return device;
}

bool SimEngine::lineMatches(const LineSettings& host, qint64 uartBaud) const
{
    // 0: the USB link or --lenient; a client with no rate set is not judged either.
    if (uartBaud <= 0 || host.baud <= 0)
        return true;
    const qint64 diff = qAbs(host.baud - uartBaud);
    // The instrument talks 8 data bits, no parity; a receiver checks one stop bit only.
    return diff * 100 <= uartBaud * kRateTolerancePercent && host.dataBits == 8 &&
           host.parity == 'N';
}

void SimEngine::noteMismatch(bool* inStretch, bool matches, bool fromHost, const QString& text)
{
    if (matches) {
        *inStretch = false;
        return;
    }
    if (!*inStretch) {
        // What the host sends at the wrong rate is its fault; what it receives
        // may only have met a switch it made at the right moment.
        if (fromHost)
            instrument->lineViolation(text);
        else
            io->event(QStringLiteral("line: ") + text);
    }
    *inStretch = true;
}

MemoryModel SimEngine::memory() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return instrument ? instrument->memory() : MemoryModel();
}

SimMode SimEngine::mode() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return instrument ? instrument->mode() : SimMode::Console;
}

QStringList SimEngine::currentDirectory() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return instrument ? instrument->currentDirectory() : QStringList();
}

QDateTime SimEngine::clock() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return instrument ? instrument->clock() : QDateTime();
}

LineSettings SimEngine::lineSettings() const
{
    return readLineSettings(slaveFd);
}

bool SimEngine::waitUntil(const std::function<bool(const MemoryModel&)>& pred, int timeoutMs) const
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (pred(memory()))
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool SimEngine::outputIdle() const
{
    std::lock_guard<std::mutex> lock(mutex);
    return queue.empty() && txChunk.isEmpty();
}

qint64 SimEngine::lineTimeUs(qint64 bytes) const
{
    const LineSettings line = readLineSettings(slaveFd);
    qint64 rate = options.lineRate;
    if (rate == SimOptions::kClientRate)
        rate = line.baud > 0 ? line.baud : kFallbackRate;
    // Rounded per slice, never truncated per byte: the error stays under 1 us a slice.
    return (bytes * line.bitsPerByte() * Q_INT64_C(1000000) + rate / 2) / rate;
}

int SimEngine::pacedChunk() const
{
    const qint64 perByte = qMax<qint64>(1, lineTimeUs(1));
    return static_cast<int>(qBound<qint64>(1, kPacedSliceUs / perByte, kWritePiece));
}

void SimEngine::logChunk(LogRecord::Kind kind, const QByteArray& bytes, qint64 now)
{
    if (!log.isOpen())
        return;
    LogRecord r;
    r.seconds = now / 1e6;
    r.kind = kind;
    r.settings = readLineSettings(slaveFd);
    r.bytes = bytes;
    log.write(r);
}

void SimEngine::deliver(const QByteArray& bytes, qint64 now)
{
    logChunk(LogRecord::Rx, bytes, now);
    std::lock_guard<std::mutex> lock(mutex);
    receivedTotal += bytes.size();
    const LineSettings host = readLineSettings(slaveFd);
    const qint64 uart = instrument->uartBaud();
    const qint64 trailing = instrument->uartTrailingBaud();
    const bool matches = lineMatches(host, uart) || (trailing > 0 && lineMatches(host, trailing));
    noteMismatch(&rxGarbage, matches, true,
                 QStringLiteral("bytes from the host at %1 while the instrument is at %2 8N1 "
                                "arrive as 0xFE")
                     .arg(host.toString())
                     .arg(uart));
    if (matches)
        instrument->receive(bytes, now / 1000);
    else
        instrument->receive(QByteArray(bytes.size(), char(0xFE)), now / 1000);
}

void SimEngine::pumpOutput(qint64 now, qint64* nextUs, bool* wantWritable)
{
    std::lock_guard<std::mutex> lock(mutex);
    const bool paced = options.lineRate != 0;
    if (masterFd < 0) {
        // Nobody on the line: the instrument's bytes go nowhere.
        queue.clear();
        txChunk.clear();
        sentTotal = queuedTotal;
        return;
    }
    qint64 budget = kWriteBudget;
    for (;;) {
        if (!txChunk.isEmpty()) {
            if (paced && now < txDueUs) {
                *nextUs = qMin(*nextUs, txDueUs);
                return;
            }
            if (budget <= 0) {
                *nextUs = now; // go round once more after looking at the input
                return;
            }
            const LineSettings host = readLineSettings(slaveFd);
            const bool matches = lineMatches(host, txBaud);
            noteMismatch(&txGarbage, matches, false,
                         QStringLiteral("bytes to the host at %1 while the instrument sends at "
                                        "%2 8N1 arrive as 0xFE")
                             .arg(host.toString())
                             .arg(txBaud));
            const QByteArray onLine = matches ? txChunk : QByteArray(txChunk.size(), char(0xFE));
            const ssize_t n = ::write(masterFd, onLine.constData(), size_t(onLine.size()));
            if (n < 0) {
                if (errno == EAGAIN || errno == EINTR)
                    *wantWritable = true;
                return;
            }
            logChunk(LogRecord::Tx, onLine.left(int(n)), now);
            txChunk.remove(0, int(n));
            sentTotal += n;
            budget -= n;
            if (!txChunk.isEmpty()) {
                *wantWritable = true;
                return;
            }
        }
        if (queue.empty())
            return;
        Segment& head = queue.front();
        if (!head.started) {
            head.started = true;
            head.notBeforeUs = now + qint64(head.gapMs) * 1000;
        }
        if (now < head.notBeforeUs) {
            *nextUs = qMin(*nextUs, head.notBeforeUs);
            return;
        }
        const int take = qMin(head.bytes.size() - head.offset, paced ? pacedChunk() : kWritePiece);
        txChunk = head.bytes.mid(head.offset, take);
        txBaud = head.baud;
        head.offset += take;
        if (head.offset >= head.bytes.size())
            queue.pop_front();
        if (paced) {
            const qint64 start =
                outFreeUs >= now - kStreamSlackUs ? qMax(outFreeUs, now - kStreamSlackUs) : now;
            txDueUs = start + lineTimeUs(take);
            outFreeUs = txDueUs;
        }
    }
}

void SimEngine::run()
{
    const bool paced = options.lineRate != 0;
    QByteArray buffer(kReadPiece, '\0');
    while (!stopping) {
        qint64 now = nowUs();
        qint64 next = now + 500000;

        if (!vanished &&
            ((options.vanishAfterBytes >= 0 && receivedTotal >= options.vanishAfterBytes) ||
             (options.vanishAfterMs >= 0 && now >= qint64(options.vanishAfterMs) * 1000)))
            vanish(now);
        if (vanished && comeBackAtUs >= 0) {
            if (now >= comeBackAtUs)
                comeBack(now);
            else
                next = qMin(next, comeBackAtUs);
        }
        if (!vanished && options.vanishAfterMs >= 0)
            next = qMin(next, qint64(options.vanishAfterMs) * 1000);

        if (!rxHeld.isEmpty() && now >= rxDueUs) {
            const QByteArray bytes = rxHeld;
            rxHeld.clear();
            deliver(bytes, now);
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            const qint64 due = instrument->deadline();
            if (due >= 0 && now / 1000 >= due)
                instrument->tick(now / 1000);
            const qint64 due2 = instrument->deadline();
            if (due2 >= 0)
                next = qMin(next, due2 * 1000 + 1000);
        }
        bool wantWritable = false;
        pumpOutput(now, &next, &wantWritable);
        if (!rxHeld.isEmpty())
            next = qMin(next, rxDueUs);
        bool reading = false;
        {
            std::lock_guard<std::mutex> lock(mutex);
            // A stalled instrument leaves the bytes in the pty, so the host's writes block.
            reading = rxHeld.isEmpty() && instrument->wantsInput();
        }

        pollfd fds[2] = {};
        fds[0].fd = masterFd;
        fds[0].events = short((reading ? POLLIN : 0) | (wantWritable ? POLLOUT : 0));
        fds[1].fd = wakeRead;
        fds[1].events = POLLIN;
        const qint64 waitUs = qMax<qint64>(0, next - nowUs());
        const int timeoutMs = int(qMin<qint64>(500, (waitUs + 999) / 1000));
        const int r = ::poll(fds, 2, timeoutMs);
        if (r < 0 && errno != EINTR)
            break;
        if (fds[1].revents & POLLIN) {
            char drain[64];
            while (::read(wakeRead, drain, sizeof drain) > 0) {
            }
        }
        if (reading && (fds[0].revents & POLLIN)) {
            now = nowUs();
            const int want = paced ? pacedChunk() : kReadPiece;
            const ssize_t n = ::read(masterFd, buffer.data(), size_t(want));
            if (n > 0) {
                const QByteArray bytes(buffer.constData(), int(n));
                if (paced) {
                    const qint64 start = inFreeUs >= now - kStreamSlackUs
                                             ? qMax(inFreeUs, now - kStreamSlackUs)
                                             : now;
                    rxDueUs = start + lineTimeUs(n);
                    inFreeUs = rxDueUs;
                    rxHeld = bytes;
                } else {
                    deliver(bytes, now);
                }
            }
        } else if (fds[0].revents & (POLLHUP | POLLERR)) {
            // We hold the slave open, so this is transient; do not spin on it.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
}

} // namespace qx2sim
