// A device that goes away under the connected document, and comes back: the far end
// of a pty is closed (as a USB adapter is unplugged) and a new pty appears behind the
// same link path. Also BREAK holding what the user sends, and port bindings stored only
// with the settings they belong to.
#include "ReconnectWatcher.h"
#include "Ser2netServer.h"
#include "TestDocSetup.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QtTest>

#include <termios.h>
#include <thread>

namespace
{

const QString kCom = QStringLiteral("COM Settings");
const QString kPorts = QStringLiteral("Ports");
constexpr int kFastPollMs = 20;

speed_t speedOf(const PtyPair& pty)
{
    struct termios tio {
    };
    ::tcgetattr(pty.slave(), &tio);
    return ::cfgetospeed(&tio);
}

// A link that stands for the device path, as /dev/serial/by-id does.
bool pointLink(const QString& link, const QString& target)
{
    QFile::remove(link);
    return QFile::link(target, link);
}

} // namespace

class LineLostTest : public QObject
{
    Q_OBJECT

private slots:
    void hangUpDisconnectsOnceAndQuietly();
    void writeFindsTheLineGoneFirst();
    void linkPathComesBackAndReconnects();
    void portServerStoppedThenBackReconnects();
    void watcherWaitsWhileTheDeviceIsAbsentOrBusy();
    void okWithTheSamePortTriesAgain();
    void userChoicesEndTheWatch_data();
    void userChoicesEndTheWatch();
    void breakHoldsWhatIsSentUntilItEnds();
    void breakEndsWithTheConnection();
    void bindingsStoredOnlyWithAppliedSettings_data();
    void bindingsStoredOnlyWithAppliedSettings();
};

void LineLostTest::hangUpDisconnectsOnceAndQuietly()
{
    ConnectedDoc c;
    QVERIFY(c.setup.ok());
    QStringList titles;
    c.doc.setTitleObserver([&](const QString& t) { titles << t; });
    QVERIFY(c.doc.Connect());
    QVERIFY(c.setup.pty.write("last words"));
    QTRY_COMPARE(c.view.received, QByteArray("last words"));

    c.setup.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!c.doc.isConnected(), 3000);
    QCOMPARE(c.doc.title(), QStringLiteral("Not connected"));
    QCOMPARE(titles.last(), QStringLiteral("Not connected"));
    QVERIFY(c.doc.lineLost());
    QCOMPARE(c.setup.feedback.messages.size(), 1);
    const RecordingFeedback::Message told = c.setup.feedback.messages.first();
    QVERIFY2(told.text.contains(c.setup.pty.slavePath()), qPrintable(told.text));
    QVERIFY(told.text.startsWith(QStringLiteral("COM7 (")));
    QCOMPARE(told.caption, QStringLiteral("Error"));
    QCOMPARE(told.icon, MessageIcon::Warning);
    QVERIFY(c.setup.feedback.statusTexts.last().contains(QStringLiteral("waiting")));
    QCOMPARE(c.view.received, QByteArray("last words")); // the text stays

    // Keys now fail without a beep each, and nothing more is said or spun on.
    for (int i = 0; i < 5; ++i)
        QVERIFY(!c.doc.SendChar('x'));
    QVERIFY(!c.doc.SendBlock("abc", 3));
    QCOMPARE(c.setup.feedback.beeps, 0);
    QTest::qWait(100);
    QCOMPARE(c.setup.feedback.messages.size(), 1);
    QVERIFY(c.doc.reconnectWatcher().watching());
}

void LineLostTest::writeFindsTheLineGoneFirst()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    // A loader has the reader stopped: the key is the first to meet the dead line.
    ReaderPauseGuard paused(c.doc);
    QVERIFY(paused.paused());
    c.setup.pty.closeMaster();
    QVERIFY(!c.doc.SendChar('a'));
    QVERIFY(!c.doc.isConnected());
    QCOMPARE(c.setup.feedback.beeps, 0);
    QCOMPARE(c.setup.feedback.messages.size(), 1);
    QVERIFY(c.setup.feedback.messages.first().text.contains(c.setup.pty.slavePath()));
}

void LineLostTest::linkPathComesBackAndReconnects()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    const QString link = setup.configHome.path() + QStringLiteral("/qx2-link");
    QVERIFY(pointLink(link, setup.pty.slavePath()));
    bindPortDevice(*setup.settings, QStringLiteral("COM9"), link);
    setup.usePort(QStringLiteral("COM9"));
    setup.settings->writeText(kCom, QStringLiteral("Baud Rate"), QStringLiteral("19200"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    doc.reconnectWatcher().setInterval(kFastPollMs);
    RecordingView view;
    doc.addView(&view);
    QVERIFY(doc.Connect());
    QCOMPARE(doc.port()->devicePath(), link);

    setup.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(!doc.isConnected(), 3000);
    QCOMPARE(setup.feedback.messages.size(), 1);
    QVERIFY(setup.feedback.messages.first().text.contains(link));
    QVERIFY(!QFileInfo::exists(link)); // the link dangles now
    QTest::qWait(5 * kFastPollMs);
    QVERIFY(!doc.isConnected());

    PtyPair back;
    QVERIFY(back.ok());
    QVERIFY(pointLink(link, back.slavePath()));
    QTRY_VERIFY_WITH_TIMEOUT(doc.isConnected(), 3000);
    QCOMPARE(doc.title(), QStringLiteral("COM9"));
    QVERIFY(!doc.lineLost());
    QVERIFY(!doc.reconnectWatcher().watching());
    QCOMPARE(setup.feedback.statusTexts.last(),
             QStringLiteral("Reconnected to COM9 (%1)").arg(link));
    QCOMPARE(setup.feedback.messages.size(), 1); // still the one message
    QCOMPARE(speedOf(back), speed_t(B19200));    // the same settings

    // Both ways work on the new device, and the old text was kept.
    QVERIFY(back.write("again"));
    QTRY_COMPARE(view.received, QByteArray("again"));
    QCOMPARE(view.clears, 1);
    QVERIFY(doc.SendChar('k'));
    QCOMPARE(back.read(1, 1000), QByteArray("k"));
}

void LineLostTest::portServerStoppedThenBackReconnects()
{
    if (Ser2netServer::program().isEmpty())
        QSKIP("ser2net is not installed");
    TestDocSetup setup;
    QVERIFY(setup.ok());
    Ser2netServer server;
    QString error;
    QVERIFY2(server.start(setup.pty.slavePath(), &error), qPrintable(error));
    bindPortDevice(*setup.settings, QStringLiteral("COM5"), server.url());
    setup.usePort(QStringLiteral("COM5"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    doc.reconnectWatcher().setInterval(kFastPollMs);
    RecordingView view;
    doc.addView(&view);
    QVERIFY(doc.Connect());
    QVERIFY(setup.pty.write("before"));
    QTRY_COMPARE(view.received, QByteArray("before"));

    server.stop();
    QTRY_VERIFY_WITH_TIMEOUT(!doc.isConnected(), 3000);
    QCOMPARE(doc.title(), QStringLiteral("Not connected"));
    QCOMPARE(setup.feedback.messages.size(), 1);
    QVERIFY2(setup.feedback.messages.first().text.contains(server.url()),
             qPrintable(setup.feedback.messages.first().text));
    QTest::qWait(5 * kFastPollMs); // refused quietly while the server is away
    QCOMPARE(setup.feedback.messages.size(), 1);

    QVERIFY2(server.restart(&error), qPrintable(error));
    QTRY_VERIFY_WITH_TIMEOUT(doc.isConnected(), 5000);
    QCOMPARE(setup.feedback.statusTexts.last(),
             QStringLiteral("Reconnected to COM5 (%1)").arg(server.url()));
    QCOMPARE(setup.feedback.messages.size(), 1);
    QVERIFY(doc.SendChar('k'));
    QCOMPARE(setup.pty.read(1, 2000), QByteArray("k"));
}

void LineLostTest::watcherWaitsWhileTheDeviceIsAbsentOrBusy()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    const QString link = setup.configHome.path() + QStringLiteral("/dev-link");
    QVERIFY(pointLink(link, setup.pty.slavePath()));
    bindPortDevice(*setup.settings, QStringLiteral("COM9"), link);
    setup.usePort(QStringLiteral("COM9"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    doc.reconnectWatcher().setInterval(kFastPollMs);
    QVERIFY(doc.Connect());
    setup.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(doc.lineLost(), 3000);

    // Back, but held by another program: tried again and again, quietly.
    PtyPair back;
    QVERIFY(back.ok());
    {
        SerialPort other(back.slavePath());
        QVERIFY(other.isOpen());
        QVERIFY(pointLink(link, back.slavePath()));
        QTest::qWait(6 * kFastPollMs);
        QVERIFY(!doc.isConnected());
        QVERIFY(doc.reconnectWatcher().watching());
    }
    QTRY_VERIFY_WITH_TIMEOUT(doc.isConnected(), 3000);
    QCOMPARE(setup.feedback.messages.size(), 1);
    QCOMPARE(setup.feedback.beeps, 0);
}

void LineLostTest::okWithTheSamePortTriesAgain()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    const QString link = setup.configHome.path() + QStringLiteral("/ok-link");
    QVERIFY(pointLink(link, setup.pty.slavePath()));
    bindPortDevice(*setup.settings, QStringLiteral("COM9"), link);
    setup.usePort(QStringLiteral("COM9"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    doc.reconnectWatcher().setInterval(60 * 1000); // only OK may bring it back here
    QVERIFY(doc.Connect());
    setup.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(doc.lineLost(), 3000);

    PtyPair back;
    QVERIFY(back.ok());
    QVERIFY(pointLink(link, back.slavePath()));
    CommDialogValues values = doc.commDialogValues();
    values.baudRate = QStringLiteral("38400");
    doc.OnCommSettingsOk(values);
    QVERIFY(doc.isConnected());
    QCOMPARE(doc.port()->devicePath(), link);
    QCOMPARE(speedOf(back), speed_t(B38400));
    QCOMPARE(setup.feedback.messages.size(), 1);
}

void LineLostTest::userChoicesEndTheWatch_data()
{
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<bool>("connected");
    QTest::newRow("port 99 disconnects") << 99 << false;
    QTest::newRow("another port connects there") << 8 << true;
}

void LineLostTest::userChoicesEndTheWatch()
{
    QFETCH(int, portNumber);
    QFETCH(bool, connected);
    TestDocSetup setup;
    QVERIFY(setup.ok());
    PtyPair other;
    QVERIFY(other.ok());
    bindPortDevice(*setup.settings, QStringLiteral("COM8"), other.slavePath());
    setup.usePort(QStringLiteral("COM7"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    doc.reconnectWatcher().setInterval(kFastPollMs);
    QVERIFY(doc.Connect());
    setup.pty.closeMaster();
    QTRY_VERIFY_WITH_TIMEOUT(doc.lineLost(), 3000);

    CommDialogValues values = doc.commDialogValues();
    values.portNumber = portNumber;
    doc.OnCommSettingsOk(values);
    QCOMPARE(doc.isConnected(), connected);
    QVERIFY(!doc.lineLost());
    QVERIFY(!doc.reconnectWatcher().watching());
    if (connected)
        QCOMPARE(doc.port()->devicePath(), other.slavePath());
    else
        QVERIFY(!doc.SendChar('a') && setup.feedback.beeps == 1); // plainly not connected
}

void LineLostTest::breakHoldsWhatIsSentUntilItEnds()
{
    constexpr int kBreakMs = 250;
    ConnectedDoc c;
    QVERIFY(c.connect());
    QVERIFY(c.doc.SendChar('<'));
    QCOMPARE(c.setup.pty.read(1, 1000), QByteArray("<"));

    c.doc.setBreakDuration(kBreakMs);
    c.setup.pty.startRecording();
    const PtyPair::Clock::time_point breakStart = PtyPair::Clock::now();
    c.doc.SendBreak();
    QVERIFY(c.doc.breakActive());
    c.doc.SendBreak(); // a second request while one runs does nothing
    QVERIFY(c.doc.SendChar('a'));
    QVERIFY(c.doc.SendBlock("bc\r\n", 4));
    QVERIFY(c.doc.SendChar('d'));
    QTRY_VERIFY(!c.doc.breakActive());
    QTest::qWait(100);
    const std::vector<PtyPair::Arrival> arrivals = c.setup.pty.stopRecording();
    QByteArray bytes;
    for (const PtyPair::Arrival& a : arrivals)
        bytes.append(a.byte);
    QCOMPARE(bytes, QByteArray("abc\r\nd"));
    const auto firstAt =
        std::chrono::duration_cast<std::chrono::milliseconds>(arrivals.front().at - breakStart);
    QVERIFY2(firstAt.count() >= kBreakMs - 20, qPrintable(QString::number(firstAt.count())));
    QCOMPARE(c.setup.feedback.beeps, 0);
    QVERIFY(c.doc.SendChar('e')); // after the break: at once
    QCOMPARE(c.setup.pty.read(1, 1000), QByteArray("e"));
}

void LineLostTest::breakEndsWithTheConnection()
{
    ConnectedDoc c;
    QVERIFY(c.setup.ok());
    c.doc.SendBreak(); // no port: nothing
    QVERIFY(!c.doc.breakActive());
    QVERIFY(c.doc.Connect());
    c.doc.setBreakDuration(5000);
    c.doc.SendBreak();
    QVERIFY(c.doc.SendChar('a'));
    c.doc.Disconnect();
    QVERIFY(!c.doc.breakActive());
    QVERIFY(c.doc.Connect());
    QVERIFY(c.doc.SendChar('b'));
    QCOMPARE(c.setup.pty.readFor(200), QByteArray("b")); // the held 'a' went with the port
}

void LineLostTest::bindingsStoredOnlyWithAppliedSettings_data()
{
    QTest::addColumn<int>("portNumber");
    QTest::addColumn<int>("answer"); // to the port-change question
    QTest::addColumn<bool>("stored");
    QTest::newRow("No to the port change") << 8 << int(MessageResult::No) << false;
    QTest::newRow("port 99") << 99 << int(MessageResult::Yes) << false;
    QTest::newRow("Yes to the port change") << 8 << int(MessageResult::Yes) << true;
    QTest::newRow("same port") << 7 << int(MessageResult::Yes) << true;
}

void LineLostTest::bindingsStoredOnlyWithAppliedSettings()
{
    QFETCH(int, portNumber);
    QFETCH(int, answer);
    QFETCH(bool, stored);
    TestDocSetup setup;
    QVERIFY(setup.ok());
    PtyPair other;
    QVERIFY(other.ok());
    setup.usePort(QStringLiteral("COM7"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QVERIFY(doc.Connect());
    setup.feedback.answers = {MessageResult(answer)};

    CommDialogValues values = doc.commDialogValues();
    values.portNumber = portNumber;
    const PortBindingChanges bindings{{QStringLiteral("COM8"), other.slavePath()},
                                      {QStringLiteral("COM12"), QStringLiteral("/dev/ttyUSB4")}};
    doc.OnCommSettingsOk(values, bindings);
    QCOMPARE(setup.settings->contains(kPorts, QStringLiteral("COM8")), stored);
    QCOMPARE(setup.settings->contains(kPorts, QStringLiteral("COM12")), stored);
    if (stored && portNumber == 8)
        QCOMPARE(doc.port()->devicePath(), other.slavePath());
}

QTEST_GUILESS_MAIN(LineLostTest)
#include "tst_linelost.moc"
