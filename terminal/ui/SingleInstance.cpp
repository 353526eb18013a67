#include "SingleInstance.h"

#include <QLocalServer>
#include <QLocalSocket>

#include <unistd.h>

namespace
{
const QByteArray kAnswer = QByteArrayLiteral("OK\n");
constexpr int kMaxLineBytes = 64 * 1024;
} // namespace

QString SingleInstance::defaultName()
{
    const QByteArray forced = qgetenv("BRENNOCK_INSTANCE_NAME");
    if (!forced.isEmpty())
        return QString::fromLocal8Bit(forced);
    return QStringLiteral("brennock-%1").arg(static_cast<qulonglong>(getuid()));
}

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), serverName(name)
{
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Role SingleInstance::start(const QString& fileName)
{
    QLocalSocket probe;
    probe.connectToServer(serverName);
    if (probe.waitForConnected(kConnectTimeoutMs)) {
        probe.abort();
        // A live instance: the name is its own even if it is too busy to answer now;
        // the file name waits in the socket until its event loop runs again.
        handOver(serverName, fileName);
        return Role::HandedOver;
    }
    // Nobody listens: a socket left with this name belongs to a dead instance.
    QLocalServer::removeServer(serverName);
    return listen() ? Role::Primary : Role::Failed;
}

bool SingleInstance::listen()
{
    server = new QLocalServer(this);
    server->setSocketOptions(QLocalServer::UserAccessOption);
    if (!server->listen(serverName))
        return false;
    connect(server, &QLocalServer::newConnection, this, &SingleInstance::acceptConnection);
    return true;
}

void SingleInstance::acceptConnection()
{
    while (QLocalSocket* socket = server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
            if (!socket->canReadLine()) {
                if (socket->bytesAvailable() > kMaxLineBytes)
                    socket->abort(); // not one of ours
                return;
            }
            const QByteArray line = socket->readLine();
            const QString fileName =
                QString::fromUtf8(QByteArray::fromPercentEncoding(line.trimmed()));
            socket->write(kAnswer);
            socket->flush();
            socket->disconnectFromServer();
            emit fileHandedOver(fileName);
        });
    }
}

bool SingleInstance::handOver(const QString& name, const QString& fileName, int timeoutMs)
{
    QLocalSocket socket;
    socket.connectToServer(name);
    if (!socket.waitForConnected(kConnectTimeoutMs))
        return false;
    QByteArray line = fileName.toUtf8().toPercentEncoding("/");
    line.append('\n');
    socket.write(line);
    if (!socket.waitForBytesWritten(timeoutMs))
        return false;
    QByteArray answer;
    while (!answer.contains('\n')) {
        if (!socket.waitForReadyRead(timeoutMs))
            break;
        answer += socket.readAll();
    }
    return answer == kAnswer;
}
