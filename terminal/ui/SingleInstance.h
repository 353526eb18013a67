// One brennock per user, through a local socket.
//
// The first start listens on a per-user name. A second start connects, sends its file
// name (possibly empty) as one UTF-8 line, waits for the first instance's "OK" and
// ends; the first instance opens the file as a document and comes to the front. A
// name left behind by a crashed instance (nobody answers) is removed and taken over.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

class SingleInstance : public QObject
{
    Q_OBJECT

public:
    static constexpr int kConnectTimeoutMs = 1000;
    static constexpr int kAnswerTimeoutMs = 5000;

    // "brennock-<user>", or $BRENNOCK_INSTANCE_NAME when it is set.
    static QString defaultName();

    explicit SingleInstance(const QString& name, QObject* parent = nullptr);
    ~SingleInstance() override;

    enum class Role { Primary, HandedOver, Failed };
    // Becomes the one instance, or hands fileName to the running one.
    Role start(const QString& fileName);
    QString name() const { return serverName; }

    // As a second start: sends fileName to the running instance; true once it answered.
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
