// The terminal document against a pty bound to "COM7": connecting, receiving through the
// comm thread, transmitting with pacing and echo, and the Communication Settings OK steps.
#include "BlockSender.h"
#include "TestDocSetup.h"

#include <QElapsedTimer>
#include <QtTest>

#include <termios.h>
#include <thread>
#include <vector>

namespace
{

const QString kCom = QStringLiteral("COM Settings");

QByteArray pattern(int size)
{
    QByteArray bytes(size, '\0');
    for (int i = 0; i < size; ++i)
        bytes[i] = char(i % 251);
    return bytes;
}

struct termios lineOf(const PtyPair& pty)
{
    struct termios tio {
    };
    ::tcgetattr(pty.slave(), &tio);
    return tio;
}

speed_t speedOf(const PtyPair& pty)
{
    const struct termios tio = lineOf(pty);
    return ::cfgetospeed(&tio);
}

} // namespace

class DocumentTest : public QObject
{
    Q_OBJECT

private slots:
    void createLoadsSettings();
    void connectOpensBoundPort();
    void openFailureShowsMessageAndReason_data();
    void openFailureShowsMessageAndReason();
    void burstArrivesInOrderedChunks();
    void stopReaderWhileFarEndFloods();
    void destroyedWhileHandOverWaits();
    void restartFailureDisconnects();
    void viewDisconnectsWhileHandlingData();
    void sendBlockPacingThroughSeam();
    void sendBlockPacingOnTheLine();
    void queuedBlockKeepsItsOwnPacing();
    void pacedGapsIncludeTheByteTimeOnAThrottledLine();
    void sendBlockWithoutPortBeeps();
    void unpacedPasteLosesNothingOnASlowLine();
    void pacedPasteLeavesTheLoopFree();
    void stoppedPasteSaysHowMuchWasSent_data();
    void stoppedPasteSaysHowMuchWasSent();
    void localEchoWithSendLfAfterCr();
    void sendCharWithoutPortBeeps();
    void byteCountsAndOutputLines();
    void dialogPort99Disconnects();
    void dialogBaudChangeReappliesInPlace();
    void dialogPortChangeWhileNotConnectedConnects();
    void dialogPortChangeWhileConnectedAsks();
    void dialogUnchangedNameWithoutPortOnlyStores();
    void settingsMapOntoLine_data();
    void settingsMapOntoLine();
};

void DocumentTest::createLoadsSettings()
{
    RecordingFeedback feedback;
    {
        CBrennockDoc doc(nullptr, feedback);
        QCOMPARE(doc.commSettings().portName, QStringLiteral("COM3"));
        QCOMPARE(doc.commSettings().downloadBaudRate, QStringLiteral("115200"));
        QCOMPARE(doc.windowsEdit(), 1);
        QCOMPARE(doc.title(), QStringLiteral("Untitled"));
        QVERIFY(!doc.isConnected());
    }
    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.settings->writeText(kCom, QStringLiteral("Baud Rate"), QStringLiteral("57600"));
    setup.settings->writeInt(kCom, QStringLiteral("Local Echo"), 1);
    setup.settings->writeInt(QStringLiteral("Delay"), QStringLiteral("DelayChar"), 3);
    setup.settings->writeInt(QStringLiteral("Delay"), QStringLiteral("DelayLF"), 40);
    setup.settings->writeInt(QStringLiteral("Delay"), QStringLiteral("WindowsEdit"), 0);
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QCOMPARE(doc.commSettings().baudRate, QStringLiteral("57600"));
    QVERIFY(doc.commSettings().localEcho);
    QVERIFY(!doc.commSettings().sendCrLf);
    QCOMPARE(doc.charDelay(), 3);
    QCOMPARE(doc.lfDelay(), 40);
    QCOMPARE(doc.windowsEdit(), 0);
}

void DocumentTest::connectOpensBoundPort()
{
    ConnectedDoc c;
    QVERIFY(c.setup.ok());
    QStringList titles;
    c.doc.setTitleObserver([&](const QString& t) { titles << t; });
    QVERIFY(c.doc.OnNewDocument());
    QVERIFY(c.doc.isConnected());
    QVERIFY(c.setup.feedback.messages.isEmpty());
    QCOMPARE(c.view.clears, 1);
    QCOMPARE(titles, (QStringList{QStringLiteral("Untitled"), QStringLiteral("COM7")}));
    QCOMPARE(c.doc.port()->devicePath(), c.setup.pty.slavePath());
    QVERIFY(c.doc.port()->readerRunning());

    // Connect again on the open port only re-applies the line settings.
    SerialPort* before = c.doc.port();
    QVERIFY(c.doc.Connect());
    QCOMPARE(c.doc.port(), before);
    QCOMPARE(c.view.clears, 1);

    c.doc.Disconnect();
    QVERIFY(!c.doc.isConnected());
    QCOMPARE(c.doc.title(), QStringLiteral("Not connected"));
}

void DocumentTest::openFailureShowsMessageAndReason_data()
{
    QTest::addColumn<QString>("portName");
    QTest::addColumn<bool>("holdDevice");
    QTest::addColumn<QString>("reason");
    QTest::newRow("missing device")
        << QStringLiteral("COM5") << false << QStringLiteral("No such device");
    QTest::newRow("busy device") << QStringLiteral("COM7") << true
                                 << QStringLiteral("The port is in use by");
    QTest::newRow("no number") << QStringLiteral("COM") << false << QStringLiteral("No such");
}

void DocumentTest::openFailureShowsMessageAndReason()
{
    QFETCH(QString, portName);
    QFETCH(bool, holdDevice);
    QFETCH(QString, reason);
    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.usePort(portName);
    std::unique_ptr<SerialPort> holder;
    if (holdDevice)
        holder = std::make_unique<SerialPort>(setup.pty.slavePath());
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QVERIFY(doc.OnNewDocument()); // the program runs on, not connected
    QVERIFY(!doc.isConnected());
    QCOMPARE(doc.title(), QStringLiteral("Untitled"));
    QCOMPARE(setup.feedback.messages.size(), 1);
    const auto& m = setup.feedback.messages.first();
    const QString prefix = QString::fromLatin1(kCantOpenPortText) + QLatin1Char('\r');
    QVERIFY2(m.text.startsWith(prefix), qPrintable(m.text));
    const QString reasonLine = m.text.mid(prefix.size());
    QVERIFY2(reasonLine.startsWith(portName) && reasonLine.contains(reason),
             qPrintable(reasonLine));
    QCOMPARE(m.caption, QStringLiteral("Error"));
    QCOMPARE(m.icon, MessageIcon::Warning);
}

void DocumentTest::burstArrivesInOrderedChunks()
{
    ConnectedDoc c;
    QVERIFY(c.setup.ok());
    RecordingView first, second;
    c.doc.addView(&first);
    c.doc.addView(&second);
    QVERIFY(c.doc.Connect());

    const QByteArray burst = pattern(3000);
    QVERIFY(c.setup.pty.write(burst));
    // Keep the event loop away for a moment: the comm thread waits in its first hand-over
    // while the rest of the burst queues up behind it.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    QTRY_COMPARE_WITH_TIMEOUT(first.received.size(), 3000, 3000);
    QCOMPARE(first.received, burst);
    QCOMPARE(second.received, burst);
    QCOMPARE(second.chunkSizes, first.chunkSizes);
    QVERIFY(first.chunkSizes.size() >= 3);
    int largest = 0;
    for (int size : first.chunkSizes) {
        QVERIFY(size >= 1 && size <= 1024);
        largest = std::max(largest, size);
    }
    QCOMPARE(largest, 1024);
}

void DocumentTest::stopReaderWhileFarEndFloods()
{
    ConnectedDoc c;
    QVERIFY(c.connect());

    c.setup.pty.startFlood();
    QTRY_VERIFY_WITH_TIMEOUT(c.view.received.size() > 10000, 3000);
    // The comm thread is now inside a hand-over most of the time.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(c.doc.stopReader());
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(!c.doc.port()->readerRunning());

    const int before = c.view.received.size();
    QVERIFY(c.doc.restartReader());
    QTRY_VERIFY_WITH_TIMEOUT(c.view.received.size() > before, 3000);

    // Disconnect (closing the port) while the flood goes on ends just as promptly.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    clock.restart();
    c.doc.Disconnect();
    QVERIFY(clock.elapsed() < 500);
    c.setup.pty.stopFlood();
    QVERIFY(c.setup.feedback.messages.isEmpty());
}

void DocumentTest::destroyedWhileHandOverWaits()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.usePort(QStringLiteral("COM7"));
    auto doc = std::make_unique<CBrennockDoc>(setup.settings.get(), setup.feedback);
    auto view = std::make_unique<RecordingView>();
    doc->addView(view.get());
    QVERIFY(doc->Connect());
    setup.pty.startFlood();
    // No event loop runs: the comm thread is stuck in a hand-over when the program ends.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    const int before = view->received.size();
    view.reset(); // the window went first
    QElapsedTimer clock;
    clock.start();
    doc.reset();
    QVERIFY(clock.elapsed() < 500);
    setup.pty.stopFlood();
    QCOMPARE(before, 0);
}

void DocumentTest::restartFailureDisconnects()
{
    ConnectedDoc c;
    QVERIFY(c.setup.ok());
    QVERIFY(!c.doc.stopReader()); // no port: nothing to stop
    QVERIFY(!c.doc.restartReader());
    QVERIFY(c.doc.Connect());
    // A loader that forgot to stop the reader: the second start fails.
    QVERIFY(!c.doc.restartReader());
    QCOMPARE(c.setup.feedback.messages.size(), 1);
    QCOMPARE(c.setup.feedback.messages[0].text, QStringLiteral("Error starting comm thread!"));
    QCOMPARE(c.setup.feedback.messages[0].caption, QStringLiteral("Error"));
    QVERIFY(!c.doc.isConnected());
    QCOMPARE(c.doc.title(), QStringLiteral("Not connected"));
}

void DocumentTest::viewDisconnectsWhileHandlingData()
{
    // As when the user disconnects in a message box that a view shows while it handles
    // received bytes: the stop happens inside the hand-over it waits for.
    struct DisconnectingView : RecordingView {
        CBrennockDoc* doc = nullptr;
        void portData(const char* bytes, int count) override
        {
            RecordingView::portData(bytes, count);
            if (doc->isConnected())
                doc->Disconnect();
        }
    };
    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.usePort(QStringLiteral("COM7"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    DisconnectingView view;
    view.doc = &doc;
    doc.addView(&view);
    QVERIFY(doc.Connect());
    setup.pty.startFlood();
    QTRY_VERIFY_WITH_TIMEOUT(!doc.isConnected(), 2000);
    setup.pty.stopFlood();
    QCOMPARE(view.chunkSizes.size(), 1); // nothing after the stop
    QVERIFY(view.received.startsWith("abcdefghijklmnopqrstuvwxyz"));
    QCOMPARE(doc.title(), QStringLiteral("Not connected"));
}

void DocumentTest::sendBlockPacingThroughSeam()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    QList<int> sleeps;
    c.doc.setPauseObserver([&](int ms) { sleeps << ms; });
    c.doc.setCharDelay(5);
    c.doc.setLfDelay(50);
    QVERIFY(c.doc.SendBlock("ab\r\nc", 5));
    QTRY_VERIFY(!c.doc.sending());
    QCOMPARE(sleeps, (QList<int>{5, 5, 5, 50, 5}));
    QCOMPARE(c.setup.feedback.statusTexts,
             (QStringList{QStringLiteral("Please wait... transmitting characters!"),
                          QStringLiteral("Ready")}));
    QCOMPARE(c.setup.pty.read(5), QByteArray("ab\r\nc")); // CR not expanded in a block
}

void DocumentTest::sendBlockPacingOnTheLine()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    c.doc.setCharDelay(5);
    c.doc.setLfDelay(50);
    c.setup.pty.startRecording();
    const auto start = PtyPair::Clock::now();
    QVERIFY(c.doc.SendBlock("ab\r\nc", 5));
    QTRY_VERIFY(!c.doc.sending());
    QTest::qWait(30);
    const auto arrivals = c.setup.pty.stopRecording();
    QCOMPARE(int(arrivals.size()), 5);
    const char expected[] = "ab\r\nc";
    // A byte cannot arrive before the pauses ahead of it are over; delivery only ever
    // adds delay, so these lower bounds hold on a busy machine too.
    const double pausesBefore[] = {0, 5, 10, 15, 65};
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(arrivals[size_t(i)].byte, expected[i]);
        const double at =
            std::chrono::duration_cast<std::chrono::microseconds>(arrivals[size_t(i)].at - start)
                .count() /
            1000.0;
        QVERIFY2(at >= pausesBefore[i],
                 qPrintable(QStringLiteral("byte %1 after %2 ms").arg(i).arg(at)));
        // The long pause comes after the line feed, not before it.
        if (i == 3)
            QVERIFY2(at < 50.0, qPrintable(QStringLiteral("LF after %1 ms").arg(at)));
        if (i == 4)
            QVERIFY2(at < 65.0 + 150.0, qPrintable(QStringLiteral("c after %1 ms").arg(at)));
    }
}

// A block given while another is going out queues behind it with its own pacing;
// the one in progress keeps the pacing it started with.
void DocumentTest::queuedBlockKeepsItsOwnPacing()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    QList<int> sleeps;
    c.doc.setPauseObserver([&](int ms) { sleeps << ms; });
    c.doc.setCharDelay(3);
    QVERIFY(c.doc.SendBlock("abc", 3));
    c.doc.setCharDelay(7);
    QVERIFY(c.doc.SendBlock("de", 2));
    QTRY_VERIFY(!c.doc.sending());
    QCOMPARE(sleeps, (QList<int>{3, 3, 3, 7, 7}));
    QCOMPARE(c.setup.pty.read(5), QByteArray("abcde"));
}

// A pty sends a byte the moment it is written; a UART at 1200 baud takes 8.3 ms, and
// the character delay counts from the end of that.
void DocumentTest::pacedGapsIncludeTheByteTimeOnAThrottledLine()
{
    constexpr qint64 kByteUs = 8333;
    constexpr int kDelayMs = 4;
    QElapsedTimer clock;
    clock.start();
    const auto nowUs = [&] { return clock.nsecsElapsed() / 1000; };
    qint64 onTheLineUntil = 0;
    std::vector<qint64> writtenAt;
    bool done = false;
    BlockSender sender(
        [](const char*, int) { return -1; },
        [&](const char*) {
            writtenAt.push_back(nowUs());
            onTheLineUntil = std::max(onTheLineUntil, nowUs()) + kByteUs;
            return 1;
        },
        [&] { return nowUs() >= onTheLineUntil; }, [](const char*, int) {},
        [&](BlockSender::Outcome, qint64, qint64) { done = true; });
    sender.add("abcdef", {kDelayMs, kDelayMs});
    QTRY_VERIFY_WITH_TIMEOUT(done, 2000);
    QCOMPARE(int(writtenAt.size()), 6);
    for (size_t i = 1; i < writtenAt.size(); ++i) {
        const qint64 gap = writtenAt[i] - writtenAt[i - 1];
        QVERIFY2(gap >= kByteUs + kDelayMs * 1000 - 500,
                 qPrintable(QStringLiteral("gap %1: %2 us").arg(i).arg(gap)));
    }
}

void DocumentTest::sendBlockWithoutPortBeeps()
{
    RecordingFeedback feedback;
    CBrennockDoc doc(nullptr, feedback);
    QList<int> sleeps;
    doc.setPauseObserver([&](int ms) { sleeps << ms; });
    QVERIFY(!doc.SendBlock("abc", 3));
    QCOMPARE(feedback.beeps, 1);
    QVERIFY(feedback.statusTexts.isEmpty());
    doc.setCharDelay(5);
    QVERIFY(!doc.SendBlock("abc", 3));
    QCOMPARE(feedback.beeps, 2);
    QVERIFY(sleeps.isEmpty()); // stopped at the first byte
    // The status text stays on "transmitting": the block was not sent.
    QCOMPARE(feedback.statusTexts,
             QStringList{QStringLiteral("Please wait... transmitting characters!")});
}

// A paste larger than the line can take at once, while the far end does not read for
// longer than a write may take: every byte arrives, in order, and the call returns at once.
void DocumentTest::unpacedPasteLosesNothingOnASlowLine()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    const QByteArray paste = pattern(256 * 1024);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(c.doc.SendBlock(paste.constData(), paste.size()));
    QVERIFY2(clock.elapsed() < 500, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(c.doc.sending()); // the pty holds far less than this
    QTest::qWait(1500);     // longer than a write may wait
    QVERIFY(c.doc.sending());
    QByteArray arrived;
    QElapsedTimer reading;
    reading.start();
    while (arrived.size() < paste.size() && reading.elapsed() < 20000) {
        arrived += c.setup.pty.readFor(5);
        QCoreApplication::processEvents();
    }
    QCOMPARE(arrived.size(), paste.size());
    QVERIFY(arrived == paste);
    QTRY_VERIFY(!c.doc.sending());
    QCOMPARE(c.setup.feedback.beeps, 0);
    QCOMPARE(c.setup.feedback.statusTexts.last(), QStringLiteral("Ready"));
    QVERIFY(c.setup.feedback.messages.isEmpty());
}

// A paced paste returns at once; while it goes out, what the instrument sends is shown.
void DocumentTest::pacedPasteLeavesTheLoopFree()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    c.doc.setCharDelay(2);
    const QByteArray paste(200, 'p');
    QElapsedTimer clock;
    clock.start();
    QVERIFY(c.doc.SendBlock(paste.constData(), paste.size()));
    QVERIFY2(clock.elapsed() < 100, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(c.setup.feedback.statusTexts.last(),
             QStringLiteral("Please wait... transmitting characters!"));
    QVERIFY(c.setup.pty.write("echo from the instrument"));
    QTRY_VERIFY_WITH_TIMEOUT(c.view.received.contains("echo from the instrument"), 2000);
    QVERIFY(c.doc.sending()); // shown while the paste still goes out
    QTRY_VERIFY_WITH_TIMEOUT(!c.doc.sending(), 5000);
    QCOMPARE(c.setup.pty.read(paste.size()), paste);
    QCOMPARE(c.setup.feedback.statusTexts.last(), QStringLiteral("Ready"));
}

void DocumentTest::stoppedPasteSaysHowMuchWasSent_data()
{
    QTest::addColumn<QString>("how"); // "cancel", "disconnect"
    QTest::addColumn<int>("charDelay");
    QTest::newRow("cancelled, paced") << "cancel" << 2;
    QTest::newRow("cancelled, unpaced") << "cancel" << 0;
    QTest::newRow("port gone, paced") << "disconnect" << 2;
    QTest::newRow("port gone, unpaced") << "disconnect" << 0;
}

void DocumentTest::stoppedPasteSaysHowMuchWasSent()
{
    QFETCH(QString, how);
    QFETCH(int, charDelay);
    ConnectedDoc c;
    QVERIFY(c.connect());
    c.doc.setCharDelay(charDelay);
    // Unpaced, the far end reads nothing, so most of it waits.
    const QByteArray paste = pattern(charDelay ? 500 : 512 * 1024);
    QVERIFY(c.doc.SendBlock(paste.constData(), paste.size()));
    QTest::qWait(60);
    QVERIFY(c.doc.sending());
    if (how == QLatin1String("cancel"))
        c.doc.cancelSending();
    else
        c.doc.Disconnect();
    QVERIFY(!c.doc.sending());
    const QByteArray arrived = c.setup.pty.readFor(300);
    QVERIFY(arrived.size() > 0 && arrived.size() < paste.size());
    QVERIFY(paste.startsWith(arrived));
    QString expected = QStringLiteral("Sending stopped: %1 of %2 characters were sent.")
                           .arg(arrived.size())
                           .arg(paste.size());
    if (how == QLatin1String("disconnect") && charDelay == 0) {
        // Closing a pty throws away what its far end has not read yet, and a pty cannot
        // tell how much that was: the count is what left the program.
        const QString last = c.setup.feedback.statusTexts.last();
        QRegularExpressionMatch counts =
            QRegularExpression(
                QStringLiteral("^Sending stopped: (\\d+) of (\\d+) characters were sent\\.$"))
                .match(last);
        QVERIFY2(counts.hasMatch(), qPrintable(last));
        QVERIFY(counts.captured(1).toInt() >= arrived.size());
        QVERIFY(counts.captured(1).toInt() < paste.size());
        QCOMPARE(counts.captured(2).toInt(), paste.size());
        expected = last;
    }
    QCOMPARE(c.setup.feedback.statusTexts.last(), expected);
    if (how == QLatin1String("disconnect")) {
        QCOMPARE(c.setup.feedback.messages.size(), 1);
        QCOMPARE(c.setup.feedback.messages.first().text, expected);
        QCOMPARE(c.setup.feedback.beeps, 1);
    } else {
        QVERIFY(c.setup.feedback.messages.isEmpty());
    }
    QTest::qWait(50); // nothing more goes out
    QVERIFY(c.setup.pty.readFor(50).isEmpty());
}

void DocumentTest::localEchoWithSendLfAfterCr()
{
    ConnectedDoc c(QStringLiteral("COM7"), [](TestDocSetup& s) {
        s.settings->writeInt(kCom, QStringLiteral("Local Echo"), 1);
        s.settings->writeInt(kCom, QStringLiteral("Send CRLF"), 1);
    });
    QVERIFY(c.connect());

    QVERIFY(c.doc.SendChar('\r'));
    QCOMPARE(c.setup.pty.read(2, 1000), QByteArray("\r\n"));
    // One echo of CR LF: the view starts exactly one new line.
    QCOMPARE(c.view.received, QByteArray("\r\n"));
    QCOMPARE(c.view.chunkSizes, QList<int>{2});

    QVERIFY(c.doc.SendChar('x'));
    QCOMPARE(c.setup.pty.read(1, 1000), QByteArray("x"));
    QCOMPARE(c.view.received, QByteArray("\r\nx"));
    QCOMPARE(c.setup.feedback.beeps, 0);
}

// The status bar's counts: received and sent bytes (local echo is neither), from zero
// at each connect and at a reset. DTR and RTS: a pty has no modem lines, so a switch is
// refused and the state shown stays as the line is; "Hardware" owns RTS.
void DocumentTest::byteCountsAndOutputLines()
{
    ConnectedDoc c(QStringLiteral("COM7"), [](TestDocSetup& s) {
        s.settings->writeInt(kCom, QStringLiteral("Local Echo"), 1);
    });
    QVERIFY(c.connect());
    QVERIFY(c.setup.pty.write(pattern(3000)));
    QTRY_COMPARE_WITH_TIMEOUT(c.view.received.size(), 3000, 5000);
    QVERIFY(c.doc.SendChar('x'));
    QVERIFY(c.doc.SendBlock("hello\r", 6));
    QCOMPARE(c.setup.pty.read(7, 2000), QByteArray("xhello\r"));
    QTRY_COMPARE(c.doc.byteCounts().sent, 7);
    QCOMPARE(c.doc.byteCounts().received, 3000);

    c.doc.resetByteCounts();
    QCOMPARE(c.doc.byteCounts().received + c.doc.byteCounts().sent, 0);
    QVERIFY(c.doc.SendChar('y'));
    QCOMPARE(c.doc.byteCounts().sent, 1);
    c.doc.Disconnect();
    QVERIFY(c.doc.Connect());
    QCOMPARE(c.doc.byteCounts().sent, 0);

    QVERIFY(c.doc.dtrOn() && c.doc.rtsOn());
    QVERIFY(!c.doc.setDtr(false));
    QVERIFY(c.doc.dtrOn());
    QVERIFY(!c.doc.modemLines().known);
    QVERIFY(!c.doc.rtsOwnedByFlowControl());
    CommDialogValues hardware = c.doc.commDialogValues();
    hardware.flowControl = QStringLiteral("Hardware");
    c.doc.OnCommSettingsOk(hardware);
    QVERIFY(c.doc.rtsOwnedByFlowControl());
}

void DocumentTest::sendCharWithoutPortBeeps()
{
    RecordingFeedback feedback;
    CBrennockDoc doc(nullptr, feedback);
    RecordingView view;
    doc.addView(&view);
    QVERIFY(!doc.SendChar('a'));
    QCOMPARE(feedback.beeps, 1);
    QVERIFY(view.received.isEmpty());
}

void DocumentTest::dialogPort99Disconnects()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    CommDialogValues values = c.doc.commDialogValues();
    QCOMPARE(values.portNumber, 7);
    values.portNumber = 99;
    values.baudRate = QStringLiteral("19200");
    c.doc.OnCommSettingsOk(values);
    QVERIFY(!c.doc.isConnected());
    QCOMPARE(c.doc.title(), QStringLiteral("Not connected"));
    QCOMPARE(c.doc.commSettings().portName, QStringLiteral("COM99"));
    QCOMPARE(c.doc.commSettings().baudRate, QStringLiteral("9600")); // discarded
    QVERIFY(!c.setup.settings->contains(kCom, QStringLiteral("Baud Rate")));
    QCOMPARE(c.setup.settings->readText(kCom, QStringLiteral("COM Port"), QString()),
             QStringLiteral("COM7"));
    QVERIFY(c.setup.feedback.messages.isEmpty());
}

void DocumentTest::dialogBaudChangeReappliesInPlace()
{
    ConnectedDoc c;
    QVERIFY(c.connect());
    SerialPort* port = c.doc.port();
    QCOMPARE(speedOf(c.setup.pty), speed_t(B9600));

    CommDialogValues values = c.doc.commDialogValues();
    values.baudRate = QStringLiteral("19200");
    values.parity = QStringLiteral("Even");
    c.doc.OnCommSettingsOk(values);
    QCOMPARE(c.doc.port(), port); // not reopened
    QCOMPARE(c.view.clears, 1);   // not cleared
    QVERIFY(c.setup.feedback.messages.isEmpty());
    QCOMPARE(speedOf(c.setup.pty), speed_t(B19200));
    QVERIFY(port->requestedLineFlags().cflag & PARENB); // a pty itself drops parity
    QCOMPARE(c.setup.settings->readText(kCom, QStringLiteral("Baud Rate"), QString()),
             QStringLiteral("19200"));
    QCOMPARE(c.setup.settings->readInt(kCom, QStringLiteral("Local Echo"), -1), 0);
}

void DocumentTest::dialogPortChangeWhileNotConnectedConnects()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.usePort(QStringLiteral("COM5")); // missing
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QVERIFY(doc.OnNewDocument());
    QVERIFY(!doc.isConnected());
    setup.feedback.clear();

    CommDialogValues values = doc.commDialogValues();
    QCOMPARE(values.portNumber, 5);
    values.portNumber = 7;
    doc.OnCommSettingsOk(values);
    QVERIFY(doc.isConnected());
    QCOMPARE(doc.title(), QStringLiteral("COM7"));
    QVERIFY(setup.feedback.messages.isEmpty());
    QCOMPARE(setup.settings->readText(kCom, QStringLiteral("COM Port"), QString()),
             QStringLiteral("COM7"));
}

void DocumentTest::dialogPortChangeWhileConnectedAsks()
{
    TestDocSetup setup;
    QVERIFY(setup.ok());
    PtyPair other;
    QVERIFY(other.ok());
    bindPortDevice(*setup.settings, QStringLiteral("COM8"), other.slavePath());
    setup.usePort(QStringLiteral("COM7"));
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QVERIFY(doc.Connect());

    CommDialogValues values = doc.commDialogValues();
    values.portNumber = 8;
    values.baudRate = QStringLiteral("38400");
    setup.feedback.answers = {MessageResult::No};
    doc.OnCommSettingsOk(values);
    QCOMPARE(setup.feedback.messages.size(), 2);
    QCOMPARE(setup.feedback.messages[0].text,
             QStringLiteral(
                 "Already connected to a different port.  Close and reconnect using new port?"));
    QCOMPARE(setup.feedback.messages[0].caption, QStringLiteral("Change Port"));
    QCOMPARE(setup.feedback.messages[0].icon, MessageIcon::Information);
    QCOMPARE(setup.feedback.messages[0].buttons, MessageButtons::YesNo);
    QCOMPARE(setup.feedback.messages[1].text, QStringLiteral("Port settings not changed"));
    QCOMPARE(setup.feedback.messages[1].caption, QStringLiteral("No Change"));
    QCOMPARE(setup.feedback.messages[1].icon, MessageIcon::Warning);
    QCOMPARE(doc.port()->devicePath(), setup.pty.slavePath());
    QCOMPARE(doc.commSettings().baudRate, QStringLiteral("9600"));

    setup.feedback.clear();
    setup.feedback.answers = {MessageResult::Yes};
    doc.OnCommSettingsOk(values);
    QCOMPARE(setup.feedback.messages.size(), 1);
    QVERIFY(doc.isConnected());
    QCOMPARE(doc.port()->devicePath(), other.slavePath());
    QCOMPARE(doc.title(), QStringLiteral("COM8"));
    QCOMPARE(speedOf(other), speed_t(B38400));
}

void DocumentTest::dialogUnchangedNameWithoutPortOnlyStores()
{
    ConnectedDoc c(QStringLiteral("COM5"));
    QVERIFY(c.setup.ok());
    CommDialogValues values = c.doc.commDialogValues();
    values.baudRate = QStringLiteral("2400");
    values.sendCrLf = true;
    c.doc.OnCommSettingsOk(values);
    QVERIFY(!c.doc.isConnected());
    QVERIFY(c.setup.feedback.messages.isEmpty()); // no connect was tried
    QCOMPARE(c.setup.settings->readText(kCom, QStringLiteral("Baud Rate"), QString()),
             QStringLiteral("2400"));
    QCOMPARE(c.setup.settings->readInt(kCom, QStringLiteral("Send CRLF"), -1), 1);
}

void DocumentTest::settingsMapOntoLine_data()
{
    QTest::addColumn<QString>("parity");
    QTest::addColumn<QString>("stopBits");
    QTest::addColumn<QString>("flowControl");
    QTest::addColumn<QString>("dataBits");
    QTest::addColumn<uint>("cflag"); // PARENB | PARODD | CSTOPB | CRTSCTS
    QTest::addColumn<bool>("xonxoff");

    // A pty refuses 7 data bits without parity, so those rows use 8.
    QTest::newRow("Even, 7, 1, None") << "Even"
                                      << "1"
                                      << "None"
                                      << "7" << uint(PARENB) << false;
    QTest::newRow("Odd, 7, 2, Hardware")
        << "Odd"
        << "2"
        << "Hardware"
        << "7" << uint(PARENB | PARODD | CSTOPB | CRTSCTS) << false;
    QTest::newRow("unknown parity Mark gives none") << "Mark"
                                                    << "1"
                                                    << "Software"
                                                    << "8" << 0u << true;
    QTest::newRow("unknown flow gives hardware") << "None"
                                                 << "1.5"
                                                 << "Sideways"
                                                 << "8" << uint(CRTSCTS) << false;
}

void DocumentTest::settingsMapOntoLine()
{
    QFETCH(QString, parity);
    QFETCH(QString, stopBits);
    QFETCH(QString, flowControl);
    QFETCH(QString, dataBits);
    QFETCH(uint, cflag);
    QFETCH(bool, xonxoff);

    TestDocSetup setup;
    QVERIFY(setup.ok());
    setup.usePort(QStringLiteral("COM7"));
    setup.settings->writeText(kCom, QStringLiteral("Parity"), parity);
    setup.settings->writeText(kCom, QStringLiteral("Stop Bits"), stopBits);
    setup.settings->writeText(kCom, QStringLiteral("Flow Control"), flowControl);
    setup.settings->writeText(kCom, QStringLiteral("Data Bits"), dataBits);
    CBrennockDoc doc(setup.settings.get(), setup.feedback);
    QVERIFY(doc.Connect());
    // What the port asked for (a pty forces CS8 and no parity)...
    const SerialPort::LineFlags asked = doc.port()->requestedLineFlags();
    QCOMPARE(uint(asked.cflag & (PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS)), cflag);
    QCOMPARE(uint(asked.cflag & CSIZE), uint(dataBits == QLatin1String("7") ? CS7 : CS8));
    // ...and what the line kept.
    const struct termios tio = lineOf(setup.pty);
    QCOMPARE(uint(tio.c_cflag & (PARODD | CSTOPB | CRTSCTS)),
             cflag & uint(PARODD | CSTOPB | CRTSCTS));
    QCOMPARE(bool(tio.c_iflag & IXON), xonxoff);
    QCOMPARE(bool(tio.c_iflag & IXOFF), xonxoff);
}

QTEST_GUILESS_MAIN(DocumentTest)
#include "tst_document.moc"
