// One port, one owner: brennock (SerialPort) and harbrooklink (LinkSession) refuse a
// device that another process holds, by either program and as root or as a normal
// user, name that process, and take over the lock of a process that is gone.
#include "LinkSession.h"
#include "PortLock.h"
#include "PtyPair.h"
#include "SerialPort.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QtTest>

#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace
{
const QString kBrennock = QStringLiteral("brennock");
const QString kHarbrook = QStringLiteral("harbrooklink");
const QString kRoot = QStringLiteral("root");
const QString kNormalUser = QStringLiteral("normal user");

// The probe as user: root runs it as nobody for the normal user; a normal user runs
// it as itself.
void startProbe(QProcess& probe, const QString& user, const QString& program, const char* mode,
                const QString& device)
{
    QStringList args{program, QString::fromLatin1(mode), device};
    if (user == kNormalUser && ::geteuid() == 0) {
        args.prepend(QStringLiteral(PORT_PROBE_PATH));
        args = QStringList{QStringLiteral("--reuid=nobody"), QStringLiteral("--regid=nogroup"),
                           QStringLiteral("--clear-groups")} +
               args;
        probe.start(QStringLiteral("setpriv"), args);
    } else {
        probe.start(QStringLiteral(PORT_PROBE_PATH), args);
    }
}

// This process opens device the way program does; the refusal text, or empty when open.
struct InProcessOpen {
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<LinkSession> session;
    QString refusal;

    bool open(const QString& program, const QString& device)
    {
        if (program == kBrennock) {
            port = std::make_unique<SerialPort>(device);
            refusal = port->lastErrorText();
            return port->isOpen() && port->lastError() == 0;
        }
        session = std::make_unique<LinkSession>();
        QObject::connect(session.get(), &LinkSession::logLine,
                         [this](const QString& line) { refusal = line; });
        return session->selectPort(device);
    }
};

QString ownCommName()
{
    return QFileInfo(QCoreApplication::applicationFilePath()).fileName().left(15);
}
bool isZombie(pid_t pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    return stat.open(QIODevice::ReadOnly) && stat.readAll().contains(") Z ");
}

} // namespace

class PortLockTest : public QObject
{
    Q_OBJECT

private slots:
    void anotherProcessHoldsThePort_data();
    void anotherProcessHoldsThePort();
    void staleLockIsTakenOver_data();
    void staleLockIsTakenOver();
    void deviceLockAloneStillRefuses_data();
    void deviceLockAloneStillRefuses();

private:
    bool skipUser(const QString& user)
    {
        if (user == kRoot && ::geteuid() != 0) {
            QTest::qSkip("not run as root: the root case needs it", __FILE__, __LINE__);
            return true;
        }
        return false;
    }
};

void PortLockTest::anotherProcessHoldsThePort_data()
{
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("holder");
    QTest::addColumn<QString>("opener");
    QTest::addColumn<bool>("probeHolds");
    for (const QString& user : {kRoot, kNormalUser}) {
        for (const QString& holder : {kBrennock, kHarbrook}) {
            for (const QString& opener : {kBrennock, kHarbrook}) {
                for (bool probeHolds : {true, false}) {
                    const QString row =
                        QStringLiteral("%1: %2 %3 holds, %4 %5")
                            .arg(user,
                                 probeHolds ? QStringLiteral("probe") : QStringLiteral("test"),
                                 holder, opener,
                                 probeHolds ? QStringLiteral("in the test")
                                            : QStringLiteral("in the probe"));
                    QTest::newRow(qPrintable(row)) << user << holder << opener << probeHolds;
                }
            }
        }
    }
}

void PortLockTest::anotherProcessHoldsThePort()
{
    QFETCH(QString, user);
    QFETCH(QString, holder);
    QFETCH(QString, opener);
    QFETCH(bool, probeHolds);
    if (skipUser(user))
        return;
    PtyPair pty;
    QVERIFY2(pty.ok(), qPrintable(pty.error()));
    QVERIFY(::chmod(QFile::encodeName(pty.slavePath()).constData(), 0666) == 0);

    QProcess probe;
    if (probeHolds) {
        startProbe(probe, user, holder, "hold", pty.slavePath());
        QVERIFY2(probe.waitForReadyRead(5000), probe.readAllStandardError().constData());
        const QByteArray said = probe.readLine().trimmed();
        QVERIFY2(said == "opened", said.constData());
        InProcessOpen second;
        QVERIFY2(!second.open(opener, pty.slavePath()), "a held port was opened again");
        const QString named = QStringLiteral("port_probe (PID %1)").arg(probe.processId());
        QVERIFY2(second.refusal.contains(named), qPrintable(second.refusal));
        probe.closeWriteChannel();
        QVERIFY(probe.waitForFinished(5000));
        // Free again once the holder is gone.
        InProcessOpen third;
        QVERIFY2(third.open(opener, pty.slavePath()), qPrintable(third.refusal));
    } else {
        InProcessOpen first;
        QVERIFY2(first.open(holder, pty.slavePath()), qPrintable(first.refusal));
        startProbe(probe, user, opener, "open", pty.slavePath());
        QVERIFY(probe.waitForFinished(5000));
        const QString said = QString::fromLocal8Bit(probe.readAllStandardOutput());
        QCOMPARE(probe.exitCode(), 1);
        const QString named = QStringLiteral("%1 (PID %2)")
                                  .arg(ownCommName())
                                  .arg(QCoreApplication::applicationPid());
        QVERIFY2(said.contains(named), qPrintable(said));
    }
}

void PortLockTest::staleLockIsTakenOver_data()
{
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("reaped");
    QTest::newRow("brennock") << kBrennock << true;
    QTest::newRow("harbrooklink") << kHarbrook << true;
    // Dead but not yet collected by its parent: kill(pid, 0) still succeeds.
    QTest::newRow("brennock, holder a zombie") << kBrennock << false;
}

void PortLockTest::staleLockIsTakenOver()
{
    QFETCH(QString, program);
    QFETCH(bool, reaped);
    PtyPair pty;
    QVERIFY(pty.ok());
    const QString lockPath = PortLock::lockFilePathOf(pty.slavePath());
    if (!QFileInfo(QFileInfo(lockPath).path()).isWritable())
        QSKIP("the lock directory is not writable for this user");
    const pid_t dead = ::fork();
    if (dead == 0)
        ::_exit(0);
    const auto collect = qScopeGuard([dead] { ::waitpid(dead, nullptr, 0); });
    if (reaped)
        QVERIFY(::waitpid(dead, nullptr, 0) == dead);
    else
        QTRY_VERIFY(isZombie(dead));
    {
        QFile stale(lockPath);
        QVERIFY(stale.open(QIODevice::WriteOnly | QIODevice::Truncate));
        stale.write(QByteArray::number(dead).rightJustified(10, ' ') + '\n');
    }
    {
        InProcessOpen open;
        QVERIFY2(open.open(program, pty.slavePath()), qPrintable(open.refusal));
        QFile now(lockPath);
        QVERIFY(now.open(QIODevice::ReadOnly));
        const QByteArray text = now.readAll();
        QCOMPARE(PortLock::pidOfLockText(text), QCoreApplication::applicationPid());
        if (program == kBrennock) // the UUCP form: ten ASCII digits and a newline
            QCOMPARE(
                text,
                QByteArray::number(QCoreApplication::applicationPid()).rightJustified(10, ' ') +
                    '\n');
    }
    QVERIFY2(!QFileInfo::exists(lockPath), "the lock file outlived the port");
}

void PortLockTest::deviceLockAloneStillRefuses_data()
{
    QTest::addColumn<QString>("program");
    QTest::newRow("brennock") << kBrennock;
    QTest::newRow("harbrooklink") << kHarbrook;
}

// A holder that reached the device by another path (or whose lock file went) is still
// found by the device lock, and named from /proc/locks.
void PortLockTest::deviceLockAloneStillRefuses()
{
    QFETCH(QString, program);
    PtyPair pty;
    QVERIFY(pty.ok());
    QProcess probe;
    startProbe(probe, kRoot, kBrennock, "hold", pty.slavePath());
    QVERIFY(probe.waitForReadyRead(5000));
    const QByteArray said = probe.readLine().trimmed();
    QVERIFY2(said == "opened", said.constData());
    QFile::remove(PortLock::lockFilePathOf(pty.slavePath()));
    InProcessOpen second;
    QVERIFY2(!second.open(program, pty.slavePath()), "a held port was opened again");
    const QString named = QStringLiteral("port_probe (PID %1)").arg(probe.processId());
    QVERIFY2(second.refusal.contains(named), qPrintable(second.refusal));
    probe.closeWriteChannel();
    QVERIFY(probe.waitForFinished(5000));
}

QTEST_GUILESS_MAIN(PortLockTest)
#include "tst_portlock.moc"
