#include "ManyPortLoad.h"

#include "ConsoleFeedback.h"
#include "HeadlessLoadHost.h"
#include "LoadBoard.h"
#include "LoadCommands.h"
#include "PostLink.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>
#include <thread>
#include <unistd.h>

namespace
{

// The last CRC report among the loaders' status lines.
QByteArray crcLineOf(const QByteArray& statusText)
{
    QByteArray found;
    for (const QByteArray& line : statusText.split('\n')) {
        if (line.startsWith(monitor::kCrcReportStart))
            found = line.trimmed();
    }
    return found;
}

PortLoadResult loadOnePort(const QString& file, const LoadPortTarget& target,
                           MonitorSession::Rates rates, const LoadCliEnvironment& env,
                           LoadBoard& board, int row)
{
    QElapsedTimer clock;
    clock.start();
    PortLoadResult result;
    result.port = target.name;
    UserFeedback& feedback = board.feedbackFor(row);
    if (const std::unique_ptr<SerialPort> port =
            openLoadPort(target.name, target.device, env, rates, feedback)) {
        QByteArray statusText;
        HeadlessLoadHost host(*port, rates,
                              [&statusText](const QByteArray& bytes) { statusText += bytes; });
        // No store: the paths are remembered once, by the caller.
        LoadCommands commands(host, nullptr, feedback, board.progressFor(row));
        result.ok = commands.OnLoadAny(file);
        result.crcLine = crcLineOf(statusText);
    }
    result.seconds = double(clock.elapsed()) / 1000.0;
    board.finish(row, result.ok);
    return result;
}

// What every port loads: the file, or for a .BIN the .RUN of its one conversion (empty
// when that failed, after telling the user).
QString fileToLoad(const QString& file, UserFeedback& feedback)
{
    if (loadcmd::upperPathForm(file).right(3) != QLatin1String("BIN"))
        return file;
    const bool interactive = ::isatty(STDERR_FILENO) == 1;
    const postlink::PostLinkResult converted = postlink::PostLink(file, feedback, [interactive] {
        return std::make_unique<ConsoleLoadProgress>(stderr, interactive);
    });
    return converted.succeeded ? loadcmd::runPathOf(converted.basePath) : QString();
}

} // namespace

bool resolveLoadPorts(const QStringList& names, const LoadCliEnvironment& env,
                      QVector<LoadPortTarget>* targets, QString* problem)
{
    QStringList identities; // the device behind each link, to catch a port named twice
    for (const QString& name : names) {
        const QString device = loadDeviceOf(name, env);
        if (device.isEmpty()) {
            *problem = QStringLiteral("\"%1\" names no serial device").arg(name);
            return false;
        }
        const QString canonical = QFileInfo(device).canonicalFilePath();
        const QString identity = canonical.isEmpty() ? device : canonical;
        const int seen = identities.indexOf(identity);
        if (seen >= 0) {
            *problem = QStringLiteral("\"%1\" and \"%2\" are the same port (%3): each port "
                                      "takes one load")
                           .arg(targets->at(seen).name, name, identity);
            return false;
        }
        identities << identity;
        targets->append({name, device});
    }
    return true;
}

QByteArray loadResultTable(const QVector<PortLoadResult>& results)
{
    const QByteArray heads[] = {"PORT", "RESULT", "CRC LINE", "SECONDS"};
    QVector<QByteArray> ports, crcs, seconds;
    int widths[] = {heads[0].size(), heads[1].size(), heads[2].size(), heads[3].size()};
    for (const PortLoadResult& r : results) {
        ports << r.port.toLocal8Bit();
        crcs << (r.crcLine.isEmpty() ? QByteArray("-") : r.crcLine);
        seconds << QByteArray::number(r.seconds, 'f', 1);
        widths[0] = std::max(widths[0], ports.last().size());
        widths[2] = std::max(widths[2], crcs.last().size());
        widths[3] = std::max(widths[3], seconds.last().size());
    }
    const auto line = [&](const QByteArray& port, const QByteArray& result, const QByteArray& crc,
                          const QByteArray& secs) {
        return port.leftJustified(widths[0]) + "  " + result.leftJustified(widths[1]) + "  " +
               crc.leftJustified(widths[2]) + "  " + secs.rightJustified(widths[3]) + '\n';
    };
    QByteArray table = line(heads[0], heads[1], heads[2], heads[3]);
    for (int i = 0; i < results.size(); ++i)
        table += line(ports.at(i), results.at(i).ok ? "ok" : "failed", crcs.at(i), seconds.at(i));
    return table;
}

int loadManyPorts(const QString& file, const QVector<LoadPortTarget>& ports,
                  MonitorSession::Rates rates, const LoadCliEnvironment& env)
{
    ConsoleFeedback feedback(stderr);
    const QString loaded = fileToLoad(file, feedback);
    if (loaded.isEmpty())
        return 1;

    QStringList names;
    for (const LoadPortTarget& p : ports)
        names << p.name;
    // One element per thread, read only after every thread has ended.
    std::vector<PortLoadResult> ended(size_t(ports.size()));
    {
        LoadBoard board(stderr, ::isatty(STDERR_FILENO) == 1, names);
        std::vector<std::thread> threads;
        for (int i = 0; i < ports.size(); ++i) {
            threads.emplace_back([&, i] {
                ended[size_t(i)] = loadOnePort(loaded, ports.at(i), rates, env, board, i);
            });
        }
        for (std::thread& t : threads)
            t.join();
    }
    const QVector<PortLoadResult> results(ended.begin(), ended.end());

    const QByteArray table = loadResultTable(results);
    std::fwrite(table.constData(), 1, size_t(table.size()), stdout);
    std::fflush(stdout);
    QStringList failed;
    for (const PortLoadResult& r : results) {
        if (!r.ok)
            failed << r.port;
    }
    if (failed.size() < results.size())
        loadcmd::rememberLoadOf(env.settings, file);
    if (failed.isEmpty())
        return 0;
    std::fprintf(stderr, "brennock: the load failed on %s (%d of %d ports)\n",
                 qPrintable(failed.join(QStringLiteral(", "))), int(failed.size()),
                 int(results.size()));
    return 1;
}
