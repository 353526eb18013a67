// The load progress dialog (owner disabled, Cancel/Escape/Enter, a range past 16
// bits) and the load commands of the window end to end against qx2sim: Load with
// its filter and "LastExt", the progress shown while the main window is disabled,
// F5 and F6, the submenu of the commands without an entry, a recent file, and a
// cancelled load that leaves the terminal running.
#include "BrennockDoc.h"
#include "BrennockView.h"
#include "LoadMenu.h"
#include "LoadProgressDialog.h"
#include "MainFrame.h"
#include "PortBindings.h"
#include "RecordingFeedback.h"
#include "SettingsStore.h"
#include "SimEngine.h"

#include "BigEndian.h"

#include <QAction>
#include <QApplication>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <memory>

namespace
{

QByteArray pattern(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 13 + i / 256) & 0xFF);
    return b;
}

QString writeRun(const QString& path, quint32 address, const QByteArray& image)
{
    uchar h[28] = {};
    putBe16(h, 0x601A);
    putBe32(h + 2, quint32(image.size()));
    putBe32(h + 22, address);
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return QString();
    f.write(QByteArray(reinterpret_cast<const char*>(h), sizeof h) + image);
    return path;
}

LoadProgressDialog* openProgressDialog()
{
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (auto* d = qobject_cast<LoadProgressDialog*>(w); d && d->isVisible())
            return d;
    }
    return nullptr;
}

// A window on qx2sim: private settings, COM3 bound to the simulator's link.
struct WindowRig {
    QTemporaryDir dir;
    std::unique_ptr<qx2sim::SimEngine> sim;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<CMainFrame> frame;
    QStringList requests; // captions of the file dialogs asked for
    QList<LoadMenu::FileRequest> asked;
    QString answer; // what the "user" picks

    bool start(bool connect = true)
    {
        qputenv("XDG_CONFIG_HOME", dir.path().toLocal8Bit());
        qx2sim::SimOptions o;
        o.linkPath = dir.path() + QStringLiteral("/qx2");
        o.timing.loadIdleMs = 1000;
        sim = std::make_unique<qx2sim::SimEngine>(o);
        QString error;
        if (!sim->start(&error))
            return false;
        settings = std::make_unique<SettingsStore>(dir.path() + QStringLiteral("/Brennock.ini"));
        bindPortDevice(*settings, QStringLiteral("COM3"),
                       connect ? o.linkPath : dir.path() + QStringLiteral("/none"));
        settings->writeText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"),
                            QStringLiteral("COM3"));
        frame = std::make_unique<CMainFrame>(*settings, &feedback);
        frame->loadMenu()->setFileChooser([this](const LoadMenu::FileRequest& r) {
            asked.append(r);
            return answer;
        });
        MonitorTiming t;
        t.loadRead = {0, 100, 600};
        t.replyRead = {0, 5, 15};
        frame->loadMenu()->setTiming(t);
        frame->show();
        frame->startDocument(QString());
        if (connect && !frame->document().isConnected()) {
            for (const RecordingFeedback::Message& m : feedback.messages)
                qWarning("at start: %s | %s", qPrintable(m.caption), qPrintable(m.text));
            return false;
        }
        return true;
    }
    QString path(const QString& name) const { return dir.path() + QLatin1Char('/') + name; }
};

} // namespace

class TestLoadUi : public QObject
{
    Q_OBJECT

private slots:
    void dialogDisablesItsOwnerAndCancelIsOnlyRecorded();
    void dialogRangeDoesNotWrap();
    void transferMenuOffersEveryLoadCommand();
    void loadFromTheMenuShowsProgressAndTheReport();
    void redoKeysAndTheirMessages();
    void recentFileConnectsAndLoads();
    void cancelledLoadLeavesTheTerminalRunning();
    void noPortSaysNotConnected();
    void deviceGoneDuringALoadIsToldOnce();
};

void TestLoadUi::dialogDisablesItsOwnerAndCancelIsOnlyRecorded()
{
    QWidget owner;
    owner.show();
    {
        LoadProgressDialog dialog(&owner);
        QVERIFY(owner.isEnabled());
        QVERIFY(dialog.OpenProgress());
        dialog.SetProgressTitle(QStringLiteral("Sending..."));
        dialog.SetProgressText(QStringLiteral("12 Bytes to [A.TXT]"));
        QVERIFY(!owner.isEnabled());
        QVERIFY(dialog.isVisible());
        QVERIFY2(dialog.isEnabled(), "Cancel stays usable");
        QCOMPARE(dialog.windowTitle(), QStringLiteral("Sending..."));
        QCOMPARE(dialog.statusLabel()->text(), QStringLiteral("12 Bytes to [A.TXT]"));

        // Enter does nothing.
        QTest::keyClick(&dialog, Qt::Key_Return);
        QTest::keyClick(&dialog, Qt::Key_Enter);
        QVERIFY(dialog.isVisible());
        QVERIFY(!dialog.CheckCancel());

        // Two presses before a poll are one cancel; the dialog stays open.
        QTest::mouseClick(dialog.cancelButton(), Qt::LeftButton);
        QTest::keyClick(&dialog, Qt::Key_Escape);
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.CheckCancel());
        QVERIFY(!dialog.CheckCancel());

        // The window's close button is a Cancel too.
        dialog.close();
        QVERIFY(dialog.isVisible());
        QVERIFY(dialog.CheckCancel());
        QTRY_COMPARE(QApplication::activeWindow(), &dialog);
    }
    QVERIFY(owner.isEnabled());
    // The keyboard goes back to the owner: typing reaches the terminal at once.
    QTRY_COMPARE(QApplication::activeWindow(), &owner);

    // An owner that was disabled already stays disabled.
    owner.setEnabled(false);
    {
        LoadProgressDialog dialog(&owner);
        dialog.OpenProgress();
    }
    QVERIFY(!owner.isEnabled());
}

void TestLoadUi::dialogRangeDoesNotWrap()
{
    LoadProgressDialog dialog(nullptr);
    dialog.OpenProgress();
    const int high = (2 << 20) / 16; // a 2 MiB capture send: 131072 steps
    dialog.SetProgressRange(0, high);
    dialog.SetProgressStep(1);
    dialog.SetProgressPos(0);
    QCOMPARE(dialog.bar()->maximum(), high);
    for (int i = 0; i < 70000; ++i)
        dialog.StepProgress();
    QCOMPARE(dialog.bar()->value(), 70000);
}

void TestLoadUi::transferMenuOffersEveryLoadCommand()
{
    WindowRig rig;
    QVERIFY(rig.start(false));
    CMainFrame& f = *rig.frame;
    for (const char* name :
         {"load", "redoLastLoad", "sendBinary", "postLinkAndLoad", "postLink", "redoLoadCpm68k"})
        QVERIFY2(f.action(QString::fromLatin1(name))->isEnabled(), name);
    QMenu* more = f.loadMenu()->moreCommandsMenu();
    QMenu* transfer = f.findChild<QMenu*>(QStringLiteral("transferMenu"));
    QVERIFY(transfer);
    QVERIFY(transfer->actions().contains(more->menuAction()));
    QCOMPARE(more->actions().size(), 6); // four commands, a separator, F6
    // Send HEX and Send CPM68K need a connection.
    QVERIFY(!f.document().isConnected());
    emit more->aboutToShow();
    QVERIFY(!f.action(QStringLiteral("sendHexFile"))->isEnabled());
    QVERIFY(!f.action(QStringLiteral("sendCpm68kFile"))->isEnabled());
    QCOMPARE(f.action(QStringLiteral("postLink"))->statusTip(),
             QStringLiteral("Convert .Bin file to absolute load files"));
}

void TestLoadUi::loadFromTheMenuShowsProgressAndTheReport()
{
    WindowRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.frame->document().isConnected());
    const QByteArray image = pattern(6000);
    rig.answer = writeRun(rig.path(QStringLiteral("demo.run")), 0x10000, image);

    // Seen from inside the transfer, while the dialog pumps events.
    QString titleSeen;
    bool frameEnabledDuring = true;
    QTimer spy;
    spy.setInterval(0);
    connect(&spy, &QTimer::timeout, [&] {
        if (LoadProgressDialog* d = openProgressDialog()) {
            titleSeen = d->windowTitle();
            frameEnabledDuring = rig.frame->isEnabled();
        }
    });
    spy.start();
    rig.frame->action(QStringLiteral("load"))->trigger();
    spy.stop();

    QCOMPARE(rig.asked.size(), 1);
    QCOMPARE(rig.asked[0].filters.value(0),
             QStringLiteral("Common QXx Load Files (*.bin *.run *.app)"));
    QCOMPARE(rig.asked[0].filters.size(), 9);
    QVERIFY(rig.asked[0].directory.isEmpty());
    QCOMPARE(titleSeen, QStringLiteral("Sending CPM68K File"));
    QVERIFY(!frameEnabledDuring);
    QVERIFY(rig.frame->isEnabled());
    QVERIFY(!openProgressDialog());
    QVERIFY(rig.feedback.messages.isEmpty());

    const qx2sim::MemoryModel m = rig.sim->memory();
    QCOMPARE(m.loads.size(), 1);
    QCOMPARE(m.read(0x10000, image.size()), image);
    rig.frame->view()->flushPending();
    // 6000 bytes from 0x10000: the last byte at 0x1176F.
    const QString crcText =
        QStringLiteral("###BK Load: CRC 010000 01176F = ") +
        QString::number(m.loads[0].crc, 16).toUpper().rightJustified(8, QLatin1Char('0'));
    QVERIFY2(rig.frame->view()->shownText().contains(crcText),
             qPrintable(rig.frame->view()->shownText()));
    // The program's answer to 'G' reaches the terminal through the restarted reader.
    QTRY_VERIFY_WITH_TIMEOUT(
        rig.frame->view()->shownText().contains(QStringLiteral("QX2 program at 010000 running")),
        3000);
    SettingsStore& s = rig.frame->settings();
    QCOMPARE(s.readText(QStringLiteral("LastPath"), QStringLiteral("LastExt"), QString()),
             QStringLiteral("*.run"));
    QCOMPARE(s.readText(QStringLiteral("LastPath"), QStringLiteral("LastLoad"), QString()),
             rig.answer);
    QVERIFY(rig.frame->recentFiles().contains(rig.answer));
    QVERIFY(rig.frame->document().port()->readerRunning());
}

void TestLoadUi::redoKeysAndTheirMessages()
{
    WindowRig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.feedback.messages.isEmpty());
    CBrennockView* view = rig.frame->view();
    QTest::keyRelease(view, Qt::Key_F5);
    QTest::keyRelease(view, Qt::Key_F6);
    for (const RecordingFeedback::Message& m : rig.feedback.messages)
        qInfo("message: %s | %s", qPrintable(m.caption), qPrintable(m.text));
    QCOMPARE(rig.feedback.messages.size(), 2);
    QCOMPARE(rig.feedback.messages[0].text,
             QStringLiteral("You must do a PostLink and Load at least once before F5 will work."));
    QCOMPARE(rig.feedback.messages[1].text,
             QStringLiteral("You must do a Load CPM68K at least once before F6 will work."));
    QCOMPARE(rig.feedback.messages[0].caption, QStringLiteral("Brennock"));
    rig.feedback.clear();

    rig.answer = writeRun(rig.path(QStringLiteral("redo.app")), 0x20000, pattern(100));
    QTest::keyRelease(view, Qt::Key_F7);
    QCOMPARE(rig.sim->memory().loads.size(), 1);
    QTest::keyRelease(view, Qt::Key_F5);
    QCOMPARE(rig.sim->memory().loads.size(), 2);
    QTest::keyRelease(view, Qt::Key_F6); // the .APP was stored for F6
    QCOMPARE(rig.sim->memory().loads.size(), 3);
    QVERIFY(rig.feedback.messages.isEmpty());
}

void TestLoadUi::recentFileConnectsAndLoads()
{
    WindowRig rig;
    QVERIFY(rig.start());
    rig.frame->document().Disconnect();
    const QString run = writeRun(rig.path(QStringLiteral("recent.run")), 0x10000, pattern(300));
    rig.frame->openDocumentFile(run);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim->memory().loads.size(), 1, 5000);
    QVERIFY(rig.frame->document().isConnected());
    QCOMPARE(rig.frame->recentFiles().value(0), run);
}

void TestLoadUi::cancelledLoadLeavesTheTerminalRunning()
{
    WindowRig rig;
    QVERIFY(rig.start());
    rig.answer = writeRun(rig.path(QStringLiteral("big.run")), 0x10000, pattern(200000));
    QTimer presser;
    presser.setInterval(0);
    connect(&presser, &QTimer::timeout, [&] {
        if (LoadProgressDialog* d = openProgressDialog(); d && d->bar()->value() >= 2)
            QTest::mouseClick(d->cancelButton(), Qt::LeftButton);
    });
    presser.start();
    rig.frame->action(QStringLiteral("load"))->trigger();
    presser.stop();
    QCOMPARE(rig.feedback.messages.size(), 1);
    QCOMPARE(rig.feedback.messages[0].text, QStringLiteral("### DuVizEred Aborted"));
    QVERIFY(rig.frame->isEnabled());
    QVERIFY(rig.frame->document().isConnected());
    QVERIFY(rig.frame->document().port()->readerRunning());
    // The terminal still talks to the instrument.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.sim->memory().loads.isEmpty(), 1000);
    QTest::qWait(1200); // the instrument gives the broken load up
    rig.frame->document().SendChar('\r');
    QTRY_VERIFY_WITH_TIMEOUT(rig.frame->view()->shownText().endsWith(QStringLiteral("C:\\>")),
                             3000);
}

void TestLoadUi::noPortSaysNotConnected()
{
    WindowRig rig;
    QVERIFY(rig.start(false));
    rig.feedback.clear();
    rig.answer = writeRun(rig.path(QStringLiteral("x.run")), 0x10000, pattern(10));
    rig.frame->action(QStringLiteral("load"))->trigger();
    QCOMPARE(rig.feedback.messages.size(), 1);
    QCOMPARE(rig.feedback.messages[0].text, QStringLiteral("Not connected"));
    QCOMPARE(rig.feedback.messages[0].caption, QStringLiteral("LOAD"));
}

void TestLoadUi::deviceGoneDuringALoadIsToldOnce()
{
    WindowRig rig;
    QVERIFY(rig.start());
    rig.answer = writeRun(rig.path(QStringLiteral("gone.run")), 0x10000, pattern(100000));
    QTimer unplug;
    unplug.setInterval(0);
    connect(&unplug, &QTimer::timeout, [&] {
        if (LoadProgressDialog* d = openProgressDialog(); d && d->bar()->value() >= 2)
            rig.sim->stop(); // the far end goes away mid-load
    });
    unplug.start();
    QElapsedTimer t;
    t.start();
    rig.frame->action(QStringLiteral("load"))->trigger();
    unplug.stop();
    QVERIFY(t.elapsed() < 5000);
    QTest::qWait(300); // a late report of the comm thread must not add a message
    QCOMPARE(rig.feedback.messages.size(), 1);
    QVERIFY2(rig.feedback.messages[0].text.contains(QStringLiteral("has gone away")),
             qPrintable(rig.feedback.messages[0].text));
    QVERIFY(rig.frame->document().lineLost());
    QVERIFY(!rig.frame->document().isConnected());
    QVERIFY(rig.frame->isEnabled());
    QVERIFY(!openProgressDialog());
}

QTEST_MAIN(TestLoadUi)
#include "tst_load_ui.moc"
