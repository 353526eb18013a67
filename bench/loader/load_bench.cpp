// Block-load benchmark: a MonitorLoad through the real qx2sim with --line-rate, the
// data phase timed from the host's '+' to the monitor's '-' and compared with the
// line limit at 8N2 (11 bits a byte). --latency MS holds every byte the host
// receives for MS milliseconds before the conversation sees it, as a USB serial
// adapter's latency timer does; --sim-arg passes a switch to qx2sim.
//
//   load_bench [--size BYTES] [--rate BPS] [--latency MS] [--sim PATH] [--sim-arg ARG]...
#include "ConsoleFeedback.h"
#include "MonitorSession.h"
#include "SerialMonitorLine.h"
#include "SerialPort.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace
{

// Times the data phase and delays received bytes like an adapter's latency timer.
class TimedLine : public MonitorLine
{
public:
    TimedLine(MonitorLine& inner, uint32_t downloadRate, int latencyMs)
        : inner(inner), downloadRate(downloadRate), latencyMs(latencyMs)
    {
    }
    QElapsedTimer clock;
    qint64 plusAtNs = -1;
    qint64 minusAtNs = -1;
    int replies = 0;

    int inputCount() override { return inner.inputCount(); }
    int read(char* buffer, int count) override
    {
        const int n = inner.read(buffer, count);
        if (n > 0 && plusAtNs >= 0 && latencyMs > 0) {
            ++replies;
            QThread::usleep(static_cast<unsigned long>(latencyMs) * 1000);
        }
        if (n == 1 && buffer[0] == monitor::kMinus && plusAtNs >= 0 && minusAtNs < 0)
            minusAtNs = clock.nsecsElapsed();
        return n;
    }
    int write(const char* bytes, int count) override
    {
        if (rate == downloadRate && plusAtNs < 0 && count == 1 && bytes[0] == monitor::kPlus)
            plusAtNs = clock.nsecsElapsed();
        return inner.write(bytes, count);
    }
    bool setBaudRate(uint32_t r) override
    {
        rate = r;
        return inner.setBaudRate(r);
    }
    bool setLineFormat(uint8_t p, uint8_t b, uint8_t s) override
    {
        return inner.setLineFormat(p, b, s);
    }
    bool setReadTimeouts(uint32_t i, uint32_t m, uint32_t c) override
    {
        return inner.setReadTimeouts(i, m, c);
    }
    bool setWriteTimeouts(uint32_t m, uint32_t c) override { return inner.setWriteTimeouts(m, c); }
    std::unique_ptr<LineRestorer> saveLineState() override { return inner.saveLineState(); }
    std::unique_ptr<LineRestorer> lowLatency() override { return inner.lowLatency(); }
    bool deviceFailed() const override { return inner.deviceFailed(); }
    QString failureText() const override { return inner.failureText(); }

private:
    MonitorLine& inner;
    uint32_t downloadRate;
    int latencyMs;
    uint32_t rate = 0;
};

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    qint64 size = 1 << 20;
    uint32_t rate = 115200;
    int latencyMs = 0;
    QStringList simArgs;
    QString simProgram = QStringLiteral(QX2SIM_PROGRAM);
    const QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == QLatin1String("--size"))
            size = args[i + 1].toLongLong();
        else if (args[i] == QLatin1String("--rate"))
            rate = args[i + 1].toUInt();
        else if (args[i] == QLatin1String("--latency"))
            latencyMs = args[i + 1].toInt();
        else if (args[i] == QLatin1String("--sim"))
            simProgram = args[i + 1];
        else if (args[i] == QLatin1String("--sim-arg"))
            simArgs << args[i + 1];
    }

    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    QProcess sim;
    sim.start(simProgram, QStringList{QStringLiteral("--link"), link, QStringLiteral("--line-rate"),
                                      QString::number(rate)} +
                              simArgs);
    if (!sim.waitForReadyRead(10000) || !sim.readLine().startsWith("READY")) {
        std::fprintf(stderr, "load_bench: qx2sim did not start\n");
        return 1;
    }

    SerialPort port(link);
    if (!port.isOpen()) {
        std::fprintf(stderr, "load_bench: cannot open %s\n", qPrintable(link));
        return 1;
    }
    port.SetBaudRate(9600);
    SerialMonitorLine serialLine(port);
    TimedLine line(serialLine, rate, latencyMs);
    ConsoleFeedback feedback(stderr);
    MonitorSession session(line, feedback, {9600, rate});

    QByteArray data(int(size), '\0');
    QRandomGenerator gen(42);
    for (int i = 0; i < data.size(); ++i)
        data[i] = char(gen.bounded(256));

    line.clock.start();
    const bool loaded = session.MonitorLoad(data.constData(), data.size(), 0x100000).ok();
    sim.terminate();
    sim.waitForFinished(5000);
    if (!loaded || line.plusAtNs < 0 || line.minusAtNs < 0) {
        std::fprintf(stderr, "load_bench: the load failed\n");
        return 1;
    }
    const double seconds = double(line.minusAtNs - line.plusAtNs) / 1e9;
    const double limit = double(rate) / 11.0;
    const double bytesPerSecond = double(size) / seconds;
    std::printf("size %lld bytes, line %u baud 8N2 (limit %.0f bytes/s), latency %d ms, sim %s\n",
                size, rate, limit, latencyMs, qPrintable(simArgs.join(QLatin1Char(' '))));
    std::printf("data phase %.3f s, %.0f bytes/s, %.1f %% of the line limit\n", seconds,
                bytesPerSecond, 100.0 * bytesPerSecond / limit);
    return 0;
}
