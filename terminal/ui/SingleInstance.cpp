#include "SingleInstance.h"

#include <QDir>
#include <QFile>
#include <QLocalServer>
#include <QLocalSocket>

#include <cerrno>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
const QByteArray kAnswer = QByteArrayLiteral("OK\n");
constexpr int kMaxLineBytes = 64 * 1024;

// A folder (not a link to one) of this user's that nobody else may write in.
bool isPrivateFolder(const QString& path)
{
    struct stat info = {};
    const QByteArray native = QFile::encodeName(path);
    return !path.isEmpty() && ::lstat(native.constData(), &info) == 0 && S_ISDIR(info.st_mode) &&
           info.st_uid == ::getuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

// Makes the folder with mode 0700 when it is missing, then checks it.
bool makePrivateFolder(const QString& path)
{
    const QByteArray native = QFile::encodeName(path);
    if (::mkdir(native.constData(), 0700) != 0 && errno != EEXIST)
        return false;
    return isPrivateFolder(path);
}

} // namespace

bool peerIsSameUser(const QLocalSocket& socket)
{
    struct ucred peer = {};
    socklen_t length = sizeof peer;
    const int fd = static_cast<int>(socket.socketDescriptor());
    return fd >= 0 && ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &length) == 0 &&
           peer.uid == ::getuid();
}

QString SingleInstance::privateFolder()
{
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && isPrivateFolder(runtime))
        return QDir::cleanPath(runtime);
    const QString uid = QString::number(static_cast<qulonglong>(::getuid()));
    const QString temp = QDir::tempPath() + QStringLiteral("/brennock-") + uid;
    if (makePrivateFolder(temp))
        return temp;
    const QString cache = QDir::homePath() + QStringLiteral("/.cache");
    QDir().mkpath(cache);
    const QString own = cache + QStringLiteral("/brennock");
    if (makePrivateFolder(own))
        return own;
    return QString();
}

QString SingleInstance::defaultName()
{
    const QByteArray forced = qgetenv("BRENNOCK_INSTANCE_NAME");
    if (!forced.isEmpty())
        return QString::fromLocal8Bit(forced);
    const QString folder = privateFolder();
    return folder.isEmpty() ? QString() : folder + QStringLiteral("/brennock-instance");
}

SingleInstance::SingleInstance(const QString& name, QObject* parent)
    : QObject(parent), serverName(name)
{
}

SingleInstance::~SingleInstance() = default;

SingleInstance::Role SingleInstance::start(const QString& fileName)
{
    if (serverName.isEmpty())
        return Role::Failed;
    QLocalSocket probe;
    probe.connectToServer(serverName);
    if (probe.waitForConnected(kConnectTimeoutMs)) {
        const bool ours = peerIsSameUser(probe);
        probe.abort();
        if (!ours)
            return Role::Failed; // someone else's socket: run on our own, tell it nothing
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
        if (!peerIsSameUser(*socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
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
    if (!socket.waitForConnected(kConnectTimeoutMs) || !peerIsSameUser(socket))
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
