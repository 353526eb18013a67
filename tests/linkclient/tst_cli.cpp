// The command line of harbrooklink, run as the real program against qx2sim:
// what it prints and its exit status.
#include "LinkTestSupport.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QtTest>

using namespace linktest;

namespace
{
struct Run {
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Run harbrooklink(const QStringList& args, const QString& workDir = QString(), int timeoutMs = 30000)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    p.setProcessEnvironment(env);
    if (!workDir.isEmpty())
        p.setWorkingDirectory(workDir);
    p.start(QStringLiteral(HARBROOKLINK_PATH), args);
    Run r;
    if (!p.waitForFinished(timeoutMs)) {
        p.kill();
        p.waitForFinished();
        return r;
    }
    r.code = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -2;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}
} // namespace

class TestCli : public QObject
{
    Q_OBJECT
private slots:
    void listsTheRootAndFolders();
    void missingFolderAndBadPortFail();
    void silentInstrumentFails();
    void usageErrors_data();
    void usageErrors();
    void windowWithoutDisplaySaysSo();
};

void TestCli::listsTheRootAndFolders()
{
    Peer peer;
    QVERIFY(peer.start());
    Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("ls")});
    QCOMPARE(r.code, 0);
    QCOMPARE(QString::fromUtf8(r.out), QStringLiteral("AUTOEXEC.BAT\t19\t01-05-19 3:45p\n"
                                                      "DATA\t<DIR>\t11-01-21 8:00a\n"
                                                      "DATA001.DAT\t12345\t02-29-20 12:05a\n"
                                                      "DEMO.RUN\t50\t10-11-21 8:30a\n"
                                                      "EMPTY.TXT\t0\t03-01-21 9:07a\n"
                                                      "PROGRAMS\t<DIR>\t01-14-22 4:00p\n"
                                                      "README.TXT\t104\t07-04-20 12:00p\n"
                                                      "SETUP.CFG\t47\t12-31-18 11:59p\n"));
    QVERIFY(r.err.contains("Success: Directory listing updated."));
    QVERIFY(!r.err.contains("Saving In")); // diagnostics stay out of a script's way

    for (const QString& dir : {QStringLiteral("DATA\\OLD"), QStringLiteral("/DATA/OLD"),
                               QStringLiteral("C:\\DATA\\OLD")}) {
        r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("ls"), dir});
        QCOMPARE(r.code, 0);
        QCOMPARE(QString::fromUtf8(r.out), QStringLiteral(".\t<DIR>\t06-30-17 1:00p\n"
                                                          "..\t<DIR>\t06-30-17 1:00p\n"
                                                          "ARCHIVE.DAT\t100000\t06-30-17 1:01p\n"));
    }
    QVERIFY(peer.received().contains("cC:\\DATA\\OLD\nd"));
}

void TestCli::missingFolderAndBadPortFail()
{
    Peer peer;
    QVERIFY(peer.start());
    Run r = harbrooklink(
        {QStringLiteral("--port"), peer.link, QStringLiteral("ls"), QStringLiteral("NOPE")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.contains("no folder C:\\NOPE"));

    r = harbrooklink({QStringLiteral("--port"), peer.dir.path() + QStringLiteral("/absent"),
                      QStringLiteral("ls")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains("Failed to open port"));
}

void TestCli::silentInstrumentFails()
{
    Peer peer;
    qx2sim::SimOptions o;
    o.silent = true;
    QVERIFY(peer.start(o));
    const Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("ls")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.out.isEmpty());
    QVERIFY(r.err.contains("Unable to connect to Skiffer."));
}

void TestCli::usageErrors_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QByteArray>("says");
    QTest::newRow("no port") << QStringList{"ls"} << 2 << QByteArray("needs --port");
    QTest::newRow("unknown command")
        << QStringList{"--port", "x", "rm"} << 2 << QByteArray("unknown command");
    QTest::newRow("bad option") << QStringList{"--port", "x", "ls", "--to", "y"} << 2
                                << QByteArray("does not take --to");
    QTest::newRow("put bad name") << QStringList{"--port", "x", "put", "a.b.c.d"} << 2
                                  << QByteArray("--name");
}

void TestCli::usageErrors()
{
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QByteArray, says);
    const Run r = harbrooklink(args);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(says), r.err.constData());

    const Run help = harbrooklink({QStringLiteral("--help")});
    QCOMPARE(help.code, 0);
    QVERIFY(help.out.contains("harbrooklink --port DEVICE ls [DIR]"));
    QVERIFY(help.out.contains("Exit status"));
}

void TestCli::windowWithoutDisplaySaysSo()
{
    const Run r = harbrooklink({});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains("no display"));
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
