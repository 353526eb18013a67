// The console script of brennock's command line end to end: the program runs without
// a display against qx2sim (in-process) on a pty, as a CI job runs it.
#include "BigEndian.h"
#include "SimEngine.h"
#include "SimLog.h"

#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

namespace
{

struct ProgramRun {
    int exitCode = -1;
    QByteArray out, err;
    qint64 ms = 0;
};

} // namespace

class ScriptTest : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void loadThenScript_data();
    void loadThenScript();
    void sendWithEscapesReachesTheInstrument();
    void lineLostDuringAnExpect();
    void usageAndMissingDisplay();

private:
    bool startSim(qx2sim::SimOptions o = {});
    QString link() const { return dir->path() + QStringLiteral("/link"); }
    QString path(const char* name) const
    {
        return dir->path() + QLatin1Char('/') + QLatin1String(name);
    }
    QString writeRunImage();
    ProgramRun brennock(const QStringList& args, bool withPort = true);

    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<qx2sim::SimEngine> sim;
};

void ScriptTest::init()
{
    dir = std::make_unique<QTemporaryDir>();
    QVERIFY(dir->isValid());
}

void ScriptTest::cleanup()
{
    if (sim)
        sim->stop();
    sim.reset();
    dir.reset();
}

bool ScriptTest::startSim(qx2sim::SimOptions o)
{
    o.linkPath = link();
    o.logPath = path("sim.log");
    sim = std::make_unique<qx2sim::SimEngine>(o);
    QString error;
    if (!sim->start(&error)) {
        qWarning("%s", qPrintable(error));
        return false;
    }
    return true;
}

// A small CPM68K .RUN image for address 0x10000.
QString ScriptTest::writeRunImage()
{
    QByteArray file(28, '\0');
    auto* h = reinterpret_cast<uchar*>(file.data());
    const QByteArray image(600, '\x4E');
    putBe16(h, 0x601A);
    putBe32(h + 2, quint32(image.size()));
    putBe32(h + 22, 0x10000);
    file += image;
    QFile f(path("T.RUN"));
    if (!f.open(QIODevice::WriteOnly) || f.write(file) != file.size())
        return QString();
    return f.fileName();
}

ProgramRun ScriptTest::brennock(const QStringList& args, bool withPort)
{
    QProcess p;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir->path());
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    p.setProcessEnvironment(env);
    QElapsedTimer t;
    t.start();
    p.start(QStringLiteral(BRENNOCK_PROGRAM),
            withPort ? QStringList{QStringLiteral("--port"), link()} + args : args);
    ProgramRun r;
    if (!p.waitForFinished(30000)) {
        p.kill();
        p.waitForFinished();
    } else {
        r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    }
    r.ms = t.elapsed();
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

void ScriptTest::loadThenScript_data()
{
    QTest::addColumn<QStringList>("programSays");
    QTest::addColumn<QStringList>("script");
    QTest::addColumn<int>("exitCode");
    QTest::addColumn<QByteArray>("err");

    const QStringList passed{QStringLiteral("--fail-on"), QStringLiteral("FAIL|Exception"),
                             QStringLiteral("--expect"), QStringLiteral("ALL TESTS PASSED$")};
    QTest::newRow("the test program passes")
        << QStringList{QStringLiteral("test 1 ok"), QStringLiteral("ALL TESTS PASSED")} << passed
        << 0 << QByteArray();
    QTest::newRow("a fail-on match ends the run")
        << QStringList{QStringLiteral("test 1 FAILED: 3 != 4"), QStringLiteral("ALL TESTS PASSED")}
        << passed << 1
        << QByteArray("--fail-on \"FAIL|Exception\" matched the console text during step --expect "
                      "\"ALL TESTS PASSED$\"; the last console lines:\n");
    QTest::newRow("an expect times out")
        << QStringList{QStringLiteral("3 TESTS PASSED")}
        << QStringList{QStringLiteral("--timeout"), QStringLiteral("0.5"),
                       QStringLiteral("--expect"),  QStringLiteral("running"),
                       QStringLiteral("--expect"),  QStringLiteral("ALL TESTS PASSED")}
        << 1
        << QByteArray("No match within 0.5 s during step --expect \"ALL TESTS PASSED\"; the "
                      "last console lines:\n");
}

// The CI job of the README: load a test program, pass or fail on its console output.
void ScriptTest::loadThenScript()
{
    QFETCH(QStringList, programSays);
    QFETCH(QStringList, script);
    QFETCH(int, exitCode);
    QFETCH(QByteArray, err);
    qx2sim::SimOptions o;
    o.programLines = programSays;
    QVERIFY(startSim(o));
    const QString run = writeRunImage();
    QVERIFY(!run.isEmpty());
    const QString capture = path("console.txt");

    const ProgramRun r = brennock(
        QStringList{QStringLiteral("--load"), run, QStringLiteral("--capture"), capture} + script);
    QVERIFY2(r.exitCode == exitCode, r.err.constData());
    QVERIFY2(r.err.contains(err), r.err.constData());
    QVERIFY2(r.out.contains(programSays.last().toLatin1()), r.out.constData());
    QVERIFY2(r.out.contains("QX2 program at 010000 running"), r.out.constData());
    if (exitCode != 0) // the message shows the instrument's last lines
        QVERIFY2(r.err.contains("\n  " + programSays.first().toLatin1() + "\n"), r.err.constData());

    QFile f(capture);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray text = f.readAll();
    QVERIFY2(text.contains("###BK Load: CRC 010000"), text.constData()); // the load's text
    QVERIFY2(text.contains(programSays.first().toLatin1() + "\r\n"), text.constData());
    QCOMPARE(text.count('\n'), text.count("\r\n"));
}

void ScriptTest::sendWithEscapesReachesTheInstrument()
{
    qx2sim::SimOptions o;
    o.programWaitsForEtx = true;
    QVERIFY(startSim(o));
    const ProgramRun r = brennock({QStringLiteral("--send"), QStringLiteral("G 10000\\r"),
                                   QStringLiteral("--expect"), QStringLiteral("running\\s*$"),
                                   QStringLiteral("--send"), QStringLiteral("\\x03"),
                                   QStringLiteral("--expect"), QStringLiteral("program ended")});
    QVERIFY2(r.exitCode == 0, r.err.constData());
    QByteArray received;
    for (const qx2sim::LogRecord& rec : qx2sim::readLogFile(path("sim.log")))
        if (rec.kind == qx2sim::LogRecord::Rx)
            received += rec.bytes;
    QCOMPARE(received, QByteArray("G 10000\r\x03"));
    QCOMPARE(sim->memory().programs.size(), 1);

    // A fail-on watches the text that arrives while later steps run.
    const ProgramRun failed =
        brennock({QStringLiteral("--fail-on"), QStringLiteral("program ended"),
                  QStringLiteral("--send"), QStringLiteral("G 10000\r"), QStringLiteral("--expect"),
                  QStringLiteral("running"), QStringLiteral("--send"), QStringLiteral("\x03"),
                  QStringLiteral("--expect"), QStringLiteral("C:")});
    QCOMPARE(failed.exitCode, 1);
    QVERIFY2(failed.err.contains("--fail-on \"program ended\" matched the console text during "
                                 "step --expect \"C:\""),
             failed.err.constData());
}

void ScriptTest::lineLostDuringAnExpect()
{
    qx2sim::SimOptions o;
    o.vanishAfterBytes = 2;
    QVERIFY(startSim(o));
    const ProgramRun r = brennock({QStringLiteral("--send"), QStringLiteral("\\r\\r"),
                                   QStringLiteral("--expect"), QStringLiteral("never")});
    QCOMPARE(r.exitCode, 1);
    QVERIFY2(r.err.contains("The serial line was lost during step --expect \"never\""),
             r.err.constData());
    QVERIFY2(r.ms < 10000, "no waiting out the expect's time-out");

    // A port that never opens leaves an earlier capture file as it was.
    QFile earlier(path("earlier.txt"));
    QVERIFY(earlier.open(QIODevice::WriteOnly) && earlier.write("kept\r\n") == 6);
    earlier.close();
    const ProgramRun none =
        brennock({QStringLiteral("--port"), path("no-such-tty"), QStringLiteral("--capture"),
                  earlier.fileName(), QStringLiteral("--expect"), QStringLiteral("x")},
                 false);
    QCOMPARE(none.exitCode, 1);
    QVERIFY(earlier.open(QIODevice::ReadOnly));
    QCOMPARE(earlier.readAll(), QByteArray("kept\r\n"));
}

void ScriptTest::usageAndMissingDisplay()
{
    const struct {
        QStringList args;
        QByteArray err;
    } cases[] = {
        {{QStringLiteral("--expect")}, "brennock: --expect needs a value\n"},
        {{QStringLiteral("--timeout"), QStringLiteral("0"), QStringLiteral("--expect"),
          QStringLiteral("x")},
         "brennock: --timeout needs a number of seconds"},
        {{QStringLiteral("--expect"), QStringLiteral("(")}, "is not a valid regular expression"},
        {{QStringLiteral("--send"), QStringLiteral("\\q")}, "unknown escape \\q"},
        {{}, "The terminal window needs a display"},
    };
    for (const auto& c : cases) {
        const ProgramRun r = brennock(c.args, false);
        QVERIFY2(r.exitCode == 2, r.err.constData());
        QVERIFY2(r.err.contains(c.err), r.err.constData());
    }
}

QTEST_GUILESS_MAIN(ScriptTest)
#include "tst_script.moc"
