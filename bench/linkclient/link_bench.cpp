// Download and upload throughput of harbrooklink's link code against qx2sim,
// beside a raw byte stream over the same pty: unpaced (as fast as the pty goes)
// and at --line-rate 115200, where the line itself is the limit.
//
// Raw download: "s" name LF written, the file's bytes read straight from the
// device. Raw upload: the request and the bytes written straight to the device.
// Both directions are timed to the same end as the client's: the last byte read,
// or the instrument's record that the uploaded file is stored.
//
//   link_bench [--mb N] [--paced-kb N] [--runs N]
#include "LinkSession.h"
#include "ListingLine.h"
#include "SimEngine.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QLoggingCategory>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{
QByteArray randomBytes(qint64 n)
{
    QByteArray out(int(n), Qt::Uninitialized);
    QRandomGenerator gen(42);
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(gen.generate() & 0xFF);
    return out;
}

int openRaw(const QString& path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    t.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd, TCSANOW, &t);
    tcflush(fd, TCIFLUSH);
    return fd;
}

void writeAll(int fd, const QByteArray& bytes)
{
    qint64 done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n > 0) {
            done += n;
        } else if (n < 0 && errno == EAGAIN) {
            pollfd p{fd, POLLOUT, 0};
            ::poll(&p, 1, 100);
        } else if (n < 0 && errno != EINTR) {
            return;
        }
    }
}

bool uploadedCount(const qx2sim::SimEngine& sim, int* count)
{
    int n = 0;
    for (const qx2sim::CardFileRecord& r : sim.memory().cardFiles)
        n += r.kind == qx2sim::CardFileRecord::Uploaded ? 1 : 0;
    *count = n;
    return true;
}

// Seconds until the instrument has stored one more uploaded file than before.
void waitStored(const qx2sim::SimEngine& sim, int before)
{
    int now = before;
    while (uploadedCount(sim, &now), now <= before)
        QThread::usleep(500);
}

double rawDownload(const QString& link, const QString& name, qint64 size)
{
    const int fd = openRaw(link);
    QElapsedTimer t;
    t.start();
    writeAll(fd, "s" + name.toUtf8() + "\n");
    qint64 got = 0;
    char buf[65536];
    while (got < size) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 5000) <= 0)
            break;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n > 0)
            got += n;
    }
    const double s = t.nsecsElapsed() / 1e9;
    ::close(fd);
    return got == size ? s : -1;
}

double rawUpload(const qx2sim::SimEngine& sim, const QString& link, const QByteArray& data)
{
    int before = 0;
    uploadedCount(sim, &before);
    const int fd = openRaw(link);
    QElapsedTimer t;
    t.start();
    writeAll(fd, "rRAW.BIN\t" + QByteArray::number(data.size()) + "\n");
    writeAll(fd, data);
    waitStored(sim, before);
    const double s = t.nsecsElapsed() / 1e9;
    ::close(fd);
    return s;
}

QStringList listRoot(LinkSession& session)
{
    QEventLoop loop;
    QStringList entries;
    auto c = QObject::connect(&session, &LinkSession::listingReceived, [&](const QStringList& e) {
        entries = e;
        loop.quit();
    });
    session.performCD(QStringList());
    loop.exec();
    QObject::disconnect(c);
    while (session.currentState() != LinkSession::Nothing)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return entries;
}

double clientDownload(LinkSession& session, const QString& line, const QString& dest)
{
    QEventLoop loop;
    bool ok = false;
    auto c = QObject::connect(&session, &LinkSession::jobFinished, [&](bool complete) {
        ok = complete;
        loop.quit();
    });
    QElapsedTimer t;
    t.start();
    session.startDownload({line}, dest);
    loop.exec();
    const double s = t.nsecsElapsed() / 1e9;
    QObject::disconnect(c);
    return ok ? s : -1;
}

double clientUpload(LinkSession& session, const qx2sim::SimEngine& sim, const QString& file)
{
    int before = 0;
    uploadedCount(sim, &before);
    // Watched from a thread of its own, so that nothing the client's thread does
    // delays the moment the file is seen stored; the client's loop sleeps meanwhile.
    double s = -1;
    QElapsedTimer t;
    t.start();
    QEventLoop loop;
    std::thread watcher([&] {
        waitStored(sim, before);
        s = t.nsecsElapsed() / 1e9;
        QMetaObject::invokeMethod(&loop, "quit", Qt::QueuedConnection);
    });
    int reports = 0;
    auto c = QObject::connect(&session, &LinkSession::transferFileCompleted, [&] { ++reports; });
    session.startUpload({QUrl::fromLocalFile(file)}, {QStringLiteral("UP.BIN")});
    loop.exec();
    watcher.join();
    QObject::disconnect(c);
    if (qEnvironmentVariableIsSet("LINK_BENCH_VERBOSE"))
        fprintf(stderr, "upload: %d write reports\n", reports);
    // Let the job end (pause, listing) before the next run.
    while (session.currentState() != LinkSession::Nothing)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
    return s;
}

double best(QList<double> v)
{
    std::sort(v.begin(), v.end());
    return v.isEmpty() ? -1 : v.first();
}

void report(const char* what, qint64 bytes, double raw, double client, double lineTime)
{
    if (lineTime > 0) {
        printf("%-30s %9lld B  raw %7.3f s  client %7.3f s  line %7.3f s  client/line %.4f  "
               "client/raw %.4f\n",
               what, static_cast<long long>(bytes), raw, client, lineTime, lineTime / client,
               raw / client);
    } else {
        printf("%-30s %9lld B  raw %7.3f s (%6.1f MB/s)  client %7.3f s (%6.1f MB/s)  "
               "client/raw %.4f\n",
               what, static_cast<long long>(bytes), raw, bytes / raw / 1e6, client,
               bytes / client / 1e6, raw / client);
    }
    fflush(stdout);
}

void runSet(qint64 lineRate, qint64 size, int runs)
{
    QTemporaryDir card;
    QTemporaryDir dest;
    QTemporaryDir local;
    const QByteArray data = randomBytes(size);
    for (const QString& path :
         {card.path() + QStringLiteral("/BIG.BIN"), local.path() + QStringLiteral("/up.bin")}) {
        QFile f(path);
        f.open(QIODevice::WriteOnly);
        f.write(data);
    }
    qx2sim::SimOptions o;
    o.linkPath = card.path() + QStringLiteral("/../link-bench-") +
                 QString::number(QCoreApplication::applicationPid());
    o.cardDir = card.path();
    o.skiffer = true;
    o.lineRate = lineRate;
    qx2sim::SimEngine sim(o);
    QString error;
    if (!sim.start(&error)) {
        fprintf(stderr, "qx2sim: %s\n", qPrintable(error));
        return;
    }
    QThread::msleep(100);
    QList<double> rawDown, rawUp, clientDown, clientUp;
    for (int i = 0; i < runs; ++i) {
        rawDown << rawDownload(o.linkPath, QStringLiteral("BIG.BIN"), size);
        rawUp << rawUpload(sim, o.linkPath, data);
    }
    LinkSession session;
    session.selectPort(o.linkPath);
    QString line;
    for (const QString& e : listRoot(session)) {
        if (listing::firstField(e) == QLatin1String("BIG.BIN"))
            line = e;
    }
    for (int i = 0; i < runs; ++i) {
        clientDown << clientDownload(session, line, dest.path());
        clientUp << clientUpload(session, sim, local.path() + QStringLiteral("/up.bin"));
    }
    // Line time of the data alone, 10 bits per byte (8N1).
    const double lineTime = lineRate > 0 ? double(size) * 10.0 / double(lineRate) : 0;
    const QByteArray label =
        lineRate > 0 ? QByteArray("at ") + QByteArray::number(lineRate) : "unpaced";
    report(("download " + label).constData(), size, best(rawDown), best(clientDown), lineTime);
    report(("upload " + label).constData(), size, best(rawUp), best(clientUp), lineTime);
}
} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qputenv("QT_LOGGING_RULES", "default.debug=false");
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
    qint64 mb = 8;
    qint64 pacedKb = 64;
    int runs = 3;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--mb"))
            mb = args.at(++i).toLongLong();
        else if (args.at(i) == QLatin1String("--paced-kb"))
            pacedKb = args.at(++i).toLongLong();
        else if (args.at(i) == QLatin1String("--runs"))
            runs = args.at(++i).toInt();
    }
    runSet(0, mb * 1024 * 1024, runs);
    if (pacedKb > 0)
        runSet(115200, pacedKb * 1024, 1);
    return 0;
}
