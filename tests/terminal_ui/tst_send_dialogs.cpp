// Send Special Characters and Paste Date & Time from the menus: the dialog's typing
// rules key by key, the bytes the far end of the line receives (NUL included), the
// paced SendBlock of a sequence, the date text for a fixed clock in the four formats
// with the stored choice, and qx2sim's clock set by the DATE format.
#include "BrennockDoc.h"
#include "DialogAnswerer.h"
#include "MainFrame.h"
#include "PasteDateTimeDialog.h"
#include "PtyPair.h"
#include "RecordingFeedback.h"
#include "SendCharsDialog.h"
#include "ShellDefaults.h"
#include "UiTestSupport.h"

#include <QAction>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>

namespace
{

struct SendFrame {
    TempConfig config;
    PtyPair pty;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<CMainFrame> frame;

    // Connected to the pty (or to the device given); sendCrLf as stored.
    void start(bool sendCrLf = false, const QString& device = QString())
    {
        config.usePort(QStringLiteral("COM3"), device.isEmpty() ? pty.slavePath() : device);
        settings = std::make_unique<SettingsStore>(config.iniPath());
        writeStartDefaults(*settings);
        settings->writeInt(QStringLiteral("COM Settings"), QStringLiteral("Send CRLF"),
                           sendCrLf ? 1 : 0);
        frame = std::make_unique<CMainFrame>(*settings, &feedback);
        frame->show();
        frame->startDocument(QString());
    }
    void trigger(const char* name) { frame->action(QString::fromLatin1(name))->trigger(); }
    ~SendFrame() { frame.reset(); }
};

QPushButton* button(QDialog* dialog, const char* name)
{
    return dialog->findChild<QPushButton*>(QString::fromLatin1(name));
}

QLineEdit* field(QDialog* dialog, const char* name)
{
    return dialog->findChild<QLineEdit*>(QString::fromLatin1(name));
}

// Sets the value field as a user would: select all, then type.
void typeValue(QDialog* dialog, const QString& keys)
{
    QLineEdit* value = field(dialog, "value");
    value->selectAll();
    QTest::keyClick(value, Qt::Key_Delete);
    QTest::keyClicks(value, keys);
}

// A dialog answer for Send Special Characters: Add Char for each value, then
// Send String; a single value goes with Send Char.
DialogAnswerer::Answer sendValues(const QStringList& hexValues, bool asString)
{
    return [hexValues, asString](QDialog* dialog) {
        for (const QString& value : hexValues) {
            typeValue(dialog, value);
            if (asString)
                QTest::mouseClick(button(dialog, "addChar"), Qt::LeftButton);
        }
        QTest::mouseClick(button(dialog, asString ? "sendString" : "sendChar"), Qt::LeftButton);
    };
}

DialogAnswerer::Answer chooseFormat(int format, bool ok = true)
{
    return [format, ok](QDialog* dialog) {
        dialog->findChild<QRadioButton*>(QStringLiteral("format%1").arg(format))->click();
        if (ok)
            dialog->accept();
        else
            dialog->reject();
    };
}

const QDateTime kMoment(QDate(2026, 12, 6), QTime(8, 5, 9));

} // namespace

class SendDialogsTest : public QObject
{
    Q_OBJECT

private slots:
    void typingInTheValueField_data();
    void typingInTheValueField();
    void dialogOpensInHexWithZero();
    void addCharWithEmptyFieldAddsNul();
    void modeSwitchEmptiesFieldAndSequence();
    void doubleClickWritesTheRowValue();
    void instrumentReceivesTheBytes_data();
    void instrumentReceivesTheBytes();
    void sequenceIsPacedLikeAPaste();
    void dateTextReachesTheLine_data();
    void dateTextReachesTheLine();
    void dateChoiceIsStoredAndCancelSendsNothing();
    void dateCharactersArePausedAndEventsHandled();
    void dateFormatSetsTheInstrumentClock();
    void notConnectedBeepsForEachCharacter();
    void secondPasteWhileTypingIsRefused();
};

void SendDialogsTest::typingInTheValueField_data()
{
    QTest::addColumn<bool>("decimal");
    QTest::addColumn<QStringList>("keys"); // one entry a key, several characters a paste
    QTest::addColumn<QString>("field");
    QTest::addColumn<int>("row");
    QTest::newRow("hex 1 F F") << false << QStringList{"1", "F", "F"} << "1F" << 31;
    QTest::newRow("decimal 3 0 0") << true << QStringList{"3", "0", "0"} << "255" << 255;
    QTest::newRow("hex 0 x 4 1") << false << QStringList{"0", "x", "4", "1"} << "04" << 4;
    QTest::newRow("hex paste 0x41") << false << QStringList{"0x41"} << "0" << 0;
    QTest::newRow("hex lower case") << false << QStringList{"f", "e"} << "fe" << 254;
    QTest::newRow("decimal 6 5") << true << QStringList{"6", "5"} << "65" << 65;
}

void SendDialogsTest::typingInTheValueField()
{
    QFETCH(bool, decimal);
    QFETCH(QStringList, keys);
    SendSpecialCharsDialog dialog;
    dialog.show();
    if (decimal)
        dialog.findChild<QRadioButton*>(QStringLiteral("decimal"))->click();
    QLineEdit* value = field(&dialog, "value");
    value->clear();
    for (const QString& key : keys) {
        if (key.size() == 1)
            QTest::keyClicks(value, key);
        else
            value->insert(key); // a paste: all characters in one change
    }
    QTEST(value->text(), "field");
    QTEST(dialog.selectedValue(), "row");
    const QTreeWidget* table = dialog.findChild<QTreeWidget*>();
    QCOMPARE(table->currentItem()->text(0).toInt(), dialog.selectedValue());
}

void SendDialogsTest::dialogOpensInHexWithZero()
{
    SendSpecialCharsDialog dialog;
    QVERIFY(dialog.findChild<QRadioButton*>(QStringLiteral("hex"))->isChecked());
    QCOMPARE(field(&dialog, "value")->text(), QStringLiteral("00"));
    QCOMPARE(field(&dialog, "sequence")->text(), QString());
    QVERIFY(!button(&dialog, "sendString")->isEnabled());
    const QTreeWidget* table = dialog.findChild<QTreeWidget*>();
    QCOMPARE(table->topLevelItemCount(), 256);
    QCOMPARE(table->headerItem()->text(3), QStringLiteral("Ctrl"));
    QCOMPARE(table->topLevelItem(27)->text(2), QStringLiteral("ESC - escape"));
    QCOMPARE(table->topLevelItem(171)->text(1), QStringLiteral("AB"));
    dialog.show();
    QVERIFY(dialog.grab().save(QStringLiteral(TERMUI_BUILD_DIR "/send-special-characters.png")));
    PasteDateTimeDialog dates(2);
    dates.show();
    QVERIFY(dates.grab().save(QStringLiteral(TERMUI_BUILD_DIR "/paste-date-time.png")));
}

void SendDialogsTest::addCharWithEmptyFieldAddsNul()
{
    SendSpecialCharsDialog dialog;
    dialog.show();
    field(&dialog, "value")->clear();
    QTest::mouseClick(button(&dialog, "addChar"), Qt::LeftButton);
    QCOMPARE(field(&dialog, "sequence")->text(), QStringLiteral(" "));
    QVERIFY(button(&dialog, "sendString")->isEnabled());
    typeValue(&dialog, QStringLiteral("41"));
    QTest::mouseClick(button(&dialog, "addChar"), Qt::LeftButton);
    QCOMPARE(field(&dialog, "sequence")->text(), QStringLiteral(" 41 "));
    QTest::mouseClick(button(&dialog, "sendString"), Qt::LeftButton);
    QCOMPARE(dialog.result(), QDialog::Accepted);
    QCOMPARE(dialog.bytes(), QByteArray("\0A", 2));
}

void SendDialogsTest::modeSwitchEmptiesFieldAndSequence()
{
    SendSpecialCharsDialog dialog;
    dialog.show();
    typeValue(&dialog, QStringLiteral("7F"));
    QTest::mouseClick(button(&dialog, "addChar"), Qt::LeftButton);
    QVERIFY(button(&dialog, "sendString")->isEnabled());
    dialog.findChild<QRadioButton*>(QStringLiteral("decimal"))->click();
    QCOMPARE(field(&dialog, "value")->text(), QString());
    QCOMPARE(field(&dialog, "sequence")->text(), QStringLiteral(" "));
    QVERIFY(!button(&dialog, "sendString")->isEnabled());
    // Decimal now: 127 is DEL, and "A" is no digit.
    QTest::keyClicks(field(&dialog, "value"), QStringLiteral("1A27"));
    QCOMPARE(field(&dialog, "value")->text(), QStringLiteral("127"));
    QCOMPARE(dialog.selectedValue(), 127);
    dialog.findChild<QRadioButton*>(QStringLiteral("hex"))->click();
    QCOMPARE(field(&dialog, "value")->text(), QString());
    QCOMPARE(dialog.displayMode(), specialchars::DisplayMode::Hex);
}

void SendDialogsTest::doubleClickWritesTheRowValue()
{
    for (bool decimal : {false, true}) {
        SendSpecialCharsDialog dialog;
        dialog.show();
        if (decimal)
            dialog.findChild<QRadioButton*>(QStringLiteral("decimal"))->click();
        auto* table = dialog.findChild<QTreeWidget*>();
        QTreeWidgetItem* row = table->topLevelItem(10);
        table->setCurrentItem(row);
        emit table->itemDoubleClicked(row, 0);
        QCOMPARE(field(&dialog, "value")->text(),
                 decimal ? QStringLiteral("10") : QStringLiteral("0A"));
        QCOMPARE(dialog.selectedValue(), 10);
    }
}

void SendDialogsTest::instrumentReceivesTheBytes_data()
{
    QTest::addColumn<QStringList>("values");
    QTest::addColumn<bool>("asString");
    QTest::addColumn<QByteArray>("received");
    QTest::newRow("Send Char 41") << QStringList{"41"} << false << QByteArray("A");
    QTest::newRow("Send Char 00 sends NUL") << QStringList{"00"} << false << QByteArray(1, '\0');
    QTest::newRow("Send Char FF") << QStringList{"FF"} << false << QByteArray(1, '\xFF');
    QTest::newRow("sequence 31 32") << QStringList{"31", "32"} << true << QByteArray("12");
    QTest::newRow("sequence through NUL")
        << QStringList{"41", "00", "42", "0D"} << true << QByteArray("A\0B\r", 4);
    QTest::newRow("Ctrl-C") << QStringList{"3"} << false << QByteArray("\x03");
}

void SendDialogsTest::instrumentReceivesTheBytes()
{
    QFETCH(QStringList, values);
    QFETCH(bool, asString);
    SendFrame t;
    QVERIFY(t.pty.ok());
    t.start();
    QVERIFY(t.frame->document().isConnected());
    DialogAnswerer answerer;
    answerer.add(sendValues(values, asString));
    answerer.add(DialogAnswerer::cancel()); // the second use sends nothing
    t.trigger("sendSpecial");
    t.trigger("sendSpecial");
    QCOMPARE(answerer.titles.value(0), QStringLiteral("Send Special Characters"));
    QCOMPARE(answerer.titles.size(), 2);
    QFETCH(QByteArray, received);
    QCOMPARE(t.pty.read(received.size(), 2000), received);
    QCOMPARE(t.pty.readFor(100), QByteArray());
    QCOMPARE(t.feedback.beeps, 0);
}

void SendDialogsTest::sequenceIsPacedLikeAPaste()
{
    SendFrame t;
    t.start();
    CBrennockDoc& doc = t.frame->document();
    doc.setCharDelay(5);
    doc.setLfDelay(40);
    QList<int> sleeps;
    doc.setPauseObserver([&sleeps](int ms) { sleeps << ms; });
    DialogAnswerer answerer;
    answerer.add(
        sendValues({QStringLiteral("41"), QStringLiteral("0A"), QStringLiteral("42")}, true));
    t.trigger("sendSpecial");
    QTRY_VERIFY(!doc.sending());
    QCOMPARE(sleeps, (QList<int>{5, 40, 5}));
    QCOMPARE(t.pty.read(3), QByteArray("A\nB"));
}

void SendDialogsTest::dateTextReachesTheLine_data()
{
    QTest::addColumn<int>("format");
    QTest::addColumn<bool>("sendCrLf");
    QTest::addColumn<QByteArray>("received");
    QTest::newRow("0") << 0 << false << QByteArray("12/06/26 08:05:09");
    QTest::newRow("1") << 1 << false << QByteArray("12/06/2026 08:05:09");
    QTest::newRow("2") << 2 << false << QByteArray("DATE 12/06/26 08:05:09\r");
    QTest::newRow("2, Send CRLF") << 2 << true << QByteArray("DATE 12/06/26 08:05:09\r\n");
    QTest::newRow("3") << 3 << false << QByteArray("DATE 12/06/2026 08:05:09\r");
    QTest::newRow("1, Send CRLF: no line end") << 1 << true << QByteArray("12/06/2026 08:05:09");
}

void SendDialogsTest::dateTextReachesTheLine()
{
    QFETCH(int, format);
    QFETCH(bool, sendCrLf);
    SendFrame t;
    t.start(sendCrLf);
    int clockReadings = 0;
    t.frame->dateTimePaster().setClock([&clockReadings] {
        ++clockReadings;
        return kMoment;
    });
    DialogAnswerer answerer;
    answerer.add(chooseFormat(format));
    t.trigger("pasteDateTime");
    QCOMPARE(answerer.titles, QStringList{QStringLiteral("Paste Date & Time")});
    QCOMPARE(clockReadings, 1);
    QFETCH(QByteArray, received);
    QCOMPARE(t.pty.read(received.size()), received);
    QCOMPARE(t.pty.readFor(100), QByteArray());
}

void SendDialogsTest::dateChoiceIsStoredAndCancelSendsNothing()
{
    SendFrame t;
    t.start();
    t.frame->dateTimePaster().setClock([] { return kMoment; });
    QList<int> preselected;
    const auto note = [&preselected](QDialog* dialog) {
        for (int i = 0; i < 4; ++i) {
            if (dialog->findChild<QRadioButton*>(QStringLiteral("format%1").arg(i))->isChecked())
                preselected << i;
        }
    };
    DialogAnswerer answerer;
    answerer.add([&](QDialog* d) { note(d), chooseFormat(0)(d); });
    answerer.add([&](QDialog* d) { note(d), chooseFormat(3, false)(d); });
    answerer.add([&](QDialog* d) { note(d), d->reject(); });
    t.trigger("pasteDateTime");
    QCOMPARE(t.pty.read(17), QByteArray("12/06/26 08:05:09"));
    t.trigger("pasteDateTime"); // Cancel: nothing sent, nothing stored
    t.trigger("pasteDateTime");
    QCOMPARE(preselected, (QList<int>{2, 0, 0})); // a fresh installation opens on 2
    QCOMPARE(
        t.settings->readInt(QStringLiteral("Settings"), QStringLiteral("EditPasteDateTime"), -1),
        0);
    QCOMPARE(t.pty.readFor(100), QByteArray());
}

void SendDialogsTest::dateCharactersArePausedAndEventsHandled()
{
    SendFrame t;
    t.start();
    t.frame->dateTimePaster().setClock([] { return kMoment; });
    // The real pause runs the event loop: a timer set before the paste fires during it.
    bool ranDuring = false;
    QTimer::singleShot(5, [&ranDuring] { ranDuring = true; });
    t.pty.startRecording();
    DialogAnswerer answerer;
    answerer.add(chooseFormat(3));
    QElapsedTimer clock;
    clock.start();
    t.trigger("pasteDateTime");
    const qint64 took = clock.elapsed();
    QTest::qWait(100);
    const std::vector<PtyPair::Arrival> arrivals = t.pty.stopRecording();
    QByteArray received;
    for (const PtyPair::Arrival& arrival : arrivals)
        received += arrival.byte;
    QCOMPARE(received, QByteArray("DATE 12/06/2026 08:05:09\r"));
    QVERIFY(ranDuring);
    // 25 characters with at least a millisecond after each.
    QVERIFY2(took >= 25, qPrintable(QString::number(took)));
    const auto span = std::chrono::duration_cast<std::chrono::milliseconds>(arrivals.back().at -
                                                                            arrivals.front().at);
    QVERIFY2(span.count() >= 20, qPrintable(QString::number(span.count())));
}

void SendDialogsTest::dateFormatSetsTheInstrumentClock()
{
    SimInstrument sim;
    QString problem;
    QVERIFY2(sim.start(&problem), qPrintable(problem));
    SendFrame t;
    t.start(false, sim.link());
    QVERIFY(t.frame->document().isConnected());
    CBrennockView* view = t.frame->view();
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("C:\\>")), 5000);
    for (int format : {3, 2}) {
        const QDateTime moment = format == 3 ? QDateTime(QDate(2031, 3, 4), QTime(21, 7, 30))
                                             : QDateTime(QDate(2026, 12, 6), QTime(8, 5, 9));
        t.frame->dateTimePaster().setClock([moment] { return moment; });
        DialogAnswerer answerer;
        answerer.add(chooseFormat(format));
        t.trigger("pasteDateTime");
        const int prompts = view->toPlainText().count(QStringLiteral("C:\\>"));
        QTest::keyClicks(view, QStringLiteral("date"));
        QTest::keyClick(view, Qt::Key_Return);
        const QString expected =
            QStringLiteral("Current date is ") + moment.toString(QStringLiteral("MM/dd/yy"));
        QTRY_VERIFY2_WITH_TIMEOUT(view->toPlainText().count(QStringLiteral("C:\\>")) >=
                                          prompts + 1 &&
                                      view->toPlainText().contains(expected),
                                  qPrintable(view->toPlainText().right(300)), 5000);
        QVERIFY(!view->toPlainText().contains(QStringLiteral("Invalid date")));
        QTest::keyClicks(view, QStringLiteral("time"));
        QTest::keyClick(view, Qt::Key_Return);
        const QString hour =
            QStringLiteral("Current time is ") + moment.toString(QStringLiteral("HH:mm:"));
        QTRY_VERIFY2_WITH_TIMEOUT(view->toPlainText().contains(hour),
                                  qPrintable(view->toPlainText().right(300)), 5000);
    }
}

void SendDialogsTest::notConnectedBeepsForEachCharacter()
{
    SendFrame t;
    t.start(false, QStringLiteral("/dev/brennock-no-such-tty"));
    QVERIFY(!t.frame->document().isConnected());
    t.feedback.clear();
    t.frame->dateTimePaster().setClock([] { return kMoment; });
    DialogAnswerer answerer;
    answerer.add(chooseFormat(0));
    t.trigger("pasteDateTime");
    // Every character is tried and beeps; the paste is not cut short.
    QCOMPARE(t.feedback.beeps, 17);
    answerer.add(sendValues({QStringLiteral("41"), QStringLiteral("42")}, true));
    t.trigger("sendSpecial");
    QCOMPARE(t.feedback.beeps, 18);
    QVERIFY(t.feedback.messages.isEmpty());
}

void SendDialogsTest::secondPasteWhileTypingIsRefused()
{
    SendFrame t;
    t.start();
    DateTimePaster& paster = t.frame->dateTimePaster();
    paster.setClock([] { return kMoment; });
    int pauses = 0;
    // The menu is usable between characters: use it again after the third.
    paster.setPause([&](int ms) {
        QCOMPARE(ms, DateTimePaster::kCharPauseMs);
        if (++pauses == 3)
            t.trigger("pasteDateTime");
    });
    DialogAnswerer answerer;
    answerer.add(chooseFormat(0));
    answerer.add(chooseFormat(1));
    t.trigger("pasteDateTime");
    QCOMPARE(answerer.titles.size(), 1);
    QCOMPARE(pauses, 17);
    QCOMPARE(t.pty.read(17), QByteArray("12/06/26 08:05:09"));
    QCOMPARE(t.pty.readFor(100), QByteArray());
}

QTEST_MAIN(SendDialogsTest)
#include "tst_send_dialogs.moc"
