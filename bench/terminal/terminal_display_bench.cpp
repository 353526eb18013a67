// How fast the terminal window shows a flood, how long the event loop can stall while
// it does, what a full 16,777,215-character text costs in memory, and what an idle
// connected window costs in CPU. The real main frame, document and comm thread on a
// pty; the far end is a thread writing console lines as fast as the pty takes them.
//
//   QT_QPA_PLATFORM=offscreen terminal_display_bench [--out FILE] [--megabytes N] [--line-bytes N]
#include "BrennockDoc.h"
#include "BrennockView.h"
#include "ConsoleFeedback.h"
#include "MainFrame.h"
#include "PortBindings.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"
#include "UserFeedback.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>
#include <QTextStream>
#include <QThread>
#include <QTimer>

#include <atomic>
#include <cstdio>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/resource.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace
{

long rssKb(const char* field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> lines = status.readAll().split('\n');
    for (const QByteArray& line : lines) {
        if (line.startsWith(field))
            return line.mid(int(qstrlen(field))).trimmed().split(' ').value(0).toLong();
    }
    return -1;
}

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// Measures the longest gap between ticks of a 5 ms timer: the event loop's stalls.
class StallMeter : public QObject
{
public:
    StallMeter()
    {
        timer.setInterval(5);
        timer.setTimerType(Qt::PreciseTimer);
        connect(&timer, &QTimer::timeout, this, [this] {
            const qint64 now = clock.nsecsElapsed();
            if (last >= 0)
                worst = qMax(worst, now - last);
            last = now;
        });
    }
    void start()
    {
        worst = 0;
        last = -1;
        clock.start();
        timer.start();
    }
    double stop()
    {
        timer.stop();
        return worst / 1e6;
    }

private:
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = -1;
    qint64 worst = 0;
};

// 80 characters and CR LF by default: one line, 81 characters shown.
int kLineBytes = 82;

// The far end: console lines, as fast as the pty takes them.
class Flood
{
public:
    explicit Flood(int master) : master(master) {}
    void start(long long total)
    {
        sent = 0;
        worker = std::thread([this, total] {
            QByteArray block;
            for (int line = 0; block.size() < 64 * 1024; ++line)
                block += (QByteArray("DATA001.DAT  12,345 02-29-20 12:05a  line ") +
                          QByteArray::number(line))
                             .leftJustified(kLineBytes - 2, '.', true) +
                         "\r\n";
            while (sent < total) {
                // Go on where a partial write stopped, so the lines stay whole.
                const int offset = int(sent % block.size());
                const int want = int(qMin<long long>(block.size() - offset, total - sent));
                const ssize_t n = ::write(master, block.constData() + offset, size_t(want));
                if (n > 0) {
                    sent += n;
                    continue;
                }
                pollfd p{master, POLLOUT, 0};
                ::poll(&p, 1, 50);
            }
        });
    }
    void join()
    {
        if (worker.joinable())
            worker.join();
    }
    std::atomic<long long> sent{0};

private:
    int master;
    std::thread worker;
};

// Runs the event loop for ms, sleeping while nothing happens, as the program does.
void pump(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Runs the event loop until done() or the deadline.
template <typename Done> void runUntil(Done done, int deadlineMs)
{
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < deadlineMs)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
}

} // namespace

int main(int argc, char* argv[])
{
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? QByteArray("offscreen")
                                                                    : qgetenv("QT_QPA_PLATFORM"));
    QApplication app(argc, argv);
    QString outPath;
    long long floodBytes = 12LL * 1000 * 1000;
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); ++i) {
        if (args.at(i) == QLatin1String("--out"))
            outPath = args.at(i + 1);
        else if (args.at(i) == QLatin1String("--line-bytes"))
            kLineBytes = qBound(3, args.at(i + 1).toInt(), 64 * 1024 * 1024);
        else if (args.at(i) == QLatin1String("--megabytes"))
            floodBytes = args.at(i + 1).toLongLong() * 1000 * 1000;
    }

    QTemporaryDir folder;
    qputenv("XDG_CONFIG_HOME", folder.path().toLocal8Bit());
    int master = -1, slave = -1;
    char name[256] = {};
    if (::openpty(&master, &slave, name, nullptr, nullptr) != 0) {
        std::perror("openpty");
        return 1;
    }
    termios tio{};
    ::tcgetattr(slave, &tio);
    ::cfmakeraw(&tio);
    ::tcsetattr(slave, TCSANOW, &tio);
    ::fcntl(master, F_SETFL, ::fcntl(master, F_GETFL) | O_NONBLOCK);

    SettingsStore settings(brennockSettingsPath());
    writeStartDefaults(settings);
    bindPortDevice(settings, QStringLiteral("COM3"), QString::fromLocal8Bit(name));
    settings.writeText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"),
                       QStringLiteral("COM3"));

    ConsoleFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.show();
    frame.startDocument(QString());
    if (!frame.document().isConnected()) {
        std::fprintf(stderr, "not connected to %s\n", name);
        return 1;
    }
    CBrennockView* view = frame.view();
    pump(200);
    const long rssStart = rssKb("VmRSS:");

    // 1. Idle, connected: CPU over three seconds of a running event loop.
    const double idleCpuBefore = cpuSeconds();
    pump(3000);
    const double idleCpu = cpuSeconds() - idleCpuBefore;

    // 2. Flood: bytes shown per second, and the longest event-loop stall meanwhile.
    StallMeter stalls;
    Flood flood(master);
    QElapsedTimer clock;
    clock.start();
    stalls.start();
    flood.start(floodBytes - floodBytes % kLineBytes);
    // Every CR LF becomes one character, so count the lines to know when all is shown.
    floodBytes -= floodBytes % kLineBytes;
    const long long lineBytes = kLineBytes;
    const long long expectedChars = floodBytes - floodBytes / lineBytes;
    runUntil([&] { return view->document()->characterCount() - 1 >= expectedChars; }, 120000);
    const double floodSeconds = clock.nsecsElapsed() / 1e9;
    const double floodStall = stalls.stop();
    flood.join();
    const long long shown = view->textLength();
    const double floodRate = floodBytes / floodSeconds / 1e6;
    if (shown < expectedChars)
        std::fprintf(stderr, "flood not fully shown: %lld of %lld characters\n", shown,
                     expectedChars);

    // 3. Fill the text to its limit with the flood, then keep flooding past it.
    stalls.start();
    clock.restart();
    const long long toFill =
        (CBrennockView::kMaxTextLength - shown) * lineBytes / (lineBytes - 1) + 2 * 1000 * 1000;
    flood.start(toFill);
    runUntil([&] { return view->bufferFull(); }, 180000);
    const double fillSeconds = clock.nsecsElapsed() / 1e9;
    // Past the limit: the window must stay responsive while text is dropped.
    runUntil([&] { return flood.sent >= toFill; }, 180000);
    pump(300);
    flood.join();
    const double fullStall = stalls.stop();
    const long long fullLength = view->document()->characterCount() - 1;
    const long rssFull = rssKb("VmRSS:");
    const long rssPeak = rssKb("VmHWM:");

    // 4. Idle again with the full text.
    const double idleFullBefore = cpuSeconds();
    pump(3000);
    const double idleFullCpu = cpuSeconds() - idleFullBefore;

    QString report;
    QTextStream md(&report);
    md << "# Terminal window benchmark\n\n"
       << "Measured by `bench/terminal/terminal_display_bench` (run by hand: "
       << "`QT_QPA_PLATFORM=offscreen build/bench/terminal/terminal_display_bench --out "
          "docs/terminal-benchmark.md`).\n"
       << "The real main frame, document, comm thread and terminal view on a pty; a thread at the "
          "far "
       << "end writes " << kLineBytes << "-byte console lines as fast as the pty takes them.\n\n"
       << "Machine: " << QSysInfo::prettyProductName() << ", " << QThread::idealThreadCount()
       << " cores, Qt " << QString::fromLatin1(qVersion()) << ", platform "
       << QGuiApplication::platformName() << ".\n\n"
       << "| Figure | Target | Measured |\n|---|---|---|\n"
       << "| Flood of " << QString::number(floodBytes / 1e6, 'f', 1) << " MB shown | >= 5 MB/s | "
       << QString::number(floodRate, 'f', 1) << " MB/s (" << QString::number(floodSeconds, 'f', 2)
       << " s, " << shown << " characters) |\n"
       << "| Longest event-loop stall during the flood | <= 100 ms | "
       << QString::number(floodStall, 'f', 1) << " ms |\n"
       << "| Filling to 16,777,215 characters, then flooding 2 MB past the limit: longest stall | "
          "<= 100 ms | "
       << QString::number(fullStall, 'f', 1) << " ms (filled in "
       << QString::number(fillSeconds, 'f', 1) << " s) |\n"
       << "| Text length when full | 16,777,215 | " << fullLength << " |\n"
       << "| Memory (RSS) with the full text | < 200 MB | " << rssFull / 1024 << " MB (peak "
       << rssPeak / 1024 << " MB; " << rssStart / 1024 << " MB with an empty window) |\n"
       << "| CPU of the idle connected window, 3 s | none | "
       << QString::number(idleCpu * 1000, 'f', 1) << " ms ("
       << QString::number(idleFullCpu * 1000, 'f', 1)
       << " ms with the full text; the caret's blink) |\n\n"
       << "How: received bytes are translated and captured per delivery (at most 1024 bytes each), "
          "but the view "
       << "inserts them into the widget in batches, at most every " << RefreshPacer::kIntervalMs
       << " ms (RefreshPacer; at once after a quiet spell) or at once when "
       << CBrennockView::kFlushChars / 1024 << " K characters are pending, because "
       << "the widget's cost is per insert rather than per byte. Once the text is full, new text "
          "is only "
       << "captured, which costs nothing on screen. The idle window has no timers running: the "
          "comm thread "
       << "sleeps in poll() and the view's batch timer is single-shot.\n";
    md.flush();
    std::fputs(report.toUtf8().constData(), stdout);
    if (!outPath.isEmpty()) {
        QFile out(outPath);
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(report.toUtf8()) < 0) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(outPath));
            return 1;
        }
    }
    frame.document().Disconnect();
    ::close(slave);
    ::close(master);
    return 0;
}
