#include "LoadCli.h"

#include "ConsoleFeedback.h"
#include "HeadlessLoadHost.h"
#include "LoadCommands.h"
#include "ManyPortLoad.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>

#include <cstdio>
#include <unistd.h>

namespace
{

// How long the line is read after the load, for the instrument's answer to 'G'.
constexpr int kAnswerListenMs = 500;

void writeOut(const QByteArray& bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stdout);
    std::fflush(stdout);
}

uint32_t leadingNumber(const QString& text)
{
    uint32_t value = 0;
    for (QChar c : text.trimmed()) {
        if (!c.isDigit())
            break;
        value = value * 10 + uint32_t(c.digitValue());
    }
    return value;
}

int usage(const QString& problem)
{
    std::fprintf(stderr, "brennock: %s\n%s", qPrintable(problem), qPrintable(loadUsageText()));
    return 2;
}

// Prints what the instrument says until the line has been read for ms.
void echoLine(SerialPort& port, int ms)
{
    port.SetReadTimeouts(kMaxDword, kMaxDword, 50);
    QElapsedTimer t;
    t.start();
    char buffer[1024];
    while (t.elapsed() < ms) {
        const int n = port.Read(buffer, int(sizeof buffer), false);
        if (n > 0) {
            writeOut(QByteArray(buffer, n));
        } else {
            if (port.lastError() != 0 && !port.lastIoTimedOut())
                return; // the device is gone
            ::usleep(20000);
        }
    }
}

} // namespace

QString loadUsageText()
{
    return QStringLiteral(
        "  brennock --load FILE [--port COMn|DEVICE]... [--baud N] [--download-baud N]\n"
        "        load FILE into the instrument without a window (as the Load command:\n"
        "        .BIN is converted and its .RUN loaded; .RUN, .APP, .PXE, hex files,\n"
        "        anything else is sent as text with CAPTURE). Without --port the stored\n"
        "        COM Port is used. Several --port load every port at once and end with\n"
        "        a table: port, result, CRC line, seconds. Exit status 0 when the load\n"
        "        succeeded (on every port), 1 when it failed, 2 for a usage error.\n");
}

int loadMain(const QStringList& args, const LoadCliEnvironment& env)
{
    QString file, portName = env.storedPort, baud = env.baudRate,
                  downloadBaud = env.downloadBaudRate;
    QStringList ports; // every --port, in order
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        const auto value = [&](QString* out) {
            if (i + 1 >= args.size() || args.at(i + 1).startsWith(QLatin1String("--")))
                return false;
            *out = args.at(++i);
            return true;
        };
        bool ok = true;
        QString* rate = nullptr;
        if (a == QLatin1String("--load")) {
            ok = value(&file);
        } else if (a == QLatin1String("--port")) {
            ok = value(&portName);
            if (ok)
                ports << portName;
        } else if (a == QLatin1String("--baud")) {
            ok = value(rate = &baud);
        } else if (a == QLatin1String("--download-baud")) {
            ok = value(rate = &downloadBaud);
        } else {
            return usage(QStringLiteral("unknown argument \"%1\"").arg(a));
        }
        if (!ok)
            return usage(QStringLiteral("%1 needs a value").arg(a));
        if (rate && leadingNumber(*rate) == 0)
            return usage(
                QStringLiteral("%1 needs a rate in baud, such as 9600, not \"%2\"").arg(a, *rate));
    }
    if (file.isEmpty() && !env.followUp)
        return usage(QStringLiteral("--load needs a file"));
    const MonitorSession::Rates rates{leadingNumber(baud), leadingNumber(downloadBaud)};
    if (ports.size() > 1) {
        // The script reads one console; its steps would not know which port to read.
        if (env.followUp)
            return usage(QStringLiteral("the script steps (--send, --expect, ...) talk to one "
                                        "port: give a single --port with them"));
        QVector<LoadPortTarget> targets;
        QString problem;
        if (!resolveLoadPorts(ports, env, &targets, &problem))
            return usage(problem);
        return loadManyPorts(QFileInfo(file).absoluteFilePath(), targets, rates, env);
    }

    // A path or an rfc2217:// address names a device; COMn goes through the bindings.
    const QString device = loadDeviceOf(portName, env);
    if (device.isEmpty())
        return usage(QStringLiteral("\"%1\" names no serial device").arg(portName));

    ConsoleFeedback feedback(stderr);
    const std::unique_ptr<SerialPort> opened = openLoadPort(portName, device, env, rates, feedback);
    if (!opened)
        return 1;
    SerialPort& port = *opened;

    LoadCliFollowUp* followUp = env.followUp;
    HeadlessLoadHost host(port, rates, [followUp](const QByteArray& bytes) {
        if (followUp)
            followUp->consoleText(bytes);
        else
            writeOut(bytes);
    });
    if (file.isEmpty())
        return env.followUp->run(port);
    const bool interactive = ::isatty(STDERR_FILENO) == 1;
    LoadCommands commands(host, env.settings, feedback, [interactive] {
        return std::make_unique<ConsoleLoadProgress>(stderr, interactive);
    });
    const bool ok = commands.OnLoadAny(QFileInfo(file).absoluteFilePath());
    if (env.followUp)
        return ok ? env.followUp->run(port) : 1;
    echoLine(port, kAnswerListenMs);
    return ok ? 0 : 1;
}
