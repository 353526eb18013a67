// Text capture in the window: the five menu entries and the capture pane through a
// capture's life, the real question dialogs answered (and cancelled) one by one, the
// options dialog, what the view's text puts in the file, the file written out when
// the window closes, a killed program losing at most a second of text, and a capture
// of qx2sim's console.
#include "BrennockDoc.h"
#include "CaptureController.h"
#include "CaptureDialogs.h"
#include "DialogAnswerer.h"
#include "MainFrame.h"
#include "RecordingFeedback.h"
#include "ShellDefaults.h"
#include "UiTestSupport.h"

#include <QAction>
#include <QButtonGroup>
#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include <signal.h>

namespace
{

struct CaptureFrame {
    TempConfig config;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<CMainFrame> frame;

    void start(bool connect = false)
    {
        settings = std::make_unique<SettingsStore>(config.iniPath());
        writeStartDefaults(*settings);
        frame = std::make_unique<CMainFrame>(*settings, &feedback);
        frame->show();
        if (connect)
            frame->startDocument(QString());
    }
    QString file(const char* name) const
    {
        return config.path() + QLatin1Char('/') + QString::fromLatin1(name);
    }
    void choose(int prompt, const QString& fixed, int mode, int include)
    {
        CaptureChoices choices;
        choices.promptForFilename = prompt;
        choices.pathName = fixed;
        choices.writeMode = mode;
        choices.includeBuffer = include;
        choices.store(*settings);
    }
    QAction* entry(const char* name) const { return frame->action(QString::fromLatin1(name)); }
    void show(const QByteArray& bytes)
    {
        frame->document().DeliverToViews(bytes.constData(), bytes.size());
    }
    // Start, Stop, Pause, Resume, Options as enabled now.
    QString entries() const
    {
        QString state;
        for (const char* name :
             {"captureStart", "captureStop", "capturePause", "captureResume", "captureOptions"})
            state += entry(name)->isEnabled() ? QLatin1Char('1') : QLatin1Char('0');
        return state;
    }
    ~CaptureFrame() { frame.reset(); }
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

DialogAnswerer::Answer typeName(const QString& name)
{
    return [name](QDialog* dialog) {
        dialog->findChild<QLineEdit*>(QStringLiteral("fileName"))->setText(name);
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("start")), Qt::LeftButton);
    };
}

// "first" is Overwrite / Yes, "second" Append / No.
DialogAnswerer::Answer pick(const char* button)
{
    const QString name = QString::fromLatin1(button);
    return [name](QDialog* dialog) {
        dialog->findChild<QRadioButton*>(name)->click();
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("start")), Qt::LeftButton);
    };
}

} // namespace

class CaptureUiTest : public QObject
{
    Q_OBJECT

private slots:
    void entriesAndPaneFollowTheState();
    void questionDialogsInOrder_data();
    void questionDialogsInOrder();
    void browsePutsTheChosenFileIntoTheField();
    void optionsDialogStoresOnOkOnly();
    void shownTextAndBufferReachTheFile();
    void closingTheWindowWritesTheFileOut();
    void unwritableFileIsReported();
    void killedProgramLosesAtMostASecond();
    void capturesTheInstrumentConsole();
};

void CaptureUiTest::entriesAndPaneFollowTheState()
{
    CaptureFrame t;
    t.start();
    t.choose(2, t.file("e.txt"), 2, 3);
    QCOMPARE(t.entries(), QStringLiteral("10001"));
    QCOMPARE(t.frame->indicatorText(3), QStringLiteral("CAPTURE OFF"));
    t.entry("captureStart")->trigger();
    QCOMPARE(t.entries(), QStringLiteral("01100"));
    QCOMPARE(t.frame->indicatorText(3), QStringLiteral("CAPTURE ON"));
    t.entry("capturePause")->trigger();
    QCOMPARE(t.entries(), QStringLiteral("01010"));
    QCOMPARE(t.frame->indicatorText(3), QStringLiteral("CAPTURE ON"));
    t.entry("captureResume")->trigger();
    QCOMPARE(t.entries(), QStringLiteral("01100"));
    t.entry("capturePause")->trigger();
    t.entry("captureStop")->trigger();
    QCOMPARE(t.entries(), QStringLiteral("10001"));
    QCOMPARE(t.frame->indicatorText(3), QStringLiteral("CAPTURE OFF"));
    // Stopped while paused: the next Start captures again.
    t.entry("captureStart")->trigger();
    t.show("after\n");
    t.entry("captureStop")->trigger();
    QCOMPARE(fileBytes(t.file("e.txt")), QByteArray("after\r\n"));
}

void CaptureUiTest::questionDialogsInOrder_data()
{
    QTest::addColumn<int>("cancelAt"); // 0: answer all
    QTest::addColumn<bool>("append");
    QTest::addColumn<bool>("include");
    QTest::addColumn<QByteArray>("file");
    QTest::newRow("cancel at the name") << 1 << false << false << QByteArray();
    QTest::newRow("cancel at the write mode") << 2 << false << false << QByteArray();
    QTest::newRow("cancel at the buffer text") << 3 << false << false << QByteArray();
    QTest::newRow("overwrite, with buffer")
        << 0 << false << true << QByteArray("before\r\nlive\r\n");
    QTest::newRow("append, without buffer") << 0 << true << false << QByteArray("old\r\nlive\r\n");
}

void CaptureUiTest::questionDialogsInOrder()
{
    QFETCH(int, cancelAt);
    QFETCH(bool, append);
    QFETCH(bool, include);
    CaptureFrame t;
    t.start();
    t.choose(1, QString(), 1, 1);
    const QString target = t.file("q.txt");
    {
        QFile old(target);
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write("old\r\n");
    }
    t.show("before\n");

    DialogAnswerer answerer;
    const QList<DialogAnswerer::Answer> answers = {
        typeName(target), pick(append ? "second" : "first"), pick(include ? "first" : "second")};
    for (int i = 0; i < 3; ++i)
        answerer.add(i + 1 == cancelAt ? DialogAnswerer::cancel() : answers.at(i));
    t.entry("captureStart")->trigger();

    const QStringList all = {QStringLiteral("Choose Capture File"),
                             QStringLiteral("Choose Capture File Write Mode"),
                             QStringLiteral("Include Buffer Text")};
    QCOMPARE(answerer.titles, cancelAt ? QStringList(all.mid(0, cancelAt)) : all);
    QCOMPARE(t.frame->capturing(), cancelAt == 0);
    t.show("live\n");
    t.entry("captureStop")->trigger();
    QFETCH(QByteArray, file);
    // A cancel leaves the existing file as it was.
    QCOMPARE(fileBytes(target), cancelAt ? QByteArray("old\r\n") : file);
    QVERIFY(t.feedback.messages.isEmpty());
}

void CaptureUiTest::browsePutsTheChosenFileIntoTheField()
{
    CaptureFrame t;
    t.start();
    t.choose(1, QString(), 2, 3);
    const QString target = t.file("browsed.txt");
    QString fieldAfterBrowse;
    QStringList fileDialogTitles;
    DialogAnswerer answerer;
    answerer.add([&](QDialog* dialog) {
        // The file dialog opens inside the click: answer it from a timer of its own,
        // once it is up.
        auto* poll = new QTimer(dialog);
        connect(poll, &QTimer::timeout, [&, poll] {
            auto* files = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
            if (!files || !files->isVisible())
                return;
            poll->stop();
            // A failed check below leaves the dialog: close it, so the test cannot hang.
            QTimer::singleShot(5000, files, [files] { files->reject(); });
            fileDialogTitles << files->windowTitle();
            QCOMPARE(files->acceptMode(), QFileDialog::AcceptSave);
            QCOMPARE(files->defaultSuffix(), QStringLiteral("txt"));
            // Typed into the name field, as a user does: selectFile leaves the field
            // alone whenever it happens to have the focus.
            auto* nameField = files->findChild<QLineEdit*>(QStringLiteral("fileNameEdit"));
            QVERIFY(nameField);
            nameField->setText(target);
            static_cast<QDialog*>(files)->accept(); // as the Save button does
        });
        poll->start(10);
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("browse")),
                          Qt::LeftButton);
        fieldAfterBrowse = dialog->findChild<QLineEdit*>(QStringLiteral("fileName"))->text();
        QTest::mouseClick(dialog->findChild<QPushButton*>(QStringLiteral("start")), Qt::LeftButton);
    });
    t.entry("captureStart")->trigger();
    QCOMPARE(fileDialogTitles.size(), 1);
    QCOMPARE(fieldAfterBrowse, target);
    QVERIFY(t.frame->capturing());
    t.show("browsed\n");
    t.entry("captureStop")->trigger();
    QCOMPARE(fileBytes(target), QByteArray("browsed\r\n"));
}

void CaptureUiTest::optionsDialogStoresOnOkOnly()
{
    CaptureFrame t;
    t.start();
    t.choose(1, QStringLiteral("C:\\CAPTURE.TXT"), 3, 0);
    for (bool ok : {false, true}) {
        DialogAnswerer answerer;
        bool checked = false;
        answerer.add([&](QDialog* dialog) {
            auto* options = qobject_cast<CaptureOptionsDialog*>(dialog);
            QVERIFY(options);
            QCOMPARE(options->captureModeGroup()->checkedId(), 1);
            QCOMPARE(options->writeModeGroup()->checkedId(), 3);
            QCOMPARE(options->includeGroup()->checkedId(), -1); // 0 selects none
            QCOMPARE(options->fileNameEdit()->text(), QStringLiteral("C:\\CAPTURE.TXT"));
            QVERIFY(!options->fileNameShown());
            options->captureModeGroup()->button(2)->click();
            QVERIFY(options->fileNameShown());
            QVERIFY(
                options->grab().save(QStringLiteral(TERMUI_BUILD_DIR "/capture-text-options.png")));
            options->fileNameEdit()->setText(QStringLiteral("/tmp/fixed.txt"));
            options->writeModeGroup()->button(2)->click();
            options->includeGroup()->button(1)->click();
            checked = true;
            if (ok)
                options->accept();
            else
                options->reject();
        });
        t.entry("captureOptions")->trigger();
        QVERIFY(checked);
        const CaptureChoices stored = CaptureChoices::read(*t.settings);
        if (!ok) {
            QCOMPARE(stored.promptForFilename, 1);
            QCOMPARE(stored.writeMode, 3);
            QCOMPARE(stored.includeBuffer, 0);
            QCOMPARE(stored.pathName, QStringLiteral("C:\\CAPTURE.TXT"));
        } else {
            QCOMPARE(stored.promptForFilename, 2);
            QCOMPARE(stored.writeMode, 2);
            QCOMPARE(stored.includeBuffer, 1);
            QCOMPARE(stored.pathName, QStringLiteral("/tmp/fixed.txt"));
        }
    }
}

void CaptureUiTest::shownTextAndBufferReachTheFile()
{
    CaptureFrame t;
    t.start();
    // Received LF, CR and CR LF all become CR LF; a BS removes from the screen only;
    // the code page 437 bytes come back as themselves.
    t.show("first\nsecond\rthird\r\nbox \xC9\xCD\xBB\n");
    t.choose(2, t.file("b.txt"), 2, 2);
    t.entry("captureStart")->trigger();
    QVERIFY(t.frame->capturing());
    QCOMPARE(t.frame->view()->textCursor().position(), t.frame->view()->textLength());
    t.show("typo\bO\n");
    t.entry("captureStop")->trigger();
    QCOMPARE(fileBytes(t.file("b.txt")),
             QByteArray("first\r\nsecond\r\nthird\r\nbox \xC9\xCD\xBB\r\ntypoO\r\n"));
}

void CaptureUiTest::closingTheWindowWritesTheFileOut()
{
    CaptureFrame t;
    t.start();
    t.choose(2, t.file("c.txt"), 3, 3);
    t.entry("captureStart")->trigger();
    t.show("last words\n");
    QCOMPARE(fileBytes(t.file("c.txt")), QByteArray()); // still buffered
    t.frame.reset();
    QCOMPARE(fileBytes(t.file("c.txt")), QByteArray("last words\r\n"));
}

void CaptureUiTest::unwritableFileIsReported()
{
    CaptureFrame t;
    t.start();
    t.choose(2, t.file("missing-folder/c.txt"), 2, 3);
    t.entry("captureStart")->trigger();
    QVERIFY(!t.frame->capturing());
    QCOMPARE(t.frame->indicatorText(3), QStringLiteral("CAPTURE OFF"));
    QCOMPARE(t.feedback.messages.size(), 1);
    QVERIFY(t.feedback.messages.first().text.contains(QStringLiteral("No such file")));

    t.feedback.clear();
    t.choose(2, QStringLiteral("/dev/full"), 3, 3);
    t.entry("captureStart")->trigger();
    QVERIFY(t.frame->capturing());
    t.show("lost\n");
    t.entry("capturePause")->trigger(); // writes out what came before the pause
    QVERIFY(!t.frame->capturing());
    QCOMPARE(t.entries(), QStringLiteral("10001"));
    QCOMPARE(t.feedback.messages.size(), 1);
    QVERIFY(t.feedback.messages.first().text.contains(QStringLiteral("No space left")));
}

void CaptureUiTest::killedProgramLosesAtMostASecond()
{
    const QString driver = QStringLiteral(TERMUI_BUILD_DIR "/capture_crash_driver");
    QTemporaryDir dir;
    const QString target = dir.filePath(QStringLiteral("crash.txt"));
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), dir.path());
    process.setProcessEnvironment(env);
    process.start(driver, {dir.filePath(QStringLiteral("b.ini")), target});
    QVERIFY2(process.waitForStarted(5000), qPrintable(process.errorString()));

    // Line numbers as they are reported shown, with the time they reached us.
    QElapsedTimer clock;
    clock.start();
    QList<QPair<int, qint64>> shown;
    QByteArray out;
    // About two seconds of text, however long the start took, the first line well over
    // a second old.
    const auto enough = [&] {
        return shown.size() >= 100 && clock.elapsed() - shown.first().second >= 1500;
    };
    while (!enough() && clock.elapsed() < 20000 && process.state() == QProcess::Running) {
        process.waitForReadyRead(50);
        out += process.readAllStandardOutput();
        int newline;
        while ((newline = out.indexOf('\n')) >= 0) {
            shown.append({out.left(newline).toInt(), clock.elapsed()});
            out.remove(0, newline + 1);
        }
    }
    QVERIFY2(process.state() == QProcess::Running, process.readAllStandardError().constData());
    ::kill(pid_t(process.processId()), SIGKILL);
    const qint64 killedAt = clock.elapsed();
    QVERIFY(process.waitForFinished(5000));
    QCOMPARE(process.exitStatus(), QProcess::CrashExit);
    QVERIFY2(shown.size() >= 100, qPrintable(QString::number(shown.size())));

    // Whatever is in the file is the text shown, in order, whole lines up to the last.
    const QByteArray captured = fileBytes(target);
    QByteArray expected;
    for (const auto& line : qAsConst(shown))
        expected += "line " + QByteArray::number(line.first) + "\r\n";
    QVERIFY2(expected.startsWith(captured) || captured.startsWith(expected),
             captured.right(200).constData());
    // Every line shown a second or more before the kill is there.
    int mustHave = 0;
    for (const auto& line : qAsConst(shown)) {
        if (line.second <= killedAt - 1000)
            mustHave = line.first;
    }
    QVERIFY(mustHave > 0);
    QVERIFY2(captured.contains("line " + QByteArray::number(mustHave) + "\r\n"),
             qPrintable(QStringLiteral("line %1 missing; file ends %2")
                            .arg(mustHave)
                            .arg(QString::fromLatin1(captured.right(40)))));
}

void CaptureUiTest::capturesTheInstrumentConsole()
{
    SimInstrument sim;
    QString problem;
    QVERIFY2(sim.start(&problem), qPrintable(problem));
    CaptureFrame t;
    t.config.usePort(QStringLiteral("COM3"), sim.link());
    t.start(true);
    QVERIFY(t.frame->document().isConnected());
    CBrennockView* view = t.frame->view();
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().contains(QStringLiteral("C:\\>")), 5000);
    // The prompt already shown goes in as buffer text.
    t.choose(2, t.file("console.txt"), 2, 2);
    t.entry("captureStart")->trigger();
    QTest::keyClicks(view, QStringLiteral("ver"));
    QTest::keyClick(view, Qt::Key_Return);
    QTRY_VERIFY_WITH_TIMEOUT(view->toPlainText().count(QStringLiteral("C:\\>")) >= 2, 5000);
    QTest::qWait(100);
    t.entry("captureStop")->trigger();
    view->flushPending();
    QString shown = view->shownText();
    shown.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QCOMPARE(fileBytes(t.file("console.txt")), shown.toLatin1());
    QVERIFY(shown.contains(QStringLiteral("C:\\>ver\r\n")));
}

QTEST_MAIN(CaptureUiTest)
#include "tst_capture_ui.moc"
