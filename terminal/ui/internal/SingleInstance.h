// One brennock per user, through a local socket.
//
// The first start listens on a per-user name. A second start connects, sends its file
// name (possibly empty) as one UTF-8 line, waits for the first instance's "OK" and
// ends; the first instance opens the file as a document and comes to the front. A
// name left behind by a crashed instance (nobody answers) is removed and taken over.
//
// The socket lives where only its user can create files (XDG_RUNTIME_DIR, else a 0700
// folder of the user's own), and both ends check the other's user id (SO_PEERCRED):
// a socket that another user put there first gets no file name and does not make
// brennock end.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;
class QLocalSocket;

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    static constexpr int kConnectTimeoutMs = 1000;
    static constexpr int kAnswerTimeoutMs = 5000;

    // "<private folder>/brennock-instance", or $BRENNOCK_INSTANCE_NAME when it is set.
    // Empty when no private folder could be found or made.
    static QString defaultName();
    // The folder the socket goes in: $XDG_RUNTIME_DIR when it is a folder that only
    // this user may write, else "<temp>/brennock-<uid>", else "~/.cache/brennock", each
    // made with mode 0700 and accepted only if this user owns it and nobody else may
    // write it. Empty when none qualifies.
    static QString privateFolder();

    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Role { Primary, HandedOver, Failed };
    // Becomes the one instance, or hands fileName to the running one.
    Role start(const QString& fileName);
    QString name() const { return serverName; }

    // As a second start: sends fileName to the running instance; true once it answered.
    // Nothing is sent to a socket that another user listens on.
    static bool handOver(const QString& name, const QString& fileName,
                         int timeoutMs = kAnswerTimeoutMs);

signals:
    // A second start handed this file name over (possibly empty).
    void fileHandedOver(const QString& fileName);

private:
    bool listen();
    void acceptConnection();

    QString serverName;
    QLocalServer* server = nullptr;
};

// True when the process at the other end of the connected socket runs as this user.
bool peerIsSameUser(const QLocalSocket& socket);
