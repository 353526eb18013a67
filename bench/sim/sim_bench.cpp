// How fast the simulated instrument moves data, and how closely --line-rate
// keeps to the line's own limit. A host in this program talks to the engine
// over its pty exactly as a client would.
//
//   sim_bench            all figures
//
// Unpaced figures show the simulator is never the bottleneck of a real line;
// paced figures compare a transfer with bytes * bits-per-byte / rate.
#include "SimEngine.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <chrono>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

using namespace qx2sim;
using Clock = std::chrono::steady_clock;

namespace
{

struct Host {
    int fd = -1;
    bool open(const QString& path, speed_t speed, bool twoStop)
    {
        fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY);
        if (fd < 0)
            return false;
        return setLine(speed, twoStop);
    }
    bool setLine(speed_t speed, bool twoStop)
    {
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        t.c_cflag |= CLOCAL | CREAD;
        if (twoStop)
            t.c_cflag |= CSTOPB;
        else
            t.c_cflag &= ~CSTOPB;
        cfsetispeed(&t, speed);
        cfsetospeed(&t, speed);
        return tcsetattr(fd, TCSANOW, &t) == 0;
    }
    void write(const QByteArray& b)
    {
        int done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd, b.constData() + done, size_t(b.size() - done));
            if (n > 0)
                done += int(n);
        }
    }
    // Reads until marker has arrived; false after 60 s.
    bool readUntil(const QByteArray& marker, QByteArray* got = nullptr)
    {
        QByteArray all;
        const auto end = Clock::now() + std::chrono::seconds(60);
        char buf[65536];
        while (!all.contains(marker)) {
            if (Clock::now() > end)
                return false;
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n > 0)
                all.append(buf, int(n));
        }
        if (got)
            *got = all;
        return true;
    }
    bool readCount(qint64 n)
    {
        qint64 have = 0;
        char buf[65536];
        const auto end = Clock::now() + std::chrono::seconds(120);
        while (have < n && Clock::now() < end) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 100) <= 0)
                continue;
            const ssize_t got = ::read(fd, buf, sizeof buf);
            if (got > 0)
                have += got;
        }
        return have == n;
    }
};

double seconds(Clock::time_point t)
{
    return std::chrono::duration<double>(Clock::now() - t).count();
}

// LOAD of count bytes; returns the seconds from the host's '+' to the '-'.
double timedLoad(qint64 lineRate, int count, bool twoStop)
{
    QTemporaryDir dir;
    SimOptions o;
    o.linkPath = dir.path() + QStringLiteral("/link");
    o.lineRate = lineRate;
    SimEngine sim(o);
    QString error;
    if (!sim.start(&error))
        return -1;
    // The command at the instrument's terminal rate, the data at the rate it names.
    const qint64 dataRate = lineRate > 0 ? lineRate : 115200;
    Host h;
    if (!h.open(o.linkPath, B9600, false) || !h.readUntil(">"))
        return -1;
    h.write(QStringLiteral("LOAD %1 00010000 %2\r")
                .arg(dataRate, 8, 16, QLatin1Char('0'))
                .arg(count, 8, 16, QLatin1Char('0'))
                .toUpper()
                .toLatin1());
    if (!h.readUntil("+"))
        return -1;
    h.setLine(dataRate == 19200 ? B19200 : B115200, twoStop);
    QByteArray data(count, 'b');
    const auto t = Clock::now();
    h.write("+");
    for (int at = 0; at < count; at += 1024) {
        if (!h.readUntil("="))
            return -1;
        const int n = qMin(1024, count - at);
        QByteArray block;
        block.append(char(n >> 8)).append(char(n & 0xFF));
        block += data.mid(at, n);
        block.append('\0').append('\0');
        h.write(block);
    }
    h.write(QByteArray(2, '\0'));
    if (!h.readUntil("-"))
        return -1;
    const double s = seconds(t);
    ::close(h.fd);
    return s;
}

// s of a file of size bytes; returns the seconds from the request to the last byte.
double timedDownload(qint64 lineRate, int size)
{
    QTemporaryDir dir;
    QDir().mkpath(dir.path() + QStringLiteral("/card"));
    QFile f(dir.path() + QStringLiteral("/card/BIG.DAT"));
    f.open(QIODevice::WriteOnly);
    f.write(QByteArray(size, 'd'));
    f.close();
    SimOptions o;
    o.linkPath = dir.path() + QStringLiteral("/link");
    o.cardDir = dir.path() + QStringLiteral("/card");
    o.skiffer = true;
    o.lineRate = lineRate;
    SimEngine sim(o);
    QString error;
    if (!sim.start(&error))
        return -1;
    Host h;
    if (!h.open(o.linkPath, B115200, false) || !h.readUntil("\r\n"))
        return -1;
    const auto t = Clock::now();
    h.write("sBIG.DAT\n");
    if (!h.readCount(size))
        return -1;
    const double s = seconds(t);
    ::close(h.fd);
    return s;
}

} // namespace

int main()
{
    std::printf("%-44s %12s %12s %8s\n", "transfer", "measured s", "line s", "ratio");
    const int loadBytes = 1 << 20;
    const double unpacedLoad = timedLoad(0, loadBytes, true);
    std::printf("%-44s %12.3f %12s %8s   (%.1f MB/s)\n", "LOAD 1 MiB, unpaced", unpacedLoad, "-",
                "-", loadBytes / unpacedLoad / 1e6);
    // Sends of growing size: the cost per byte must not grow with the size.
    for (int mib : {8, 32, 100}) {
        const int dlBytes = mib << 20;
        const double unpacedDl = timedDownload(0, dlBytes);
        const QByteArray name = QStringLiteral("s of %1 MiB, unpaced").arg(mib).toLatin1();
        std::printf("%-44s %12.3f %12s %8s   (%.1f MB/s)\n", name.constData(), unpacedDl, "-", "-",
                    dlBytes / unpacedDl / 1e6);
    }

    struct Paced {
        const char* name;
        qint64 rate;
        int bytes;
        bool load;
    };
    const Paced paced[] = {
        {"LOAD 64 KiB at 115200 8N2 (11 bits)", 115200, 64 * 1024, true},
        {"LOAD 16 KiB at 19200 8N2 (11 bits)", 19200, 16 * 1024, true},
        {"s of 64 KiB at 115200 8N1 (10 bits)", 115200, 64 * 1024, false},
        {"s of 16 KiB at 19200 8N1 (10 bits)", 19200, 16 * 1024, false},
    };
    for (const Paced& p : paced) {
        double measured = 0;
        double line = 0;
        if (p.load) {
            measured = timedLoad(p.rate, p.bytes, true);
            // In: '+', blocks with their 4 framing bytes, the zero length; out: '=' per block, '-'.
            const int blocks = (p.bytes + 1023) / 1024;
            line = (1 + p.bytes + 4.0 * blocks + 2 + blocks + 1) * 11 / p.rate;
        } else {
            measured = timedDownload(p.rate, p.bytes);
            line = (9 + p.bytes) * 10.0 / p.rate; // request in, file out
        }
        std::printf("%-44s %12.3f %12.3f %8.4f\n", p.name, measured, line, measured / line);
    }
    return 0;
}
