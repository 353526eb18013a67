#include "Ser2netServer.h"

#include <QElapsedTimer>
#include <QFile>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

namespace
{

constexpr int kStartLimitMs = 5000;

// A port nobody uses now. Other tests run at the same time, so the kernel chooses it.
quint16 freePort()
{
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost, 0))
        return 0;
    return probe.serverPort();
}

} // namespace

QString Ser2netServer::program()
{
    return QStandardPaths::findExecutable(
        QStringLiteral("ser2net"),
        {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin"), QStringLiteral("/sbin")});
}

bool Ser2netServer::start(const QString& dev, QString* error)
{
    device = dev;
    tcpPort = freePort();
    if (tcpPort == 0) {
        *error = QStringLiteral("no free TCP port");
        return false;
    }
    return restart(error);
}

bool Ser2netServer::restart(QString* error)
{
    const QString config = dir.path() + QStringLiteral("/ser2net.yaml");
    QFile file(config);
    if (!file.open(QIODevice::WriteOnly)) {
        *error = QStringLiteral("cannot write %1").arg(config);
        return false;
    }
    file.write(QStringLiteral("connection: &instrument\n"
                              "  accepter: telnet(rfc2217),tcp,127.0.0.1,%1\n"
                              "  connector: serialdev,%2,9600n81,local\n")
                   .arg(tcpPort)
                   .arg(device)
                   .toUtf8());
    file.close();
    process.setProcessChannelMode(QProcess::MergedChannels);
    // -n: stay in the foreground; -d: no syslog; -u: no UUCP lock, the test owns the pty.
    process.start(program(), {QStringLiteral("-n"), QStringLiteral("-d"), QStringLiteral("-u"),
                              QStringLiteral("-c"), config});
    if (!process.waitForStarted(kStartLimitMs)) {
        *error = QStringLiteral("ser2net does not start: %1").arg(process.errorString());
        return false;
    }
    QElapsedTimer clock;
    clock.start();
    while (!listening()) {
        if (process.state() != QProcess::Running || clock.elapsed() > kStartLimitMs) {
            *error = QStringLiteral("ser2net does not listen: %1")
                         .arg(QString::fromLocal8Bit(process.readAll()));
            return false;
        }
        QThread::msleep(20);
    }
    return true;
}

void Ser2netServer::stop()
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(kStartLimitMs)) {
        process.kill();
        process.waitForFinished(kStartLimitMs);
    }
}

QString Ser2netServer::url() const
{
    return QStringLiteral("rfc2217://127.0.0.1:%1").arg(tcpPort);
}

bool Ser2netServer::listening() const
{
    // Looked up in the kernel's table rather than by connecting: a connection would
    // open the device.
    QFile table(QStringLiteral("/proc/net/tcp"));
    if (!table.open(QIODevice::ReadOnly))
        return false;
    const QByteArray local =
        "0100007F:" + QByteArray::number(tcpPort, 16).toUpper().rightJustified(4, '0');
    for (const QByteArray& line : table.readAll().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        if (fields.size() > 3 && fields.at(1) == local && fields.at(3) == "0A")
            return true;
    }
    return false;
}
