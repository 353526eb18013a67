// The main frame with its document and view: qx2sim at the far end, the
// Communication Settings dialog driven as a user would, the options dialog, Save
// Selection As, and a screenshot of the window showing the instrument's console.
#include "BrennockDoc.h"
#include "CommSettingsDialog.h"
#include "HexView.h"
#include "MainFrame.h"
#include "PtyPair.h"
#include "ReconnectWatcher.h"
#include "RecordingFeedback.h"
#include "ShellDefaults.h"
#include "TerminalDialogs.h"
#include "UiTestSupport.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QToolButton>

#include <termios.h>

namespace
{

struct FrameSetup {
    TempConfig config;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<CMainFrame> frame;

    void start(bool connect)
    {
        settings = std::make_unique<SettingsStore>(config.iniPath());
        writeStartDefaults(*settings);
        frame = std::make_unique<CMainFrame>(*settings, &feedback);
        frame->show();
        if (connect)
            frame->startDocument(QString());
    }
    CBrennockDoc& doc() { return frame->document(); }
    ~FrameSetup() { frame.reset(); }
};

// Opens the dialog through its menu entry and returns it.
CommSettingsDialog* openCommDialog(CMainFrame& frame)
{
    frame.action(QStringLiteral("commSettings"))->trigger();
    return frame.findChild<CommSettingsDialog*>();
}

void clickOk(QDialog* dialog)
{
    QDialogButtonBox* box = dialog->findChild<QDialogButtonBox*>();
    QTest::mouseClick(box->button(QDialogButtonBox::Ok), Qt::LeftButton);
}

speed_t speedOf(int fd)
{
    termios tio{};
    tcgetattr(fd, &tio);
    return cfgetospeed(&tio);
}

} // namespace

class FrameTest : public QObject
{
    Q_OBJECT

private slots:
    void typedKeysReachInstrumentAndEchoAppears();
    void statusBarShowsTheLineState();
    void hexViewHoldsEveryByteWhileSwitched();
    void commDialogBaudChangeReappliesWithoutQuestion();
    void commDialogPort99Disconnects();
    void commDialogPortChangeWhileConnected_data();
    void commDialogPortChangeWhileConnected();
    void commDialogPortChangeWhileDisconnectedConnects();
    void commDialogRefusesOutOfRangeNumbers_data();
    void commDialogRefusesOutOfRangeNumbers();
    void commDialogBindsDevice();
    void commDialogCancelChangesNothing();
    void copyPasteOptionsStoreAndAct();
    void saveSelectionRoundTrip();
    void saveSelectionFailureIsReported();
    void wrapAndColoursAreStored();
    void findDialogAndFindNext();
    void disconnectWhileFloodedDoesNotHang();
    void commDialogRefusedChangeStoresNoBinding_data();
    void commDialogRefusedChangeStoresNoBinding();
    void copyPasteOptionBoxesFlipFromBothStates_data();
    void copyPasteOptionBoxesFlipFromBothStates();
    void breakHoldsTypedKeysUntilItEnds();
    void instrumentKilledThenBackAtTheSameLink();
    void activationIsNoKeyEvent();
};

void FrameTest::typedKeysReachInstrumentAndEchoAppears()
{
    SimInstrument sim;
    QString problem;
    QVERIFY2(sim.start(&problem), qPrintable(problem));
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), sim.link());
    t.start(true);
    QVERIFY(QTest::qWaitForWindowExposed(t.frame.get()));
    QVERIFY2(t.doc().isConnected(), qPrintable(t.feedback.messages.value(0).text));
    QCOMPARE(t.frame->windowTitle(), QStringLiteral("COM3 - Brennock"));
    CBrennockView* view = t.frame->view();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("C:\\>")), 5000);
    QTest::keyClicks(view, QStringLiteral("help"));
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().endsWith(QStringLiteral("C:\\>help")), 5000);
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY2_WITH_TIMEOUT(view->toPlainText().count(QStringLiteral("C:\\>")) >= 2,
                              qPrintable(view->toPlainText()), 5000);
    QTest::keyClicks(view, QStringLiteral("dir"));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().count(QStringLiteral("C:\\>")) >= 3, 5000);
    QTest::qWait(100);
    t.frame->resize(760, 520);
    QTest::qWait(50);
    const QString shot = QStringLiteral(TERMUI_BUILD_DIR "/brennock-main-window.png");
    QVERIFY(t.frame->grab().save(shot));
    QVERIFY(t.feedback.messages.isEmpty());
}

// Counts of what crossed the line, the input lines (a pty has none: all dimmed) and the
// output toggles; a click on the counts counts from zero.
void FrameTest::statusBarShowsTheLineState()
{
    SimInstrument sim;
    QString problem;
    QVERIFY2(sim.start(&problem), qPrintable(problem));
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), sim.link());
    t.start(true);
    QVERIFY(QTest::qWaitForWindowExposed(t.frame.get()));
    auto* counts = t.frame->findChild<QToolButton*>(QStringLiteral("byteCountsPane"));
    QVERIFY(counts);
    CBrennockView* view = t.frame->view();
    view->setFocus();
    QTest::keyClicks(view, QStringLiteral("help"));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("C:\\>")), 5000);
    QTRY_COMPARE(counts->text(), QStringLiteral("RX %1  TX 5").arg(t.doc().byteCounts().received));
    QVERIFY(t.doc().byteCounts().received > 5);
    QTest::mouseClick(counts, Qt::LeftButton);
    QCOMPARE(counts->text(), QStringLiteral("RX 0  TX 0"));

    for (const char* name : {"ctsPane", "dsrPane", "dcdPane", "riPane"})
        QVERIFY(!t.frame->findChild<QLabel*>(QString::fromLatin1(name))->isEnabled());
    auto* dtr = t.frame->findChild<QToolButton*>(QStringLiteral("dtrToggle"));
    QVERIFY(dtr->isEnabled() && dtr->isChecked());
    QTest::mouseClick(dtr, Qt::LeftButton); // refused by the pty: shown as it is
    QVERIFY(dtr->isChecked());
    t.doc().Disconnect();
    QTRY_VERIFY(!dtr->isEnabled());
}

// The hex view is fed from the hand-over whether shown or not: switching between text,
// hex beside it and hex alone during a flood loses nothing, and typed bytes are marked
// as sent.
void FrameTest::hexViewHoldsEveryByteWhileSwitched()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), pair.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    QCOMPARE(t.frame->hexViewMode(), 0);
    QByteArray flood;
    for (int i = 0; i < 200000; ++i)
        flood += char(i % 7 == 6 ? '\n' : 32 + i % 95);
    QTest::keyClicks(t.frame->view(), QStringLiteral("ab"));
    for (int part = 0; part < 8; ++part) {
        QVERIFY(pair.write(flood.mid(part * 25000, 25000), 10000));
        t.frame->setHexViewMode(part % 3);
        QTest::qWait(5);
    }
    const HexDump& dump = t.frame->hexViewWidget()->dump();
    QTRY_COMPARE_WITH_TIMEOUT(dump.endOffset(), qint64(flood.size() + 2), 20000);
    QByteArray received, sent;
    for (qint64 i = 0; i < dump.endOffset(); ++i)
        (dump.wasSent(i) ? sent : received) += dump.keptBytes().at(int(i));
    QCOMPARE(sent, QByteArray("ab"));
    QCOMPARE(received, flood);
    t.frame->view()->flushPending();
    QCOMPARE(t.frame->view()->shownText().count(QLatin1Char('\n')), flood.count('\n'));

    t.frame->setHexViewMode(2);
    QVERIFY(t.frame->view()->isHidden() && t.frame->hexViewWidget()->isVisible());
    QCOMPARE(t.settings->readInt(QStringLiteral("Text"), QStringLiteral("Hex View"), 0), 2);
    quint32 sentMask = 0;
    QCOMPARE(dump.rowText(0, &sentMask).left(15), QStringLiteral("00000000  61 62"));
    QCOMPARE(sentMask & 3u, 3u);
    QCOMPARE(sentMask >> 2, 0u);
}

void FrameTest::commDialogBaudChangeReappliesWithoutQuestion()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), pair.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    SerialPort* port = t.doc().port();
    t.doc().DeliverToViews("keep me", 7);
    t.frame->view()->flushPending();

    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    QVERIFY(dialog);
    QCOMPARE(dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->text(),
             QStringLiteral("3"));
    QCOMPARE(dialog->findChild<QComboBox*>(QStringLiteral("baudRate"))->currentText(),
             QStringLiteral("9600"));
    dialog->findChild<QComboBox*>(QStringLiteral("baudRate"))
        ->setCurrentText(QStringLiteral("19200"));
    dialog->findChild<QComboBox*>(QStringLiteral("parity"))->setCurrentText(QStringLiteral("Even"));
    clickOk(dialog);

    QVERIFY(t.feedback.messages.isEmpty());
    QCOMPARE(t.doc().port(), port); // not reopened
    QCOMPARE(t.frame->view()->toPlainText(), QStringLiteral("keep me"));
    QCOMPARE(speedOf(pair.slave()), speed_t(B19200));
    QCOMPARE(t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("Baud Rate"),
                                  QString()),
             QStringLiteral("19200"));
    QCOMPARE(
        t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("Parity"), QString()),
        QStringLiteral("Even"));
}

void FrameTest::commDialogPort99Disconnects()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), pair.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("99"));
    dialog->findChild<QComboBox*>(QStringLiteral("baudRate"))
        ->setCurrentText(QStringLiteral("1200"));
    clickOk(dialog);
    QVERIFY(!t.doc().isConnected());
    QCOMPARE(t.frame->windowTitle(), QStringLiteral("Not connected - Brennock"));
    // Nothing else was applied or stored.
    QCOMPARE(t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("Baud Rate"),
                                  QString()),
             QStringLiteral("9600"));
    QCOMPARE(
        t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"), QString()),
        QStringLiteral("COM3"));
}

void FrameTest::commDialogPortChangeWhileConnected_data()
{
    QTest::addColumn<bool>("answerYes");
    QTest::newRow("No keeps the port") << false;
    QTest::newRow("Yes reconnects") << true;
}

void FrameTest::commDialogPortChangeWhileConnected()
{
    QFETCH(bool, answerYes);
    PtyPair first, second;
    QVERIFY(first.ok() && second.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM4"), second.slavePath());
    t.config.usePort(QStringLiteral("COM3"), first.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    t.feedback.answers << (answerYes ? MessageResult::Yes : MessageResult::No);
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("4"));
    clickOk(dialog);

    QVERIFY(!t.feedback.messages.isEmpty());
    const RecordingFeedback::Message question = t.feedback.messages.first();
    QCOMPARE(question.text,
             QStringLiteral(
                 "Already connected to a different port.  Close and reconnect using new port?"));
    QCOMPARE(question.caption, QStringLiteral("Change Port"));
    QCOMPARE(question.buttons, MessageButtons::YesNo);
    QVERIFY(t.doc().isConnected());
    if (answerYes) {
        QCOMPARE(t.doc().commSettings().portName, QStringLiteral("COM4"));
        QCOMPARE(t.frame->windowTitle(), QStringLiteral("COM4 - Brennock"));
        t.doc().SendChar('x');
        QCOMPARE(second.read(1, 1000), QByteArray("x"));
    } else {
        QCOMPARE(t.feedback.messages.size(), 2);
        QCOMPARE(t.feedback.messages.at(1).text, QStringLiteral("Port settings not changed"));
        QCOMPARE(t.feedback.messages.at(1).caption, QStringLiteral("No Change"));
        QCOMPARE(t.doc().commSettings().portName, QStringLiteral("COM3"));
        QCOMPARE(t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("COM Port"),
                                      QString()),
                 QStringLiteral("COM3"));
    }
}

void FrameTest::commDialogPortChangeWhileDisconnectedConnects()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM7"), pair.slavePath());
    t.config.usePort(QStringLiteral("COM3"), t.config.path() + QStringLiteral("/absent"));
    t.start(true);
    QVERIFY(!t.doc().isConnected());
    t.feedback.clear();
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("7"));
    QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("deviceLabel"))->text(),
             QStringLiteral("COM7 is ") + pair.slavePath());
    clickOk(dialog);
    QVERIFY(t.feedback.messages.isEmpty());
    QVERIFY(t.doc().isConnected());
    QCOMPARE(t.frame->windowTitle(), QStringLiteral("COM7 - Brennock"));
}

void FrameTest::commDialogRefusesOutOfRangeNumbers_data()
{
    QTest::addColumn<QString>("number");
    QTest::newRow("0") << "0";
    QTest::newRow("256") << "256";
    QTest::newRow("empty") << "";
}

void FrameTest::commDialogRefusesOutOfRangeNumbers()
{
    QFETCH(QString, number);
    FrameSetup t;
    t.start(false);
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(number);
    clickOk(dialog);
    QCOMPARE(t.feedback.messages.size(), 1);
    QCOMPARE(t.feedback.messages.first().text,
             QStringLiteral("Please enter an integer between 1 and 255."));
    QVERIFY(dialog->isVisible()); // stays open
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("99"));
    clickOk(dialog);
    QTRY_VERIFY(!t.frame->findChild<CommSettingsDialog*>());
}

void FrameTest::commDialogBindsDevice()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.start(false);
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("12"));
    QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("deviceLabel"))->text(),
             QStringLiteral("COM12 is /dev/ttyS11"));
    dialog->findChild<QComboBox*>(QStringLiteral("devices"))->setEditText(pair.slavePath());
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("bindButton")),
                      Qt::LeftButton);
    QCOMPARE(dialog->findChild<QLabel*>(QStringLiteral("deviceLabel"))->text(),
             QStringLiteral("COM12 is ") + pair.slavePath());
    QCOMPARE(resolvePortDevice(QStringLiteral("COM12"), portBindingsOf(t.settings.get())),
             QStringLiteral("/dev/ttyS11")); // not yet
    clickOk(dialog);
    QCOMPARE(resolvePortDevice(QStringLiteral("COM12"), portBindingsOf(t.settings.get())),
             pair.slavePath());
    QVERIFY2(t.doc().isConnected(), qPrintable(t.feedback.messages.value(0).text));
    QCOMPARE(t.frame->windowTitle(), QStringLiteral("COM12 - Brennock"));
}

void FrameTest::commDialogCancelChangesNothing()
{
    FrameSetup t;
    t.start(false);
    const QString before = t.settings->readText(QStringLiteral("COM Settings"),
                                                QStringLiteral("Baud Rate"), QString());
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QComboBox*>(QStringLiteral("baudRate"))
        ->setCurrentText(QStringLiteral("57600"));
    dialog->findChild<QCheckBox*>(QStringLiteral("localEcho"))->setChecked(true);
    dialog->reject();
    QCOMPARE(t.settings->readText(QStringLiteral("COM Settings"), QStringLiteral("Baud Rate"),
                                  QString()),
             before);
    QVERIFY(!t.doc().commSettings().localEcho);
}

void FrameTest::copyPasteOptionsStoreAndAct()
{
    FrameSetup t;
    t.start(false);
    QTimer::singleShot(0, this, [&t] {
        auto* dialog = t.frame->findChild<CopyPasteOptionsDialog*>();
        QVERIFY(dialog);
        auto* standard = dialog->findChild<QCheckBox*>(QStringLiteral("standardEditing"));
        auto* transmit = dialog->findChild<QCheckBox*>(QStringLiteral("transmitControl"));
        QVERIFY(standard->isChecked() && !transmit->isChecked());
        QTest::mouseClick(transmit, Qt::LeftButton, {}, QPoint(5, transmit->height() / 2));
        QVERIFY(!standard->isChecked() && transmit->isChecked());
        dialog->findChild<QLineEdit*>(QStringLiteral("charDelay"))->setText(QStringLiteral("1001"));
        clickOk(dialog);
        QVERIFY(dialog->isVisible()); // refused: 0 to 1000
        QCOMPARE(t.feedback.messages.last().text,
                 QStringLiteral("Please enter an integer between 0 and 1000."));
        dialog->findChild<QLineEdit*>(QStringLiteral("charDelay"))->setText(QStringLiteral("7"));
        dialog->findChild<QLineEdit*>(QStringLiteral("lfDelay"))->setText(QStringLiteral("1000"));
        clickOk(dialog);
    });
    t.frame->action(QStringLiteral("copyPasteOptions"))->trigger();
    QCOMPARE(t.doc().charDelay(), 7);
    QCOMPARE(t.doc().lfDelay(), 1000);
    QCOMPARE(t.doc().windowsEdit(), 0);
    QCOMPARE(t.settings->readInt(QStringLiteral("Delay"), QStringLiteral("DelayChar"), -1), 7);
    QCOMPARE(t.settings->readInt(QStringLiteral("Delay"), QStringLiteral("DelayLF"), -1), 1000);
    QCOMPARE(t.settings->readInt(QStringLiteral("Delay"), QStringLiteral("WindowsEdit"), -1), 0);
}

void FrameTest::saveSelectionRoundTrip()
{
    FrameSetup t;
    t.start(false);
    QTemporaryDir out;
    const QString path = out.path() + QStringLiteral("/sel.txt");
    t.frame->setSaveFileNameProvider([path] { return path; });
    QAction* save = t.frame->action(QStringLiteral("saveSelectionAs"));
    QVERIFY(!save->isEnabled());
    const QByteArray received("C:\\>dir\r\nAPP     RUN   \xB3 1024\r\n\tend\x1b[0m");
    t.doc().DeliverToViews(received.constData(), received.size());
    t.frame->view()->selectEverything();
    QVERIFY(save->isEnabled());
    // F4 acts on release.
    QTest::keyPress(t.frame->view(), Qt::Key_F4);
    QVERIFY(!QFile::exists(path));
    QTest::keyRelease(t.frame->view(), Qt::Key_F4);
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), received);
    QVERIFY(t.feedback.messages.isEmpty());
}

void FrameTest::saveSelectionFailureIsReported()
{
    FrameSetup t;
    t.start(false);
    t.frame->setSaveFileNameProvider(
        [&t] { return t.config.path() + QStringLiteral("/missing/dir/sel.txt"); });
    t.doc().DeliverToViews("text", 4);
    t.frame->view()->selectEverything();
    t.frame->action(QStringLiteral("saveSelectionAs"))->trigger();
    QCOMPARE(t.feedback.messages.size(), 1);
    QCOMPARE(t.feedback.messages.first().caption, QStringLiteral("Error"));
    QVERIFY(t.feedback.messages.first().text.contains(QStringLiteral("sel.txt")));
}

void FrameTest::wrapAndColoursAreStored()
{
    FrameSetup t;
    t.start(false);
    CBrennockView* view = t.frame->view();
    QCOMPARE(view->lineWrapMode(), QPlainTextEdit::WidgetWidth);
    QCOMPARE(view->textColor(), QColor(Qt::white));
    QCOMPARE(view->backgroundColor(), QColor(0, 0, 255));
    t.frame->action(QStringLiteral("wrapText"))->trigger();
    QCOMPARE(view->lineWrapMode(), QPlainTextEdit::NoWrap);
    QVERIFY(!t.frame->action(QStringLiteral("wrapText"))->isChecked());
    QCOMPARE(t.settings->readInt(QStringLiteral("Text"), QStringLiteral("Wrap"), -1), 0);
    QFont font(QStringLiteral("Monospace"));
    font.setPointSizeF(12.5);
    font.setBold(true);
    view->setTextFont(font, QColor(0x11, 0x22, 0x33));
    view->setBackgroundColor(QColor(0, 0x80, 0));
    QCOMPARE(t.settings->readInt(QStringLiteral("Font"), QStringLiteral("Size"), -1), 125);
    QCOMPARE(t.settings->readInt(QStringLiteral("Font"), QStringLiteral("Bold"), -1), 1);
    QCOMPARE(t.settings->readInt(QStringLiteral("Font"), QStringLiteral("Color"), -1), 0x332211);
    QCOMPARE(t.settings->readInt(QStringLiteral("Background"), QStringLiteral("Color"), -1),
             0x008000);
    // A restart shows the same.
    t.frame.reset();
    CMainFrame again(*t.settings, &t.feedback);
    QCOMPARE(again.view()->lineWrapMode(), QPlainTextEdit::NoWrap);
    QCOMPARE(again.view()->font().pointSizeF(), 12.5);
    QVERIFY(again.view()->font().bold());
    QCOMPARE(again.view()->textColor(), QColor(0x11, 0x22, 0x33));
    QCOMPARE(again.view()->palette().color(QPalette::Base), QColor(0, 0x80, 0));
}

void FrameTest::findDialogAndFindNext()
{
    FrameSetup t;
    t.start(false);
    const QByteArray text("QX2> md 1000\r\nqx2> g\r\nQX2> exit\r\n");
    t.doc().DeliverToViews(text.constData(), text.size());
    CBrennockView* view = t.frame->view();
    t.frame->action(QStringLiteral("find"))->trigger();
    auto* dialog = t.frame->findChild<FindDialog*>();
    QVERIFY(dialog && dialog->isVisible());
    QTest::keyClicks(dialog->findChild<QLineEdit*>(QStringLiteral("findWhat")),
                     QStringLiteral("QX2>"));
    dialog->findChild<QCheckBox*>(QStringLiteral("matchCase"))->setChecked(true);
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("findNext")), Qt::LeftButton);
    QCOMPARE(view->textCursor().selectionStart(), 0);
    // F3 repeats the search: the lower-case prompt is skipped.
    view->setFocus();
    QTest::keyClick(t.frame.get(), Qt::Key_F3);
    QCOMPARE(view->textCursor().selectionStart(), text.indexOf("QX2> exit") - 2);
    // Upwards from there finds the first one again.
    dialog->findChild<QRadioButton*>(QStringLiteral("up"))->setChecked(true);
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("findNext")), Qt::LeftButton);
    QCOMPARE(view->textCursor().selectionStart(), 0);
    // Not there: a beep, nothing selected anew.
    dialog->findChild<QLineEdit*>(QStringLiteral("findWhat"))->setText(QStringLiteral("LOAD"));
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("findNext")), Qt::LeftButton);
    QCOMPARE(t.feedback.beeps, 1);
    QCOMPARE(view->textCursor().selectionStart(), 0);
}

void FrameTest::disconnectWhileFloodedDoesNotHang()
{
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), pair.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    pair.startFlood(1024);
    QTRY_VERIFY(t.frame->view()->textLength() > 100000);
    QElapsedTimer clock;
    clock.start();
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"))->setText(QStringLiteral("99"));
    clickOk(dialog);
    QVERIFY(!t.doc().isConnected());
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    pair.stopFlood();
}

void FrameTest::commDialogRefusedChangeStoresNoBinding_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<bool>("answerYes"); // to the port-change question
    QTest::addColumn<bool>("stored");
    QTest::newRow("No to the port change") << "4" << false << false;
    QTest::newRow("port 99") << "99" << true << false;
    QTest::newRow("Yes to the port change") << "4" << true << true;
}

void FrameTest::commDialogRefusedChangeStoresNoBinding()
{
    QFETCH(QString, number);
    QFETCH(bool, answerYes);
    QFETCH(bool, stored);
    PtyPair first, second;
    QVERIFY(first.ok() && second.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), first.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    t.feedback.answers << (answerYes ? MessageResult::Yes : MessageResult::No);
    CommSettingsDialog* dialog = openCommDialog(*t.frame);
    auto* portNumber = dialog->findChild<QLineEdit*>(QStringLiteral("portNumber"));
    // COM4 is bound in the dialog, then the number chosen.
    portNumber->setText(QStringLiteral("4"));
    dialog->findChild<QComboBox*>(QStringLiteral("devices"))->setEditText(second.slavePath());
    QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("bindButton")),
                      Qt::LeftButton);
    portNumber->setText(number);
    clickOk(dialog);
    QCOMPARE(t.settings->contains(QStringLiteral("Ports"), QStringLiteral("COM4")), stored);
    if (stored)
        QCOMPARE(t.doc().port()->devicePath(), second.slavePath());
    else if (number == QLatin1String("4"))
        QCOMPARE(t.doc().port()->devicePath(), first.slavePath());
    else
        QVERIFY(!t.doc().isConnected());
}

void FrameTest::copyPasteOptionBoxesFlipFromBothStates_data()
{
    QTest::addColumn<int>("mode");        // editing-keys mode the dialog opens with
    QTest::addColumn<QString>("clicked"); // the box the user clicks
    QTest::newRow("standard set, click standard") << 1 << "standardEditing";
    QTest::newRow("standard set, click transmit") << 1 << "transmitControl";
    QTest::newRow("transmit set, click standard") << 0 << "standardEditing";
    QTest::newRow("transmit set, click transmit") << 0 << "transmitControl";
}

void FrameTest::copyPasteOptionBoxesFlipFromBothStates()
{
    QFETCH(int, mode);
    QFETCH(QString, clicked);
    RecordingFeedback feedback;
    CopyPasteOptionsDialog dialog(0, 0, mode, feedback);
    dialog.show();
    auto* standard = dialog.findChild<QCheckBox*>(QStringLiteral("standardEditing"));
    auto* transmit = dialog.findChild<QCheckBox*>(QStringLiteral("transmitControl"));
    QCOMPARE(standard->isChecked(), mode == 1);
    QCOMPARE(transmit->isChecked(), mode == 0);
    auto* box = dialog.findChild<QCheckBox*>(clicked);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    // Both flip, whichever was clicked.
    QCOMPARE(standard->isChecked(), mode == 0);
    QCOMPARE(transmit->isChecked(), mode == 1);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    QCOMPARE(standard->isChecked(), mode == 1);
    QCOMPARE(transmit->isChecked(), mode == 0);
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(5, box->height() / 2));
    clickOk(&dialog);
    QCOMPARE(dialog.windowsEdit(), mode == 1 ? 0 : 1);
}

void FrameTest::breakHoldsTypedKeysUntilItEnds()
{
    constexpr int kBreakMs = 300;
    PtyPair pair;
    QVERIFY(pair.ok());
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), pair.slavePath());
    t.start(true);
    QVERIFY(t.doc().isConnected());
    t.doc().setBreakDuration(kBreakMs);
    CBrennockView* view = t.frame->view();
    QTest::keyClick(view, Qt::Key_F8);
    QVERIFY(t.doc().breakActive());
    // The window stays responsive: keys are taken, and held until the break ends.
    QTest::keyClicks(view, QStringLiteral("ab"));
    QVERIFY(pair.readFor(kBreakMs / 2).isEmpty());
    QTRY_VERIFY(!t.doc().breakActive());
    QCOMPARE(pair.read(2, 1000), QByteArray("ab"));
    t.frame->action(QStringLiteral("sendBreak"))->trigger(); // the menu entry does the same
    QVERIFY(t.doc().breakActive());
    QVERIFY(t.feedback.messages.isEmpty());
    QCOMPARE(t.feedback.beeps, 0);
}

void FrameTest::instrumentKilledThenBackAtTheSameLink()
{
    auto sim = std::make_unique<SimInstrument>();
    QString problem;
    QVERIFY2(sim->start(&problem), qPrintable(problem));
    FrameSetup t;
    t.config.usePort(QStringLiteral("COM3"), sim->link());
    t.start(true);
    QVERIFY2(t.doc().isConnected(), qPrintable(t.feedback.messages.value(0).text));
    t.doc().reconnectWatcher().setInterval(50);
    CBrennockView* view = t.frame->view();
    view->setFocus();
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("C:\\>")), 5000);

    sim->kill();
    // The dangling link names a pty number that another program (a test running
    // beside this one) may be given at once; the watcher must not find that one.
    QFile::remove(sim->link());
    QTRY_COMPARE_WITH_TIMEOUT(t.frame->windowTitle(), QStringLiteral("Not connected - Brennock"),
                              5000);
    QCOMPARE(t.feedback.messages.size(), 1);
    QVERIFY2(t.feedback.messages.first().text.contains(sim->link()),
             qPrintable(t.feedback.messages.first().text));
    QVERIFY(t.frame->statusText().contains(QStringLiteral("waiting")));
    QTest::keyClicks(view, QStringLiteral("dir")); // no beep for each key
    QCOMPARE(t.feedback.beeps, 0);
    QTest::qWait(200); // no spin, no second message
    QVERIFY2(t.feedback.messages.size() == 1, qPrintable(t.feedback.messages.last().text));

    // The instrument comes back behind the same link.
    const QString same = sim->link();
    SimInstrument again;
    QVERIFY2(again.start(&problem, same), qPrintable(problem));
    QTRY_COMPARE_WITH_TIMEOUT(t.frame->windowTitle(), QStringLiteral("COM3 - Brennock"), 5000);
    QCOMPARE(t.frame->statusText(), QStringLiteral("Reconnected to COM3 (%1)").arg(same));
    const int prompts = view->toPlainText().count(QStringLiteral("C:\\>"));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().count(QStringLiteral("C:\\>")) > prompts, 5000);
    QCOMPARE(t.feedback.messages.size(), 1);
}

void FrameTest::activationIsNoKeyEvent()
{
    // The frame watches every event for the lock keys; an activation is no key event
    // and must not be read as one (UndefinedBehaviorSanitizer: a wrong downcast).
    FrameSetup t;
    t.start(false);
    QEvent activate(QEvent::ApplicationActivate);
    QApplication::sendEvent(t.frame.get(), &activate);
    QKeyEvent caps(QEvent::KeyRelease, Qt::Key_CapsLock, Qt::NoModifier);
    QApplication::sendEvent(t.frame.get(), &caps);
    QTest::qWait(100); // the indicators are looked at again
    QVERIFY(t.feedback.messages.isEmpty());
}

QTEST_MAIN(FrameTest)
#include "tst_frame.moc"
