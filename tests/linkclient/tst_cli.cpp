// The command line of harbrooklink, run as the real program against qx2sim:
// what it prints and its exit status.
#include "LinkTestSupport.h"
#include "Ser2netServer.h"

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
    void getDownloadsWholeFiles();
    void putUploadsAndChecksTheListing();
    void lsGetPutThroughAPortServer();
    void setTimePrintsTheAnswer();
    void usageErrors_data();
    void usageErrors();
    void windowWithoutDisplaySaysSo();
    void consoleEchoIsNoAnswer();
    void controlBytesEscapedAndEveryPrintedNameFetched();
    void relativePortPath();
    void endlessInputsAreRefused();
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
    QVERIFY2(!r.err.contains("Success"), r.err.constData());

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

void TestCli::getDownloadsWholeFiles()
{
    Peer peer;
    QVERIFY(peer.start());
    QTemporaryDir dest;
    Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("get"),
                          QStringLiteral("--to"), dest.path(), QStringLiteral("DATA001.DAT"),
                          QStringLiteral("empty.txt"), QStringLiteral("README.TXT")});
    QCOMPARE(r.code, 0);
    for (const QString& name : {QStringLiteral("DATA001.DAT"), QStringLiteral("EMPTY.TXT"),
                                QStringLiteral("README.TXT")}) {
        QFile local(dest.path() + QLatin1Char('/') + name);
        QFile card(peer.cardRoot() + QLatin1Char('/') + name);
        QVERIFY(local.open(QIODevice::ReadOnly) && card.open(QIODevice::ReadOnly));
        QCOMPARE(local.readAll(), card.readAll());
    }
    QCOMPARE(QFileInfo(dest.path() + QStringLiteral("/README.TXT")).lastModified().toUTC(),
             QDateTime(QDate(2020, 7, 4), QTime(12, 0), Qt::UTC));

    // From a folder, into the current folder.
    r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("get"),
                      QStringLiteral("--from"), QStringLiteral("DATA/OLD"),
                      QStringLiteral("ARCHIVE.DAT")},
                     dest.path());
    QCOMPARE(r.code, 0);
    QCOMPARE(QFileInfo(dest.path() + QStringLiteral("/ARCHIVE.DAT")).size(), qint64(100000));

    // A name that is not there: the others still come, the status says it.
    r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("get"),
                      QStringLiteral("--to"), dest.path(), QStringLiteral("NOPE.TXT"),
                      QStringLiteral("SETUP.CFG")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains("no file NOPE.TXT"));
    QVERIFY(QFileInfo::exists(dest.path() + QStringLiteral("/SETUP.CFG")));

    // A stall: the file does not arrive whole and does not take its name.
    Peer stalling;
    qx2sim::SimOptions o;
    o.stallDownloadAfter = 100;
    QVERIFY(stalling.start(o));
    QTemporaryDir empty;
    r = harbrooklink({QStringLiteral("--port"), stalling.link, QStringLiteral("get"),
                      QStringLiteral("--to"), empty.path(), QStringLiteral("DATA001.DAT")});
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains("DATA001.DAT: only 100 of the 12345 bytes listed arrived"),
             r.err.constData());
    QVERIFY(QDir(empty.path()).isEmpty());
}

void TestCli::putUploadsAndChecksTheListing()
{
    Peer peer;
    QVERIFY(peer.start());
    QTemporaryDir local;
    QFile a(local.path() + QStringLiteral("/my report.txt"));
    QVERIFY(a.open(QIODevice::WriteOnly) && a.write(QByteArray(150001, 'r')) == 150001);
    a.close();
    QFile b(local.path() + QStringLiteral("/setup_v2.ini"));
    QVERIFY(b.open(QIODevice::WriteOnly) && b.write("speed=9\n") > 0);
    b.close();
    Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("put"),
                          QStringLiteral("--to"), QStringLiteral("DATA"), a.fileName(),
                          b.fileName(), QStringLiteral("--name"), QStringLiteral("CONF.INI")});
    QCOMPARE(r.code, 0);
    QCOMPARE(QFileInfo(peer.cardRoot() + QStringLiteral("/DATA/MY_REPOR.TXT")).size(),
             qint64(150001));
    QVERIFY(QFileInfo::exists(peer.cardRoot() + QStringLiteral("/DATA/CONF.INI")));

    // A file that cannot be read is skipped and fails the run.
    r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("put"),
                      local.path() + QStringLiteral("/absent.txt")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains("Cannot read"));
    QVERIFY(!peer.received().contains("rABSENT"));

    // Into a folder that is not on the card: nothing is sent.
    r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("put"),
                      QStringLiteral("--to"), QStringLiteral("NOPE"), a.fileName()});
    QCOMPARE(r.code, 1);
}

void TestCli::lsGetPutThroughAPortServer()
{
    if (Ser2netServer::program().isEmpty())
        QSKIP("ser2net is not installed");
    Peer peer;
    QVERIFY(peer.start());
    Ser2netServer server;
    QString error;
    QVERIFY2(server.start(peer.engine->deviceName(), &error), qPrintable(error));
    Run r = harbrooklink({QStringLiteral("--port"), server.url(), QStringLiteral("ls")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("DATA001.DAT\t12345"), r.out.constData());

    QTemporaryDir local;
    r = harbrooklink({QStringLiteral("--port"), server.url(), QStringLiteral("get"),
                      QStringLiteral("--to"), local.path(), QStringLiteral("DATA001.DAT")});
    QCOMPARE(r.code, 0);
    QFile got(local.path() + QStringLiteral("/DATA001.DAT"));
    QFile card(peer.cardRoot() + QStringLiteral("/DATA001.DAT"));
    QVERIFY(got.open(QIODevice::ReadOnly) && card.open(QIODevice::ReadOnly));
    QCOMPARE(got.readAll(), card.readAll());

    QByteArray content(70001, '\0');
    for (int i = 0; i < content.size(); ++i)
        content[i] = char(i * 7 + i / 256); // every byte value, control bytes included
    QFile sent(local.path() + QStringLiteral("/SENT.BIN"));
    QVERIFY(sent.open(QIODevice::WriteOnly) && sent.write(content) == content.size());
    sent.close();
    r = harbrooklink(
        {QStringLiteral("--port"), server.url(), QStringLiteral("put"), sent.fileName()});
    QCOMPARE(r.code, 0);
    QFile arrived(peer.cardRoot() + QStringLiteral("/SENT.BIN"));
    QVERIFY(arrived.open(QIODevice::ReadOnly));
    QCOMPARE(arrived.readAll(), content);
}

void TestCli::setTimePrintsTheAnswer()
{
    Peer peer;
    QVERIFY(peer.start());
    Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("settime")});
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.startsWith("Clock was ") && r.out.contains(" Clock now "), r.out.constData());
    QVERIFY(r.err.contains("Updating Vantrel to UTC time: "));
    const QDateTime set = peer.engine->memory().clockSets.last().value;
    QVERIFY(qAbs(set.secsTo(QDateTime::currentDateTimeUtc())) < 5);

    Peer silent;
    qx2sim::SimOptions o;
    o.silent = true;
    QVERIFY(silent.start(o));
    r = harbrooklink({QStringLiteral("--port"), silent.link, QStringLiteral("settime")});
    QCOMPARE(r.code, 1);
    QVERIFY(r.err.contains("Unable to connect"));
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

void TestCli::consoleEchoIsNoAnswer()
{
    // The instrument at its console: it echoes the link commands as typed text.
    Peer peer;
    peer.linkServer = false;
    QVERIFY(peer.start());
    for (const char* command : {"ls", "settime"}) {
        const Run r = harbrooklink({QStringLiteral("--port"), peer.link, QLatin1String(command)});
        QCOMPARE(r.code, 1);
        QVERIFY2(r.out.isEmpty(), r.out.constData());
        QVERIFY2(r.err.contains("No link server answers on port " + peer.link.toUtf8() +
                                ": the instrument's console echoed"),
                 r.err.constData());
        QVERIFY(!r.err.contains("Success"));
    }
    QVERIFY(peer.engine->memory().clockSets.isEmpty());
}

void TestCli::controlBytesEscapedAndEveryPrintedNameFetched()
{
    Peer peer;
    qx2sim::SimOptions o;
    o.controlNames = true;
    o.oddNames = true;
    QVERIFY(peer.start(o));
    Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("ls")});
    // The LF inside a name splits its line: that piece is no entry, and ls says so.
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains("not a listing entry: \"LF\""), r.err.constData());
    QStringList names;
    for (const QByteArray& row : r.out.split('\n')) {
        if (row.isEmpty())
            continue;
        QCOMPARE(row.split('\t').size(), 3);
        for (char c : row)
            QVERIFY2(c == '\t' || static_cast<unsigned char>(c) >= 0x20, row.constData());
        if (!row.endsWith("<DIR>") && !row.contains("\t<DIR>\t"))
            names << QString::fromUtf8(row.split('\t').first());
    }
    for (const char* printed : {"\\033[31mRED.TXT", "BEL\\a.TXT", "CR\\rOVER.TXT", "TAB\\tNAME.TXT",
                                "MY NOTES.TXT", "LONGFILENAME.TEXT"})
        QVERIFY2(names.contains(QLatin1String(printed)), qPrintable(names.join('|')));
    for (const QByteArray& text : {r.out, r.err})
        QVERIFY(!text.contains('\x1b') && !text.contains('\a') && !text.contains('\r'));

    // Every name as ls printed it is a name get takes.
    QTemporaryDir dest;
    QStringList args{QStringLiteral("--port"), peer.link, QStringLiteral("get"),
                     QStringLiteral("--to"), dest.path()};
    args << QStringLiteral("\\033[31mRED.TXT") << QStringLiteral("TAB\\tNAME.TXT")
         << QStringLiteral("MY NOTES.TXT") << QStringLiteral("LONGFILENAME.TEXT");
    r = harbrooklink(args);
    QVERIFY2(r.code == 0, r.err.constData());
    QVERIFY(!r.err.contains('\x1b'));
    QFile red(dest.path() + QStringLiteral("/\x1b[31mRED.TXT"));
    QVERIFY(red.open(QIODevice::ReadOnly));
    QCOMPARE(red.readAll(), QByteArray("control"));
    for (const QString& name :
         {QStringLiteral("MY NOTES.TXT"), QStringLiteral("LONGFILENAME.TEXT")}) {
        QFile local(dest.path() + QLatin1Char('/') + name);
        QFile card(peer.cardRoot() + QLatin1Char('/') + name);
        QVERIFY(local.open(QIODevice::ReadOnly) && card.open(QIODevice::ReadOnly));
        QCOMPARE(local.readAll(), card.readAll());
    }
}

void TestCli::relativePortPath()
{
    Peer peer;
    QVERIFY(peer.start());
    const QString name = QFileInfo(peer.link).fileName();
    for (const QString& port : {name, QStringLiteral("./") + name}) {
        const Run r =
            harbrooklink({QStringLiteral("--port"), port, QStringLiteral("ls")}, peer.dir.path());
        QVERIFY2(r.code == 0, r.err.constData());
        QVERIFY(r.out.startsWith("AUTOEXEC.BAT\t"));
    }
    const Run help = harbrooklink({QStringLiteral("--help")});
    QVERIFY(help.out.simplified().contains("DEVICE is a path when it holds a '/' or names an existing file"));
}

void TestCli::endlessInputsAreRefused()
{
    Peer peer;
    QVERIFY(peer.start());
    QTemporaryDir local;
    const QString fifo = local.path() + QStringLiteral("/fifo");
    QVERIFY(QProcess::execute(QStringLiteral("mkfifo"), {fifo}) == 0);
    const Run r = harbrooklink({QStringLiteral("--port"), peer.link, QStringLiteral("put"),
                                QStringLiteral("/dev/zero"), QStringLiteral("--name"),
                                QStringLiteral("ZERO"), fifo},
                               QString(), 10000);
    QCOMPARE(r.code, 1);
    QVERIFY2(r.err.contains("Not uploaded: /dev/zero is a character device") &&
                 r.err.contains(" is a FIFO (named pipe)"),
             r.err.constData());
    QVERIFY(!peer.received().contains("rZERO"));
    // Refused before the instrument is asked anything: no success line first.
    QVERIFY2(!r.err.contains("Success"), r.err.constData());
}

QTEST_GUILESS_MAIN(TestCli)
#include "tst_cli.moc"
