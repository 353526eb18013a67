// The application shell: stored defaults at start, the window size across restarts,
// the recent-file list, the command line's file, the status bar.
#include "BrennockApp.h"
#include "BrennockDoc.h"
#include "MainFrame.h"
#include "PortBindings.h"
#include "RecordingFeedback.h"
#include "ShellDefaults.h"
#include "UiTestSupport.h"

#include <QAction>
#include <QDesktopServices>
#include <QMimeData>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStatusBar>

#include <unistd.h>

class UrlCatcher : public QObject
{
    Q_OBJECT
public slots:
    void open(const QUrl& url) { urls << url; }

public:
    QList<QUrl> urls;
};

class ShellTest : public QObject
{
    Q_OBJECT

private slots:
    void firstStartWritesExactlyTheMarkedDefaults();
    void startDefaultsRewriteOnlyMissing_data();
    void startDefaultsRewriteOnlyMissing();
    void windowSizeSurvivesRestart();
    void storedValuesAreCheckedWhenRead_data();
    void storedValuesAreCheckedWhenRead();
    void statusBarPanes();
    void fullTextSaysSoUntilCleared();
    void recentListKeepsTenNewestFirst();
    void commandLineFile_data();
    void commandLineFile();
    void droppedFileOpensAsDocument();
    void helpContentsOpensShippedPage();
};

void ShellTest::firstStartWritesExactlyTheMarkedDefaults()
{
    TempConfig config;
    {
        SettingsStore settings(brennockSettingsPath());
        QCOMPARE(settings.fileName(), config.iniPath());
        writeStartDefaults(settings);
        RecordingFeedback feedback;
        CMainFrame frame(settings, &feedback);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        QTRY_COMPARE(frame.frameGeometry().size(), QSize(620, 460));
        const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY((frame.frameGeometry().center() - screen.center()).manhattanLength() <= 2);
    }
    QSettings ini(config.iniPath(), QSettings::IniFormat);
    QMap<QString, QVariant> stored;
    const QStringList keys = ini.allKeys();
    for (const QString& key : keys)
        stored.insert(key, ini.value(key));
    const QMap<QString, QVariant> expected = {
        {QStringLiteral("COM Settings/Baud Rate"), QStringLiteral("9600")},
        {QStringLiteral("COM Settings/Baud Rate Bk Download"), QStringLiteral("115200")},
        {QStringLiteral("COM Settings/Parity"), QStringLiteral("None")},
        {QStringLiteral("COM Settings/Data Bits"), QStringLiteral("8")},
        {QStringLiteral("COM Settings/Stop Bits"), QStringLiteral("1")},
        {QStringLiteral("COM Settings/Flow Control"), QStringLiteral("None")},
        {QStringLiteral("COM Settings/Local Echo"), 0},
        {QStringLiteral("COM Settings/Send CRLF"), 0},
        {QStringLiteral("Delay/DelayChar"), 0},
        {QStringLiteral("Delay/DelayLF"), 0},
        {QStringLiteral("Delay/WindowsEdit"), 1},
        {QStringLiteral("Font/Face Name"), QStringLiteral("Courier")},
        {QStringLiteral("Font/Size"), 100},
        {QStringLiteral("Font/Bold"), 0},
        {QStringLiteral("Font/Italic"), 0},
        {QStringLiteral("Font/Underline"), 0},
        {QStringLiteral("Font/Strikeout"), 0},
        {QStringLiteral("Font/Color"), 0xFFFFFF},
        {QStringLiteral("Text/Wrap"), 1},
        {QStringLiteral("Background/Color"), 0xFF0000},
        {QStringLiteral("Transfer/Prompt For Filename"), 1},
        {QStringLiteral("Transfer/Prompt Path Name"), QStringLiteral("C:\\CAPTURE.TXT")},
        {QStringLiteral("Transfer/Write Mode"), 1},
        {QStringLiteral("Transfer/Include Buffer Text"), 1},
        {QStringLiteral("Window/X Size"), 620},
        {QStringLiteral("Window/Y Size"), 460},
    };
    QCOMPARE(stored.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(stored.value(it.key()).toString(), it.value().toString());
}

void ShellTest::startDefaultsRewriteOnlyMissing_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("before");
    QTest::addColumn<QVariant>("after");
    QTest::newRow("Prompt For Filename 0 becomes 1")
        << "Transfer"
        << "Prompt For Filename" << QVariant(0) << QVariant(1);
    QTest::newRow("Write Mode 0 becomes 1") << "Transfer"
                                            << "Write Mode" << QVariant(0) << QVariant(1);
    QTest::newRow("Write Mode 2 stays") << "Transfer"
                                        << "Write Mode" << QVariant(2) << QVariant(2);
    QTest::newRow("empty capture path is missing")
        << "Transfer"
        << "Prompt Path Name" << QVariant(QString()) << QVariant(QStringLiteral("C:\\CAPTURE.TXT"));
    QTest::newRow("Font Size 0 stays 0") << "Font"
                                         << "Size" << QVariant(0) << QVariant(0);
    QTest::newRow("Wrap 0 stays 0") << "Text"
                                    << "Wrap" << QVariant(0) << QVariant(0);
    QTest::newRow("-1 counts as missing") << "Window"
                                          << "X Size" << QVariant(-1) << QVariant(620);
    QTest::newRow("stored baud rate stays")
        << "COM Settings"
        << "Baud Rate" << QVariant(QStringLiteral("19200")) << QVariant(QStringLiteral("19200"));
}

void ShellTest::startDefaultsRewriteOnlyMissing()
{
    QFETCH(QString, section);
    QFETCH(QString, name);
    QFETCH(QVariant, before);
    QFETCH(QVariant, after);
    TempConfig config;
    SettingsStore settings(config.iniPath());
    if (before.type() == QVariant::String)
        settings.writeText(section, name, before.toString());
    else
        settings.writeInt(section, name, before.toInt());
    writeStartDefaults(settings);
    if (after.type() == QVariant::String)
        QCOMPARE(settings.readText(section, name, QStringLiteral("?")), after.toString());
    else
        QCOMPARE(settings.readInt(section, name, -7), after.toInt());
    QVERIFY(!settings.contains(QStringLiteral("COM Settings"), QStringLiteral("COM Port")));
    QVERIFY(!settings.contains(QStringLiteral("Settings"), QStringLiteral("EditPasteDateTime")));
}

void ShellTest::windowSizeSurvivesRestart()
{
    TempConfig config;
    SettingsStore settings(config.iniPath());
    writeStartDefaults(settings);
    RecordingFeedback feedback;
    {
        CMainFrame frame(settings, &feedback);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        // The user drags the outer frame to 800 x 600.
        QTRY_COMPARE(frame.frameGeometry().size(), QSize(620, 460));
        frame.resize(QSize(800, 600) - (frame.frameGeometry().size() - frame.size()));
        QTRY_COMPARE(storedWindowSize(settings), QSize(800, 600));
        // Minimised, the size is not one to come back to.
        frame.showMinimized();
        QTest::qWait(50);
    }
    SettingsStore reread(config.iniPath());
    QCOMPARE(storedWindowSize(reread), QSize(800, 600));
    CMainFrame again(reread, &feedback);
    again.show();
    QVERIFY(QTest::qWaitForWindowExposed(&again));
    QTRY_COMPARE(again.frameGeometry().size(), QSize(800, 600));
}

// A hand-edited or damaged settings file: every value is checked when it is read, and a
// file that cannot be read or written gives one warning naming it.
void ShellTest::storedValuesAreCheckedWhenRead_data()
{
    QTest::addColumn<QString>("damage"); // "value", "folder" or "unreadable"
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<QString>("probe");
    QTest::addColumn<QVariant>("expected");

    const QSize screen = QGuiApplication::primaryScreen()->availableGeometry().size();
    QTest::newRow("char delay of 28 hours")
        << "value"
        << "Delay"
        << "DelayChar" << QVariant(99999999) << "charDelay" << QVariant(1000);
    QTest::newRow("negative char delay")
        << "value"
        << "Delay"
        << "DelayChar" << QVariant(-5) << "charDelay" << QVariant(0);
    QTest::newRow("LF delay too long")
        << "value"
        << "Delay"
        << "DelayLF" << QVariant(1001) << "lfDelay" << QVariant(1000);
    QTest::newRow("LF delay at the limit")
        << "value"
        << "Delay"
        << "DelayLF" << QVariant(1000) << "lfDelay" << QVariant(1000);
    QTest::newRow("window wider than the screen")
        << "value"
        << "Window"
        << "X Size" << QVariant(99999) << "width" << QVariant(screen.width());
    QTest::newRow("window taller than the screen")
        << "value"
        << "Window"
        << "Y Size" << QVariant(99999) << "height" << QVariant(screen.height());
    QTest::newRow("window of no width")
        << "value"
        << "Window"
        << "X Size" << QVariant(0) << "width" << QVariant(kMinWindowSize.width());
    QTest::newRow("font too large") << "value"
                                    << "Font"
                                    << "Size" << QVariant(99999) << "fontTenths" << QVariant(720);
    QTest::newRow("font too small") << "value"
                                    << "Font"
                                    << "Size" << QVariant(1) << "fontTenths" << QVariant(40);
    QTest::newRow("font of size 0") << "value"
                                    << "Font"
                                    << "Size" << QVariant(0) << "fontTenths" << QVariant(100);
    QTest::newRow("a folder in the file's place")
        << "folder" << QString() << QString() << QVariant() << "warning" << QVariant(1);
    QTest::newRow("file without permission")
        << "unreadable" << QString() << QString() << QVariant() << "warning" << QVariant(1);
}

void ShellTest::storedValuesAreCheckedWhenRead()
{
    QFETCH(QString, damage);
    QFETCH(QString, section);
    QFETCH(QString, name);
    QFETCH(QVariant, stored);
    QFETCH(QString, probe);
    QFETCH(QVariant, expected);

    TempConfig config;
    QVERIFY(QDir().mkpath(QFileInfo(config.iniPath()).path()));
    if (damage == QLatin1String("value")) {
        SettingsStore settings(config.iniPath());
        writeStartDefaults(settings);
        settings.writeInt(section, name, stored.toInt());
    } else if (damage == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(config.iniPath()));
    } else {
        if (geteuid() == 0)
            QSKIP("root reads every file");
        {
            SettingsStore settings(config.iniPath());
            writeStartDefaults(settings);
        }
        QVERIFY(QFile::setPermissions(config.iniPath(), QFileDevice::Permissions()));
    }

    SettingsStore settings(config.iniPath());
    writeStartDefaults(settings);
    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));

    const auto warnings = [&] {
        int count = 0;
        for (const RecordingFeedback::Message& message : qAsConst(feedback.messages)) {
            if (message.text.contains(config.iniPath()) && message.icon == MessageIcon::Warning)
                ++count;
        }
        return count;
    };
    if (probe == QLatin1String("warning")) {
        // A change of state after start must not warn a second time.
        frame.resize(frame.size() - QSize(10, 10));
        frame.document().setCharDelay(5);
        frame.view()->setWrapText(false);
        QTest::qWait(50);
        QCOMPARE(warnings(), expected.toInt());
        frame.document().setCharDelay(0);
        QCOMPARE(frame.document().charDelay(), 0); // the defaults apply
        return;
    }
    QCOMPARE(warnings(), 0);
    if (probe == QLatin1String("charDelay")) {
        QCOMPARE(frame.document().charDelay(), expected.toInt());
    } else if (probe == QLatin1String("lfDelay")) {
        QCOMPARE(frame.document().lfDelay(), expected.toInt());
    } else if (probe == QLatin1String("fontTenths")) {
        QCOMPARE(qRound(frame.view()->font().pointSizeF() * 10), expected.toInt());
    } else {
        // The window fits the screen, and the size written back is a sane one.
        const bool width = probe == QLatin1String("width");
        const QSize outer = frame.frameGeometry().size();
        QCOMPARE(width ? outer.width() : outer.height(), expected.toInt());
        frame.hide();
        SettingsStore reread(config.iniPath());
        const QSize kept = storedWindowSize(reread);
        QVERIFY2((width ? kept.width() : kept.height()) <= qMax(expected.toInt(), 620),
                 qPrintable(QStringLiteral("%1 x %2").arg(kept.width()).arg(kept.height())));
    }
}

void ShellTest::statusBarPanes()
{
    TempConfig config;
    SettingsStore settings(config.iniPath());
    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.show();
    QCOMPARE(frame.statusText(), QStringLiteral("Ready"));
    QCOMPARE(frame.indicatorText(3), QStringLiteral("CAPTURE OFF"));
    frame.feedback().setStatusText(QStringLiteral("Please wait... transmitting characters!"));
    QCOMPARE(frame.statusText(), QStringLiteral("Please wait... transmitting characters!"));
    QCOMPARE(feedback.statusTexts.last(),
             QStringLiteral("Please wait... transmitting characters!"));
    QCOMPARE(frame.windowTitle(), QStringLiteral("Untitled - Brennock"));
    QVERIFY(!frame.action(QStringLiteral("saveSelectionAs"))->isEnabled());
    QCOMPARE(frame.action(QStringLiteral("commSettings"))->statusTip(),
             QStringLiteral("Change port settings"));
}

void ShellTest::fullTextSaysSoUntilCleared()
{
    TempConfig config;
    SettingsStore settings(config.iniPath());
    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    frame.view()->setTextLimit(100);
    const QString fullText = QString::fromLatin1(kTextFullStatusText);

    const QByteArray flood(150, 'x');
    frame.document().DeliverToViews(flood.constData(), flood.size());
    frame.view()->flushPending();
    QCOMPARE(frame.statusText(), fullText);
    // A paced paste passes by; its "Ready" at the end does not hide the notice.
    frame.feedback().setStatusText(QString::fromLatin1(kTransmittingStatusText));
    QCOMPARE(frame.statusText(), QString::fromLatin1(kTransmittingStatusText));
    frame.feedback().setStatusText(QString::fromLatin1(kReadyStatusText));
    QCOMPARE(frame.statusText(), fullText);
    // Nor does time, nor more text that is not shown.
    frame.document().DeliverToViews("more", 4);
    QTest::qWait(100);
    frame.view()->flushPending();
    QCOMPARE(frame.statusText(), fullText);
    QVERIFY(frame.statusBar()->currentMessage().isEmpty()); // the pane is not covered

    frame.view()->clearScreenAndBuffer();
    QCOMPARE(frame.statusText(), QStringLiteral("Ready"));
    frame.document().DeliverToViews("fresh", 5);
    frame.view()->flushPending();
    QCOMPARE(frame.view()->toPlainText(), QStringLiteral("fresh"));
    QCOMPARE(frame.statusText(), QStringLiteral("Ready"));
}

void ShellTest::recentListKeepsTenNewestFirst()
{
    TempConfig config;
    SettingsStore settings(config.iniPath());
    {
        RecentFiles recent(settings);
        for (int i = 1; i <= 12; ++i)
            recent.add(QStringLiteral("/tmp/f%1.run").arg(i));
        recent.add(QStringLiteral("/tmp/f5.run"));
    }
    RecentFiles reread(settings);
    const QStringList entries = reread.entries();
    QCOMPARE(entries.size(), 10);
    QCOMPARE(entries.first(), QStringLiteral("/tmp/f5.run"));
    QCOMPARE(entries.at(1), QStringLiteral("/tmp/f12.run"));
    QVERIFY(!entries.contains(QStringLiteral("/tmp/f1.run")));
    QVERIFY(!entries.contains(QStringLiteral("/tmp/f2.run")));
    QCOMPARE(entries.count(QStringLiteral("/tmp/f5.run")), 1);
}

void ShellTest::commandLineFile_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("file");
    QTest::newRow("none") << QStringList{"brennock"} << QString();
    QTest::newRow("one file") << QStringList{"brennock", "APP.BIN"} << QStringLiteral("APP.BIN");
    QTest::newRow("options skipped")
        << QStringList{"brennock", "-platform", "APP.RUN"} << QStringLiteral("APP.RUN");
    QTest::newRow("after --") << QStringList{"brennock", "--", "-odd.run"}
                              << QStringLiteral("-odd.run");
}

void ShellTest::commandLineFile()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, file);
    QCOMPARE(::commandLineFile(arguments), file);
}

void ShellTest::droppedFileOpensAsDocument()
{
    TempConfig config;
    QTemporaryDir files;
    const QString path = files.path() + QStringLiteral("/APP.BIN");
    QFile(path).open(QIODevice::WriteOnly);
    config.usePort(QStringLiteral("COM3"), files.path() + QStringLiteral("/no-such-device"));
    SettingsStore settings(config.iniPath());
    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.show();
    QVERIFY(QTest::qWaitForWindowExposed(&frame));
    QSignalSpy loads(&frame, &CMainFrame::loadRequested);

    QMimeData data;
    data.setUrls({QUrl::fromLocalFile(path)});
    QWidget* target = frame.view()->viewport();
    const QPoint at = target->rect().center();
    QDragEnterEvent enter(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(at, Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &drop);

    QCOMPARE(frame.recentFiles().value(0), path);
    QCOMPARE(frame.windowTitle(), QStringLiteral("APP.BIN - Brennock"));
    QVERIFY(loads.isEmpty()); // the load waits for the port to settle
    QTRY_COMPARE(loads.size(), 1);
    QCOMPARE(loads.first().first().toString(), path);
    // Connect ran first: with no device behind COM3 it says so.
    QVERIFY(!feedback.messages.isEmpty());
    QCOMPARE(feedback.messages.first().caption, QStringLiteral("Error"));
    // Text dropped on the window is not typed into it.
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    QDragEnterEvent textEnter(at, Qt::CopyAction, &text, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &textEnter);
    QVERIFY(!textEnter.isAccepted());
}

void ShellTest::helpContentsOpensShippedPage()
{
    TempConfig config;
    SettingsStore settings(config.iniPath());
    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("file"), &catcher, "open");
    frame.action(QStringLiteral("helpContents"))->trigger();
    QDesktopServices::unsetUrlHandler(QStringLiteral("file"));
    QCOMPARE(catcher.urls.size(), 1);
    QFile page(catcher.urls.first().toLocalFile());
    QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(page.fileName()));
    QVERIFY(page.readAll().contains("id=\"context-101\""));
    QVERIFY(feedback.messages.isEmpty());
}

QTEST_MAIN(ShellTest)
#include "tst_shell.moc"
