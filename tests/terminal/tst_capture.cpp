// Text capture without widgets: the questions Start asks for each set of stored
// choices, the file it writes (overwrite, append, buffer text, pause), the flush
// deadline, and the failures a user must hear about (a file that cannot be opened or
// written).
#include "RecordingFeedback.h"
#include "SettingsStore.h"
#include "TextCapture.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

namespace
{

// Answers the questions of Start from a script and records which were asked.
// An answer of "cancel" cancels; file names, "overwrite"/"append", "yes"/"no".
class ScriptedPrompts : public CapturePrompts
{
public:
    QStringList answers;
    QStringList asked;

    bool askFileName(QString* fileName) override
    {
        const QString answer = next(QStringLiteral("name"));
        if (answer == QLatin1String("cancel"))
            return false;
        *fileName = answer;
        return true;
    }
    bool askWriteMode(int* mode) override
    {
        const QString answer = next(QStringLiteral("mode"));
        if (answer == QLatin1String("cancel"))
            return false;
        *mode = answer == QLatin1String("append") ? 3 : 2;
        return true;
    }
    bool askIncludeBuffer(bool* include) override
    {
        const QString answer = next(QStringLiteral("buffer"));
        if (answer == QLatin1String("cancel"))
            return false;
        *include = answer == QLatin1String("yes");
        return true;
    }

private:
    QString next(const QString& question)
    {
        asked << question;
        return answers.isEmpty() ? QStringLiteral("cancel") : answers.takeFirst();
    }
};

QByteArray fileBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

struct CaptureRig {
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<TextCapture> capture;
    ScriptedPrompts prompts;
    QByteArray shownBefore = "old line\r\n";
    bool haveView = true;

    CaptureRig()
    {
        settings = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("b.ini")));
        capture = std::make_unique<TextCapture>(*settings, feedback);
    }
    QString path(const char* name) const { return dir.filePath(QString::fromLatin1(name)); }
    void choose(int prompt, const QString& fixed, int mode, int include)
    {
        CaptureChoices choices;
        choices.promptForFilename = prompt;
        choices.pathName = fixed;
        choices.writeMode = mode;
        choices.includeBuffer = include;
        choices.store(*settings);
    }
    bool start()
    {
        return capture->start(prompts, [this](QByteArray* text) {
            *text = shownBefore;
            return haveView;
        });
    }
    void show(const QByteArray& text) { capture->write(text.constData(), text.size()); }
};

} // namespace

class CaptureTest : public QObject
{
    Q_OBJECT

private slots:
    void startAsksWhatTheChoicesLeaveOpen_data();
    void startAsksWhatTheChoicesLeaveOpen();
    void everyCombinationOfChoicesAndAnswers();
    void emptyFileNameLeavesCaptureOff();
    void noViewForBufferTextEndsAsCancel();
    void pauseLeavesOutWhatArrivesMeanwhile();
    void stopAndDestructionWriteEverythingOut();
    void textWaitsAtMostTheFlushInterval();
    void nulBytesAreNotCaptured();
    void timestampsStampLinesNotTheBufferText();
    void unopenableFileIsReported();
    void failedWriteIsReportedAndStopsCapture();
    void fixedNameOfTheOldDefaultMeansHomeFolder();
};

// Stored values (Prompt For Filename, Write Mode, Include Buffer Text), the answers
// given, the questions expected, and the file afterwards ("" = no file at all).
void CaptureTest::startAsksWhatTheChoicesLeaveOpen_data()
{
    QTest::addColumn<int>("promptName");
    QTest::addColumn<int>("writeMode");
    QTest::addColumn<int>("include");
    QTest::addColumn<QStringList>("answers");
    QTest::addColumn<QStringList>("asked");
    QTest::addColumn<bool>("on");
    QTest::addColumn<QByteArray>("file");

    const QStringList all = {"name", "mode", "buffer"};
    const QByteArray before = "existing\r\n";
    // The file holds "existing\r\n" before each row; "new\r\n" is shown after Start.
    QTest::newRow("all ask, cancel at name")
        << 1 << 1 << 1 << QStringList{"cancel"} << QStringList{"name"} << false << before;
    QTest::newRow("all ask, cancel at mode") << 1 << 1 << 1 << QStringList{"@", "cancel"}
                                             << QStringList{"name", "mode"} << false << before;
    QTest::newRow("all ask, cancel at buffer")
        << 1 << 1 << 1 << QStringList{"@", "append", "cancel"} << all << false << before;
    QTest::newRow("all ask, overwrite, buffer yes")
        << 1 << 1 << 1 << QStringList{"@", "overwrite", "yes"} << all << true
        << QByteArray("old line\r\nnew\r\n");
    QTest::newRow("all ask, append, buffer no") << 1 << 1 << 1 << QStringList{"@", "append", "no"}
                                                << all << true << QByteArray("existing\r\nnew\r\n");
    QTest::newRow("0 counts as ask") << 0 << 0 << 0 << QStringList{"@", "append", "yes"} << all
                                     << true << QByteArray("existing\r\nold line\r\nnew\r\n");
    QTest::newRow("fixed name, append, no buffer: no question")
        << 2 << 3 << 3 << QStringList{} << QStringList{} << true
        << QByteArray("existing\r\nnew\r\n");
    QTest::newRow("fixed name, overwrite, buffer yes: no question")
        << 2 << 2 << 2 << QStringList{} << QStringList{} << true
        << QByteArray("old line\r\nnew\r\n");
    QTest::newRow("fixed name, ask mode, cancel")
        << 2 << 1 << 3 << QStringList{"cancel"} << QStringList{"mode"} << false << before;
    QTest::newRow("fixed name, fixed mode, ask buffer, cancel")
        << 2 << 3 << 1 << QStringList{"cancel"} << QStringList{"buffer"} << false << before;
    QTest::newRow("prompt value 3 asks for the name")
        << 3 << 2 << 3 << QStringList{"@"} << QStringList{"name"} << true << QByteArray("new\r\n");
    QTest::newRow("write mode 7 asks") << 2 << 7 << 3 << QStringList{"overwrite"}
                                       << QStringList{"mode"} << true << QByteArray("new\r\n");
}

void CaptureTest::startAsksWhatTheChoicesLeaveOpen()
{
    QFETCH(int, promptName);
    QFETCH(int, writeMode);
    QFETCH(int, include);
    QFETCH(QStringList, answers);
    QFETCH(QStringList, asked);
    QFETCH(bool, on);
    QFETCH(QByteArray, file);

    for (bool fileExists : {true, false}) {
        CaptureRig rig;
        const QString target = rig.path("capture.txt");
        if (fileExists) {
            QFile existing(target);
            QVERIFY(existing.open(QIODevice::WriteOnly));
            existing.write("existing\r\n");
        }
        rig.choose(promptName, target, writeMode, include);
        for (const QString& answer : answers)
            rig.prompts.answers << (answer == QLatin1String("@") ? target : answer);

        QCOMPARE(rig.start(), on);
        QCOMPARE(rig.capture->capturing(), on);
        QCOMPARE(rig.prompts.asked, asked);
        rig.show("new\r\n");
        rig.capture->stop();
        QVERIFY(!rig.capture->capturing());
        QVERIFY(rig.feedback.messages.isEmpty());
        if (fileExists) {
            QCOMPARE(fileBytes(target), file);
        } else {
            // A cancel leaves no file behind; a start creates it.
            QCOMPARE(QFile::exists(target), on);
            if (on)
                QCOMPARE(fileBytes(target), QByteArray(file).replace("existing\r\n", ""));
        }
    }
}

// Every stored value 0 to 3 of the three choices, with every way of answering what is
// asked: a Cancel at each question, or all answered with each write mode and buffer
// answer. A stored 2 or 3 is the answer itself; anything else asks.
void CaptureTest::everyCombinationOfChoicesAndAnswers()
{
    int cases = 0;
    CaptureRig rig;
    const QString target = rig.path("combo.txt");
    rig.choose(1, target, 1, 1);
    int stored[3] = {1, 1, 1};
    const QString kNames[3] = {QStringLiteral("Prompt For Filename"), QStringLiteral("Write Mode"),
                               QStringLiteral("Include Buffer Text")};
    for (int promptName = 0; promptName <= 3; ++promptName) {
        for (int writeMode = 0; writeMode <= 3; ++writeMode) {
            for (int include = 0; include <= 3; ++include) {
                QStringList questions;
                if (promptName != 2)
                    questions << QStringLiteral("name");
                if (writeMode != 2 && writeMode != 3)
                    questions << QStringLiteral("mode");
                if (include != 2 && include != 3)
                    questions << QStringLiteral("buffer");
                // Cancel at each question in turn; then the four full answers.
                for (int variant = 0; variant < questions.size() + 4; ++variant) {
                    const int cancelAt = variant < questions.size() ? variant : -1;
                    const bool answerAppend = (variant - questions.size()) & 1;
                    const bool answerInclude = (variant - questions.size()) & 2;
                    // An answer to a question that is not asked makes no new case.
                    if (cancelAt < 0 && ((answerAppend && !questions.contains("mode")) ||
                                         (answerInclude && !questions.contains("buffer"))))
                        continue;
                    rig.prompts.answers.clear();
                    rig.prompts.asked.clear();
                    {
                        QFile existing(target);
                        QVERIFY(existing.open(QIODevice::WriteOnly));
                        existing.write("existing\r\n");
                    }
                    // Each stored write is flushed to disk: write only what changes.
                    const int wanted[3] = {promptName, writeMode, include};
                    for (int i = 0; i < 3; ++i) {
                        if (stored[i] != wanted[i])
                            rig.settings->writeInt(QStringLiteral("Transfer"), kNames[i],
                                                   wanted[i]);
                        stored[i] = wanted[i];
                    }
                    for (int i = 0; i < questions.size(); ++i) {
                        const QString& question = questions.at(i);
                        if (i == cancelAt)
                            rig.prompts.answers << QStringLiteral("cancel");
                        else if (question == QLatin1String("name"))
                            rig.prompts.answers << target;
                        else if (question == QLatin1String("mode"))
                            rig.prompts.answers << (answerAppend ? QStringLiteral("append")
                                                                 : QStringLiteral("overwrite"));
                        else
                            rig.prompts.answers
                                << (answerInclude ? QStringLiteral("yes") : QStringLiteral("no"));
                    }
                    const QString row = QStringLiteral("stored %1 %2 %3, variant %4")
                                            .arg(promptName)
                                            .arg(writeMode)
                                            .arg(include)
                                            .arg(variant);
                    const bool started = rig.start();
                    QVERIFY2(started == (cancelAt < 0), qPrintable(row));
                    QVERIFY2(rig.prompts.asked ==
                                 (cancelAt < 0 ? questions : questions.mid(0, cancelAt + 1)),
                             qPrintable(row + QStringLiteral(": asked ") +
                                        rig.prompts.asked.join(QLatin1Char(','))));
                    rig.show("new\r\n");
                    rig.capture->stop();
                    const bool append = writeMode == 3 || (writeMode != 2 && answerAppend);
                    const bool withBuffer = include == 2 || (include != 3 && answerInclude);
                    QByteArray expected = "existing\r\n";
                    if (started) {
                        expected = append ? expected : QByteArray();
                        if (withBuffer)
                            expected += rig.shownBefore;
                        expected += "new\r\n";
                    }
                    QVERIFY2(fileBytes(target) == expected,
                             qPrintable(row + QStringLiteral(": ") +
                                        QString::fromLatin1(fileBytes(target))));
                    ++cases;
                }
            }
        }
    }
    QCOMPARE(cases, 112 + 144); // cancels, then distinct full answers
}

void CaptureTest::emptyFileNameLeavesCaptureOff()
{
    CaptureRig rig;
    rig.choose(1, QString(), 1, 1);
    rig.prompts.answers << QStringLiteral("  ");
    QVERIFY(!rig.start());
    QCOMPARE(rig.prompts.asked, QStringList{"name"});
    QVERIFY(rig.feedback.messages.isEmpty());
    QCOMPARE(QDir(rig.dir.path()).entryList(QDir::Files), QStringList{"b.ini"});
}

void CaptureTest::noViewForBufferTextEndsAsCancel()
{
    CaptureRig rig;
    rig.haveView = false;
    rig.choose(2, rig.path("c.txt"), 2, 2);
    QVERIFY(!rig.start());
    QVERIFY(!QFile::exists(rig.path("c.txt")));
}

void CaptureTest::pauseLeavesOutWhatArrivesMeanwhile()
{
    CaptureRig rig;
    rig.choose(2, rig.path("p.txt"), 2, 3);
    QSignalSpy changes(rig.capture.get(), &TextCapture::stateChanged);
    QVERIFY(rig.start());
    rig.show("123");
    rig.capture->pause();
    QVERIFY(rig.capture->paused());
    QVERIFY(rig.capture->capturing());
    // What came before the pause is on disk already.
    QCOMPARE(fileBytes(rig.path("p.txt")), QByteArray("123"));
    rig.show("abc");
    rig.capture->resume();
    QVERIFY(!rig.capture->paused());
    rig.show("def");
    rig.capture->stop();
    QCOMPARE(fileBytes(rig.path("p.txt")), QByteArray("123def"));
    QCOMPARE(changes.count(), 4); // start, pause, resume, stop
    // Pause and Resume do nothing while capture is off.
    rig.capture->pause();
    QVERIFY(!rig.capture->paused());
}

void CaptureTest::stopAndDestructionWriteEverythingOut()
{
    CaptureRig rig;
    rig.choose(2, rig.path("s.txt"), 2, 3);
    QVERIFY(rig.start());
    rig.show("kept\r\n");
    // Buffered: nothing has reached the file yet.
    QCOMPARE(fileBytes(rig.path("s.txt")), QByteArray());
    rig.capture.reset();
    QCOMPARE(fileBytes(rig.path("s.txt")), QByteArray("kept\r\n"));
}

void CaptureTest::textWaitsAtMostTheFlushInterval()
{
    QVERIFY(CaptureFile::kFlushIntervalMs <= 1000);
    CaptureRig rig;
    rig.capture->setFlushInterval(100);
    rig.choose(2, rig.path("t.txt"), 2, 3);
    QVERIFY(rig.start());
    QElapsedTimer clock;
    clock.start();
    rig.show("first ");
    // Text that keeps coming does not hold the first bytes back.
    while (clock.elapsed() < 400) {
        rig.show("x");
        QTest::qWait(20);
    }
    QVERIFY(fileBytes(rig.path("t.txt")).startsWith("first x"));
    rig.show("last");
    QTRY_VERIFY_WITH_TIMEOUT(fileBytes(rig.path("t.txt")).endsWith("last"), 1000);
    QVERIFY(rig.capture->capturing());
}

void CaptureTest::nulBytesAreNotCaptured()
{
    CaptureRig rig;
    rig.choose(2, rig.path("n.txt"), 2, 3);
    QVERIFY(rig.start());
    rig.show(QByteArray("a\0b\r\n", 5));
    rig.capture->stop();
    QCOMPARE(fileBytes(rig.path("n.txt")), QByteArray("ab\r\n"));
}

// With "Capture Timestamps" each line that starts after Start begins with the time of
// its first byte; the text already shown has no times and goes in as it is.
void CaptureTest::timestampsStampLinesNotTheBufferText()
{
    CaptureRig rig;
    rig.choose(2, rig.path("t.txt"), 2, 2);
    rig.settings->writeInt(QStringLiteral("Transfer"), QStringLiteral("Capture Timestamps"), 1);
    QVERIFY(CaptureChoices::read(*rig.settings).timestamps);
    int ms = 0;
    rig.capture->setStampClock(
        [&] { return QDateTime(QDate(2026, 3, 4), QTime(23, 59, 59, 998)).addMSecs(++ms); });
    rig.shownBefore = "old line\r\npartial";
    QVERIFY(rig.start());
    rig.show("ly\r\nsec");
    rig.show("ond\r\n\r\n");
    rig.capture->stop();
    QCOMPARE(fileBytes(rig.path("t.txt")),
             QByteArray("old line\r\npartially\r\n[23:59:59.999] second\r\n[00:00:00.000] \r\n"));
}

void CaptureTest::unopenableFileIsReported()
{
    CaptureRig rig;
    const QString target = rig.path("no-such-folder/c.txt");
    rig.choose(2, target, 3, 3);
    QVERIFY(!rig.start());
    QVERIFY(!rig.capture->capturing());
    QCOMPARE(rig.feedback.messages.size(), 1);
    const RecordingFeedback::Message shown = rig.feedback.messages.first();
    QCOMPARE(shown.caption, QStringLiteral("Error"));
    QVERIFY2(shown.text.contains(QStringLiteral("No such file or directory")),
             qPrintable(shown.text));
    QVERIFY(shown.text.contains(target));
}

void CaptureTest::failedWriteIsReportedAndStopsCapture()
{
    if (!QFile::exists(QStringLiteral("/dev/full")))
        QSKIP("no /dev/full");
    for (bool onTimer : {false, true}) {
        CaptureRig rig;
        rig.capture->setFlushInterval(50);
        rig.choose(2, QStringLiteral("/dev/full"), 3, 3);
        QVERIFY(rig.start());
        QSignalSpy changes(rig.capture.get(), &TextCapture::stateChanged);
        rig.show("text for a full disk");
        if (onTimer)
            QTRY_VERIFY_WITH_TIMEOUT(!rig.capture->capturing(), 2000);
        else
            rig.capture->stop();
        QVERIFY(!rig.capture->capturing());
        QCOMPARE(rig.feedback.messages.size(), 1);
        QVERIFY2(rig.feedback.messages.first().text.contains(QStringLiteral("No space left")),
                 qPrintable(rig.feedback.messages.first().text));
        QCOMPARE(changes.count(), 1);
        // Nothing more is written or reported once capture is off.
        rig.show("more");
        rig.capture->stop();
        QCOMPARE(rig.feedback.messages.size(), 1);
    }
}

void CaptureTest::fixedNameOfTheOldDefaultMeansHomeFolder()
{
    const QString home = QDir::homePath();
    QCOMPARE(captureFilePath(QStringLiteral("C:\\CAPTURE.TXT")), home + "/CAPTURE.TXT");
    QCOMPARE(captureFilePath(QStringLiteral("c:\\capture.txt")), home + "/CAPTURE.TXT");
    QCOMPARE(captureFilePath(QString()), home + "/CAPTURE.TXT");
    QCOMPARE(captureFilePath(QStringLiteral("/tmp/x/cap.txt")), QStringLiteral("/tmp/x/cap.txt"));
    QCOMPARE(captureFilePath(QStringLiteral("logs/cap.txt")), home + "/logs/cap.txt");
}

QTEST_GUILESS_MAIN(CaptureTest)
#include "tst_capture.moc"
