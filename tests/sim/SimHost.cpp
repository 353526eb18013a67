#include "SimHost.h"

#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

namespace simtest
{

// In SetSpeed2.cpp: termios2 cannot share a unit with <termios.h>.
bool setCustomSpeed(int fd, int baud);

bool HostPort::open(const QString& path)
{
    close();
    fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    return setLine(9600, 8, 'N', 1);
}

void HostPort::close()
{
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

bool HostPort::setLine(int baud, int dataBits, char parity, int stopBits)
{
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return false;
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= dataBits == 7 ? CS7 : dataBits == 6 ? CS6 : dataBits == 5 ? CS5 : CS8;
    if (parity == 'E')
        t.c_cflag |= PARENB;
    if (parity == 'O')
        t.c_cflag |= PARENB | PARODD;
    if (stopBits == 2)
        t.c_cflag |= CSTOPB;
    speed_t code = 0;
    switch (baud) {
    case 9600:
        code = B9600;
        break;
    case 19200:
        code = B19200;
        break;
    case 38400:
        code = B38400;
        break;
    case 57600:
        code = B57600;
        break;
    case 115200:
        code = B115200;
        break;
    default:
        code = 0;
        break;
    }
    if (code) {
        cfsetispeed(&t, code);
        cfsetospeed(&t, code);
    }
    if (tcsetattr(fd, TCSANOW, &t) != 0)
        return false;
    return code ? true : setCustomSpeed(fd, baud);
}

void HostPort::write(const QByteArray& bytes)
{
    int done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += int(n);
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

static bool readSome(int fd, QByteArray* into, int waitMs)
{
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, waitMs) <= 0)
        return false;
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0)
        return false;
    into->append(buf, int(n));
    return true;
}

QByteArray HostPort::readFor(int ms)
{
    QByteArray out;
    const auto start = std::chrono::steady_clock::now();
    for (;;) {
        const qint64 left = ms - msSince(start);
        if (left <= 0)
            break;
        readSome(fd, &out, int(left));
    }
    return out;
}

QByteArray HostPort::readExactly(int n, int timeoutMs)
{
    QByteArray out;
    const auto start = std::chrono::steady_clock::now();
    while (out.size() < n) {
        const qint64 left = timeoutMs - msSince(start);
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char buf[4096];
        const ssize_t got = ::read(fd, buf, size_t(qMin<int>(n - out.size(), sizeof buf)));
        if (got > 0)
            out.append(buf, int(got));
    }
    return out;
}

QByteArray HostPort::readUntil(const QByteArray& suffix, int timeoutMs)
{
    QByteArray out;
    const auto start = std::chrono::steady_clock::now();
    while (!out.contains(suffix)) {
        const qint64 left = timeoutMs - msSince(start);
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, int(left)) <= 0)
            continue;
        char c;
        // One byte at a time, so nothing after the suffix is taken.
        if (::read(fd, &c, 1) == 1)
            out.append(c);
    }
    return out;
}

QByteArray HostPort::readUntilQuiet(int quietMs, int maxMs)
{
    QByteArray out;
    const auto start = std::chrono::steady_clock::now();
    while (msSince(start) < maxMs) {
        if (!readSome(fd, &out, quietMs))
            break;
    }
    return out;
}

void HostPort::flushInput()
{
    tcflush(fd, TCIFLUSH);
}

qx2sim::SimOptions fastOptions()
{
    qx2sim::SimOptions o;
    o.timing.loadIdleMs = 300;
    o.timing.uploadIdleMs = 300;
    o.timing.hexIdleMs = 100;
    o.timing.hexClosingMs = 300;
    o.timing.wakeResetMs = 300;
    o.timing.failDrainMs = 100;
    return o;
}

bool SimRig::start(qx2sim::SimOptions opts, QByteArray* greeting)
{
    opts.linkPath = linkPath();
    engine.reset(new qx2sim::SimEngine(opts));
    QString error;
    if (!engine->start(&error)) {
        fprintf(stderr, "engine: %s\n", qPrintable(error));
        return false;
    }
    if (!host.open(linkPath()))
        return false;
    const QByteArray hello = opts.skiffer  ? host.readUntil("\r\n", 1000)
                             : opts.silent ? QByteArray()
                                           : host.readUntil(">", 1000);
    if (greeting)
        *greeting = hello;
    return true;
}

QByteArray loadLine(quint32 rate, quint32 address, quint32 count)
{
    return QStringLiteral("LOAD %1 %2 %3\r")
        .arg(rate, 8, 16, QLatin1Char('0'))
        .arg(address, 8, 16, QLatin1Char('0'))
        .arg(count, 8, 16, QLatin1Char('0'))
        .toUpper()
        .toLatin1();
}

QByteArray loadBlock(const QByteArray& data)
{
    QByteArray b;
    b.append(char(data.size() >> 8)).append(char(data.size() & 0xFF));
    b += data;
    b.append('\0').append('\0');
    return b;
}

QByteArray testPattern(int n, int seed)
{
    QByteArray a(n, '\0');
    for (int i = 0; i < n; ++i)
        a[i] = char((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    return a;
}

QByteArray beginCorrectLoad(SimRig& rig, quint32 address, quint32 count)
{
    const QByteArray cmd = loadLine(0x1C200, address, count);
    rig.host.write(cmd);
    rig.host.readUntil("+", 1000);
    rig.host.setLine(115200, 8, 'N', 2);
    rig.host.write("+");
    return count ? rig.host.readExactly(1, 300) : rig.host.readFor(100);
}

QByteArray fileBytes(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

qint64 msSince(std::chrono::steady_clock::time_point t)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 t)
        .count();
}

} // namespace simtest
