// One brennock per user: a second start, a real second process, hands its file name
// (or an empty one) to the first and ends.
#include "PtyPair.h"
#include "SingleInstance.h"
#include "UiTestSupport.h"

#include <QLocalServer>
#include <QLocalSocket>
#include <QSignalSpy>

#include <thread>

class SingleInstanceTest : public QObject
{
    Q_OBJECT

private slots:
    void secondProcessHandsOverToFirst();
    void staleSocketIsTakenOver();
    void handOverInProcess();
};

namespace
{

QProcessEnvironment brennockEnvironment(const TempConfig& config, const QString& socket)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), config.path());
    env.insert(QStringLiteral("XDG_CACHE_HOME"), config.path() + QStringLiteral("/cache"));
    env.insert(QStringLiteral("BRENNOCK_INSTANCE_NAME"), socket);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("brennock.shell.info=true"));
    return env;
}

bool listening(const QString& socket)
{
    QLocalSocket probe;
    probe.connectToServer(socket);
    return probe.waitForConnected(200);
}

} // namespace

void SingleInstanceTest::secondProcessHandsOverToFirst()
{
    TempConfig config;
    PtyPair pair;
    QVERIFY(pair.ok());
    config.usePort(QStringLiteral("COM3"), pair.slavePath());
    const QString socket = config.path() + QStringLiteral("/brennock.sock");

    QProcess first;
    first.setProcessEnvironment(brennockEnvironment(config, socket));
    first.start(QStringLiteral(BRENNOCK_PATH), QStringList());
    QVERIFY(first.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(listening(socket), 10000);

    // Named relative to the second start's own folder.
    const QString file = config.path() + QStringLiteral("/APP.BIN");
    QProcess second;
    second.setProcessEnvironment(brennockEnvironment(config, socket));
    second.setWorkingDirectory(config.path());
    second.start(QStringLiteral(BRENNOCK_PATH), {QStringLiteral("APP.BIN")});
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QByteArray log;
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += first.readAllStandardError()).contains("second start handed over " + file.toUtf8()),
        5000);
    // Opened as a document there: it joined the first instance's recent list.
    QTRY_VERIFY_WITH_TIMEOUT(SettingsStore(config.iniPath())
                                     .readText(QStringLiteral("Recent File List"),
                                               QStringLiteral("File1"), QString()) == file,
                             5000);

    QProcess third;
    third.setProcessEnvironment(brennockEnvironment(config, socket));
    third.start(QStringLiteral(BRENNOCK_PATH), QStringList());
    QVERIFY(third.waitForFinished(10000));
    QCOMPARE(third.exitCode(), 0);
    QTRY_VERIFY_WITH_TIMEOUT(
        (log += first.readAllStandardError()).contains("second start handed over (no file)"), 5000);
    QCOMPARE(first.state(), QProcess::Running);

    first.terminate();
    if (!first.waitForFinished(5000))
        first.kill();
}

void SingleInstanceTest::staleSocketIsTakenOver()
{
    QTemporaryDir dir;
    const QString name = dir.path() + QStringLiteral("/stale.sock");
    // A socket file nobody listens on, as a crashed instance leaves it.
    {
        QLocalServer dead;
        dead.setSocketOptions(QLocalServer::UserAccessOption);
        QVERIFY(dead.listen(name));
    }
    QFile placeholder(name);
    if (!placeholder.exists()) {
        // QLocalServer removes its file on close; leave a plain file behind instead.
        QVERIFY(placeholder.open(QIODevice::WriteOnly));
        placeholder.close();
    }
    SingleInstance instance(name);
    QCOMPARE(instance.start(QString()), SingleInstance::Role::Primary);
    QVERIFY(listening(name));
}

void SingleInstanceTest::handOverInProcess()
{
    QTemporaryDir dir;
    const QString name = dir.path() + QStringLiteral("/inproc.sock");
    SingleInstance primary(name);
    QCOMPARE(primary.start(QString()), SingleInstance::Role::Primary);
    QSignalSpy handed(&primary, &SingleInstance::fileHandedOver);
    // The second start's blocking hand-over needs the primary's loop: run it on a thread.
    const QString odd = QStringLiteral("/tmp/a file\nwith newline and \u00E9.run");
    bool answered = false;
    std::thread second([&] { answered = SingleInstance::handOver(name, odd); });
    QTRY_COMPARE(handed.size(), 1);
    second.join();
    QVERIFY(answered);
    QCOMPARE(handed.first().first().toString(), odd);
}

QTEST_MAIN(SingleInstanceTest)
#include "tst_single_instance.moc"
