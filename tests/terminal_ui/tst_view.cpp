// The terminal view: what received bytes show, what reaches the capture writer, the
// coalesced display, the text limit, and the keyboard against a pty far end.
#include "BrennockDoc.h"
#include "BrennockView.h"
#include "PtyPair.h"
#include "RecordingFeedback.h"
#include "UiTestSupport.h"

#include <QApplication>
#include <QClipboard>
#include <QPrinter>
#include <QRegularExpression>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTextBlock>

#include <malloc.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <functional>

namespace
{

class CaptureLog : public CaptureWriter
{
public:
    void captureWrite(const char* bytes, int count) override
    {
        bytesSeen.append(bytes, count);
        ++runs;
    }
    QByteArray bytesSeen;
    int runs = 0;
};

using Deliveries = QList<QByteArray>;

// One key event as the keyboard sends it, without QTest's own modifier presses.
void key(QWidget* widget, QEvent::Type type, int code, Qt::KeyboardModifiers mods,
         bool repeat = false)
{
    QKeyEvent event(type, code, mods, QString(), repeat);
    QApplication::sendEvent(widget, &event);
}

// A view on a document without a port.
struct Offline {
    RecordingFeedback feedback;
    CBrennockDoc doc{nullptr, feedback};
    CaptureLog capture;
    CBrennockView view{doc, &capture};
    void deliver(const QByteArray& bytes) { view.portData(bytes.constData(), bytes.size()); }
};

// A view on a document connected to a pty; the test is the far end.
struct Online {
    TempConfig config;
    PtyPair pair;
    std::unique_ptr<SettingsStore> settings;
    RecordingFeedback feedback;
    std::unique_ptr<CBrennockDoc> doc;
    std::unique_ptr<CBrennockView> view;

    bool connect()
    {
        if (!pair.ok())
            return false;
        config.usePort(QStringLiteral("COM3"), pair.slavePath());
        settings = std::make_unique<SettingsStore>(config.iniPath());
        doc = std::make_unique<CBrennockDoc>(settings.get(), feedback);
        view = std::make_unique<CBrennockView>(*doc, nullptr);
        view->show();
        view->setFocus();
        return doc->Connect() && doc->isConnected();
    }
    ~Online()
    {
        view.reset();
        doc.reset();
    }
};

// The far end of a busy line: while trickling, an 80-column line every 8 ms (10 KB/s),
// and a line of '$' when it stops; and an echo ('#') of every 'k' it reads, at once.
// Each '#' and '$' line is noted with the time it was written.
class TrickleWithEcho
{
public:
    explicit TrickleWithEcho(int fd) : fd(fd), worker([this] { run(); }) {}
    ~TrickleWithEcho()
    {
        stop = true;
        worker.join();
    }
    void setTrickling(bool on) { trickling = on; }
    std::vector<PtyPair::Clock::time_point> written()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return marks;
    }

private:
    bool writeMarked(const QByteArray& bytes)
    {
        if (::write(fd, bytes.constData(), size_t(bytes.size())) != bytes.size())
            return false;
        std::lock_guard<std::mutex> lock(mutex);
        marks.push_back(PtyPair::Clock::now());
        return true;
    }
    void run()
    {
        const QByteArray line = QByteArray(80, '.') + "\r\n";
        auto next = PtyPair::Clock::now();
        bool ended = false;
        while (!stop) {
            const auto now = PtyPair::Clock::now();
            if (!trickling && !ended)
                ended = writeMarked(QByteArray(80, '$') + "\r\n");
            if (trickling && now >= next) {
                ended = false;
                if (::write(fd, line.constData(), size_t(line.size())) < 0)
                    return;
                next += std::chrono::milliseconds(8);
            }
            pollfd p{fd, POLLIN, 0};
            const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next - now);
            if (::poll(&p, 1, int(std::max<long long>(1, wait.count()))) <= 0)
                continue;
            char typed[64];
            const ssize_t n = ::read(fd, typed, sizeof typed);
            for (ssize_t i = 0; i < n; ++i) {
                if (typed[i] == 'k')
                    writeMarked("#");
            }
        }
    }

    int fd;
    std::atomic<bool> stop{false};
    std::atomic<bool> trickling{true};
    std::mutex mutex;
    std::vector<PtyPair::Clock::time_point> marks;
    std::thread worker;
};

// Notes when the view paints.
class PaintWatch : public QObject
{
public:
    explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
    PtyPair::Clock::time_point last;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            last = PtyPair::Clock::now();
        return false;
    }
};

} // namespace

class ViewTest : public QObject
{
    Q_OBJECT

private slots:
    void shows_data();
    void shows();
    void longLinesShowInSoftPieces_data();
    void longLinesShowInSoftPieces();
    void coalescesIntoOneInsert();
    void echoShowsAtOnceTrickleIsPaced();
    void echoDuringTrickleShowsAtOnce();
    void manyLinesShareBlocks_data();
    void manyLinesShareBlocks();
    void blocksOutOfViewHoldNoLayouts_data();
    void blocksOutOfViewHoldNoLayouts();
    void backspaceTakesPendingTextFirst();
    void timestampsStartEveryLineOfAFlood();
    void backspaceFloodCostsOneEditPerFlush_data();
    void backspaceFloodCostsOneEditPerFlush();
    void textLimitStopsGrowthNotCapture();
    void arrivingTextDropsSelectionAndFollows_data();
    void arrivingTextDropsSelectionAndFollows();
    void findText_data();
    void findText();
    void cutAndUndo();
    void typedKeys_data();
    void typedKeys();
    void editingKeysSwitch();
    void typingWithoutPortBeeps();
    void pasteIsPacedAtTheFarEnd();
    void escCancelsAPasteThenGoesOut();
    void enterWithEchoAndCrLfShowsOneLine();
    void printsToPdf();
    void breakOnF8Release();
};

void ViewTest::shows_data()
{
    QTest::addColumn<Deliveries>("deliveries");
    QTest::addColumn<bool>("flushEach");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<QByteArray>("captured");
    QTest::addColumn<int>("beeps");

    QTest::newRow("A CR LF B") << Deliveries{"A\r\nB"} << false << QStringLiteral("A\nB")
                               << QByteArray("A\r\nB") << 0;
    QTest::newRow("CR | LF across deliveries")
        << Deliveries{"A\r", "\nB"} << true << QStringLiteral("A\nB") << QByteArray("A\r\nB") << 0;
    QTest::newRow("CR | x LF") << Deliveries{"A\r", "x\n"} << false << QStringLiteral("A\nx\n")
                               << QByteArray("A\r\nx\r\n") << 0;
    QTest::newRow("lone LF") << Deliveries{"A\nB"} << false << QStringLiteral("A\nB")
                             << QByteArray("A\r\nB") << 0;
    QTest::newRow("lone CR") << Deliveries{"A\rB"} << false << QStringLiteral("A\nB")
                             << QByteArray("A\r\nB") << 0;
    QTest::newRow("abc BS d") << Deliveries{"abc\bd"} << false << QStringLiteral("abd")
                              << QByteArray("abcd") << 0;
    QTest::newRow("BS on shown text")
        << Deliveries{"abc", "\b", "d"} << true << QStringLiteral("abd") << QByteArray("abcd") << 0;
    QTest::newRow("BS after a line break, shown")
        << Deliveries{"A\r\n", "\b"} << true << QStringLiteral("A") << QByteArray("A\r\n") << 0;
    QTest::newRow("BS after a line break, pending")
        << Deliveries{"A\r\n", "\b"} << false << QStringLiteral("A") << QByteArray("A\r\n") << 0;
    QTest::newRow("BS on nothing") << Deliveries{"\b"} << false << QString() << QByteArray() << 0;
    QTest::newRow("BEL beeps, shows nothing")
        << Deliveries{"\a"} << false << QString() << QByteArray() << 1;
    QTest::newRow("NUL not shown, rest of run is")
        << Deliveries{QByteArray("a\0b", 3)} << false << QStringLiteral("ab")
        << QByteArray("a\0b", 3) << 0;
    QTest::newRow("BS after NUL takes the character before it")
        << Deliveries{QByteArray("ab\0\b", 4)} << false << QStringLiteral("a")
        << QByteArray("ab\0", 3) << 0;
    QTest::newRow("code page 437")
        << Deliveries{"\x80\xB3\x1B[2J\t."} << false << QStringLiteral("\u00C7\u2502\u2190[2J\t.")
        << QByteArray("\x80\xB3\x1B[2J\t.") << 0;
    QTest::newRow("1024 bytes shown and captured")
        << Deliveries{QByteArray(1024, 'x')} << false << QString(1024, QLatin1Char('x'))
        << QByteArray(1024, 'x') << 0;
}

void ViewTest::shows()
{
    QFETCH(Deliveries, deliveries);
    QFETCH(bool, flushEach);
    QFETCH(QString, shown);
    QFETCH(QByteArray, captured);
    QFETCH(int, beeps);
    Offline t;
    for (const QByteArray& delivery : deliveries) {
        t.deliver(delivery);
        if (flushEach)
            t.view.flushPending();
    }
    t.view.flushPending();
    QCOMPARE(t.view.toPlainText(), shown);
    QCOMPARE(t.capture.bytesSeen, captured);
    QCOMPARE(t.feedback.beeps, beeps);
}

void ViewTest::longLinesShowInSoftPieces_data()
{
    QTest::addColumn<Deliveries>("deliveries");
    QTest::addColumn<bool>("flushEach");
    QTest::addColumn<QString>("shown");
    QTest::addColumn<int>("blocks");
    const QByteArray x4096(4096, 'x');
    const QString s4096(4096, QLatin1Char('x'));
    QTest::newRow("10000 then a line")
        << Deliveries{QByteArray(10000, 'x') + "\r\nend"} << false
        << QString(10000, QLatin1Char('x')) + QStringLiteral("\nend") << 3;
    QTest::newRow("later lines are not pieces")
        << Deliveries{QByteArray(5000, 'x'), "\r\nabc", "\r\ndef"} << true
        << QString(5000, QLatin1Char('x')) + QStringLiteral("\nabc\ndef") << 2;
    QTest::newRow("BS over a piece break, shown")
        << Deliveries{x4096 + "y", "\b"} << true << s4096 << 1;
    QTest::newRow("BS over a piece break, pending")
        << Deliveries{x4096 + "y\b"} << false << s4096 << 1;
    QTest::newRow("BS BS over a piece break")
        << Deliveries{x4096 + "y", "\b\b"} << true << QString(4095, QLatin1Char('x')) << 1;
    QTest::newRow("exactly 4096 then a break")
        << Deliveries{x4096 + "\r\n" + x4096} << false << s4096 + QLatin1Char('\n') + s4096 << 2;
}

void ViewTest::longLinesShowInSoftPieces()
{
    QFETCH(Deliveries, deliveries);
    QFETCH(bool, flushEach);
    QFETCH(QString, shown);
    QFETCH(int, blocks);
    Offline t;
    for (const QByteArray& delivery : deliveries) {
        t.deliver(delivery);
        if (flushEach)
            t.view.flushPending();
    }
    t.view.flushPending();
    QCOMPARE(t.view.shownText(), shown);
    QCOMPARE(t.view.document()->blockCount(), blocks);
    // Copy and save see one line where the widget has pieces.
    t.view.selectEverything();
    QString crlf = shown;
    crlf.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    QCOMPARE(t.view.selectionForSaving(), crlf);
    t.view.copySelection();
    QCOMPARE(QApplication::clipboard()->text(), shown);
}

void ViewTest::coalescesIntoOneInsert()
{
    Offline t;
    int changes = 0;
    connect(t.view.document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    for (int i = 0; i < 500; ++i)
        t.deliver(i % 50 == 49 ? QByteArray("\r\n") : QByteArray(1, char('a' + i % 26)));
    QCOMPARE(t.capture.runs, 500);                               // capture stays per delivery
    QCOMPARE(t.view.document()->characterCount(), 1);            // nothing shown yet
    QTRY_COMPARE(changes, 1);                                    // then one insert
    QCOMPARE(t.view.toPlainText().count(QLatin1Char('\n')), 10); // lines, packed in a block
    QCOMPARE(t.view.textLength(), 500);
}

// Each update costs the same whatever it shows: a typed character's echo after a quiet
// spell shows at the next pass of the event loop, a trickle is shown at most every
// RefreshPacer::kIntervalMs, and its last line within that.
void ViewTest::echoShowsAtOnceTrickleIsPaced()
{
    Offline t;
    int changes = 0; // inserts (blocks given back are a removal and an insert of a break)
    connect(t.view.document(), &QTextDocument::contentsChange, this,
            [&changes](int, int removed, int added) { changes += added > removed; });
    t.deliver("x");
    QCoreApplication::processEvents();
    QCOMPARE(t.view.toPlainText(), QStringLiteral("x"));

    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300) {
        t.deliver("line\r\n");
        QTest::qWait(4);
    }
    const qint64 spent = clock.elapsed();
    QVERIFY2(changes <= 2 + spent / RefreshPacer::kIntervalMs,
             qPrintable(QStringLiteral("%1 updates in %2 ms").arg(changes).arg(spent)));
    QTest::qWait(RefreshPacer::kIntervalMs + 5);
    QCOMPARE(t.view.document()->characterCount() - 1, t.view.textLength());
}

// A typed character's echo is on screen within 20 ms though the trickle around it is
// gathered and paced: each key is typed just after the view showed the trickle, when
// the next update of the trickle is furthest away. The last line of a trickle is on
// screen within 50 ms.
void ViewTest::echoDuringTrickleShowsAtOnce()
{
    Online t;
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    TrickleWithEcho farEnd(t.pair.master());
    PaintWatch paints(t.view->viewport());
    bool updated = false;
    int marksShown = 0; // '#' and '$' lines
    PtyPair::Clock::time_point markInserted;
    QTextDocument* text = t.view->document();
    connect(text, &QTextDocument::contentsChange, this, [&] {
        updated = true;
        // Counted afresh: the view also edits text it showed before.
        const QString shown = text->toPlainText();
        const int marks = shown.count(QLatin1Char('#')) + shown.count(QString(80, QLatin1Char('$')));
        if (marks > marksShown)
            markInserted = PtyPair::Clock::now();
        marksShown = marks;
    });
    const auto waitFor = [](const std::function<bool()>& done) {
        QElapsedTimer clock;
        clock.start();
        while (!done() && clock.elapsed() < 2000)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 10);
        return done();
    };
    std::vector<double> latencies;
    const auto shownAfter = [&](int mark) {
        if (!waitFor([&] { return marksShown == mark; }) ||
            !waitFor([&] { return paints.last >= markInserted; }))
            return false;
        const auto written = farEnd.written();
        if (int(written.size()) != mark)
            return false;
        latencies.push_back(
            std::chrono::duration<double, std::milli>(paints.last - written.back()).count());
        return true;
    };
    const int keys = 5;
    for (int key = 1; key <= keys; ++key) {
        updated = false;
        QVERIFY(waitFor([&] { return updated; }));
        QTest::keyClick(t.view.get(), Qt::Key_K);
        QVERIFY(shownAfter(key));
    }
    const int trickles = 3;
    for (int stop = 1; stop <= trickles; ++stop) {
        QTest::qWait(2 * CBrennockDoc::kEchoMs); // the trickle alone
        farEnd.setTrickling(false);
        QVERIFY(shownAfter(keys + stop));
        farEnd.setTrickling(true);
    }
    QString seen;
    for (double ms : latencies)
        seen += QStringLiteral(" %1").arg(ms, 0, 'f', 1);
    qInfo("echoes, then last lines, shown after (ms):%s", qPrintable(seen));
    // One of each may be late on a loaded machine; a gathered echo or a paced last line
    // is late every time.
    std::sort(latencies.begin(), latencies.begin() + keys);
    std::sort(latencies.begin() + keys, latencies.end());
    QVERIFY2(latencies[keys - 2] <= 20.0 && latencies[keys + trickles - 2] <= 50.0,
             qPrintable(QStringLiteral("echoes, then last lines, shown after (ms):") + seen));
}

// The widget's cost is per block: a flood of empty or short lines must not make a block
// per line (a full text of bare line feeds took 1.9 GB). Lines still show, copy, save
// and find as lines.
void ViewTest::manyLinesShareBlocks_data()
{
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<int>("lines");
    QTest::newRow("bare LF") << QByteArray("\n") << 300000;
    QTest::newRow("bare CR") << QByteArray("\r") << 100000;
    QTest::newRow("20 columns") << QByteArray("abcdefghij0123456789\r\n") << 50000;
}

void ViewTest::manyLinesShareBlocks()
{
    QFETCH(QByteArray, line);
    QFETCH(int, lines);
    Offline t;
    const QByteArray one = line.repeated(1000);
    for (int i = 0; i < lines / 1000; ++i)
        t.deliver(one);
    t.deliver("end");
    t.view.flushPending();
    const QString shownLine = QString::fromLatin1(line).remove(QLatin1Char('\r')) +
                              (line.endsWith('\n') ? QString() : QStringLiteral("\n"));
    const QString expected = shownLine.repeated(lines) + QStringLiteral("end");
    QCOMPARE(t.view.shownText(), expected);
    QVERIFY2(t.view.document()->blockCount() <= expected.size() / CBrennockView::kPackChars + 2,
             qPrintable(QString::number(t.view.document()->blockCount())));
    t.view.selectEverything();
    QCOMPARE(t.view.selectionForSaving(),
             QString(expected).replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
    QVERIFY(t.view.findText(QStringLiteral("end"), true, true));
    QCOMPARE(t.view.textCursor().selectedText(), QStringLiteral("end"));
    // BS takes the break before "end" after its three letters: "end" joins the last line.
    t.deliver("\b\b\b\bX");
    t.view.flushPending();
    QCOMPARE(t.view.shownText(), expected.left(expected.size() - 4) + QLatin1Char('X'));
}

// The widget keeps a block's line layouts (about 64 bytes a line) until the block goes,
// and every block passes through the bottom of the view: a shown text of empty lines
// held 200 MB of them. What the text keeps is the text itself, and the text is intact.
void ViewTest::blocksOutOfViewHoldNoLayouts_data()
{
    QTest::addColumn<QByteArray>("unit");
    QTest::addColumn<int>("units");
    QTest::newRow("bare LF") << QByteArray("\n") << 1500000;
    // Pieces of one long line are blocks of their own: renewing one keeps it a piece.
    QTest::newRow("no break") << QByteArray("0123456789abcdef") << 60000;
}

void ViewTest::blocksOutOfViewHoldNoLayouts()
{
    QFETCH(QByteArray, unit);
    QFETCH(int, units);
    const auto heap = [] {
        const struct mallinfo2 info = mallinfo2();
        return qint64(info.uordblks + info.hblkhd);
    };
    Offline t;
    t.view.resize(500, 300);
    t.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.view));
    const qint64 before = heap();
    const int perDelivery = 65536 / unit.size();
    const QByteArray chunk = unit.repeated(perDelivery);
    for (int sent = 0; sent < units; sent += perDelivery) {
        t.deliver(chunk);
        QCoreApplication::processEvents(); // paints, as the window does between reads
    }
    t.deliver("end");
    t.view.flushPending();
    QCoreApplication::processEvents();
    const int chars = (units + perDelivery - 1) / perDelivery * perDelivery * unit.size();
    // The text itself: two bytes a character, its buffer up to twice that while it grows.
    const qint64 grown = heap() - before;
    QVERIFY2(grown < 4LL * chars + (4 << 20),
             qPrintable(QStringLiteral("%1 bytes for %2 characters").arg(grown).arg(chars)));

    const QString expected =
        QString::fromLatin1(unit).repeated(chars / unit.size()) + QStringLiteral("end");
    QCOMPARE(t.view.shownText(), expected);
    t.view.selectEverything();
    QCOMPARE(t.view.selectionForSaving(),
             QString(expected).replace(QLatin1Char('\n'), QStringLiteral("\r\n")));
    QScrollBar* bar = t.view.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum());
    t.deliver("!");
    t.view.flushPending();
    QVERIFY(t.view.viewport()->rect().contains(t.view.cursorRect().center()));
}

void ViewTest::backspaceTakesPendingTextFirst()
{
    Offline t;
    t.deliver("abc");
    t.view.flushPending();
    t.deliver("de");
    t.deliver("\b\b\b"); // "de" pending, then "c" shown
    int changes = 0;
    connect(t.view.document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    t.view.flushPending();
    QCOMPARE(t.view.toPlainText(), QStringLiteral("ab"));
    QCOMPARE(t.capture.bytesSeen, QByteArray("abcde"));
    QCOMPARE(changes, 1); // the "c" went; the pending text never reached the widget
}

// A flood of BS costs one edit of the widget per flush, however long the line is that
// it eats into (it used to cost a relayout of the line per BS).
void ViewTest::backspaceFloodCostsOneEditPerFlush_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<int>("backspaces");
    QTest::addColumn<QString>("after");

    QByteArray lines;
    QString shownLines;
    for (int i = 0; i < 1000; ++i) {
        lines += "abcd\r\n";
        if (i < 500)
            shownLines += QStringLiteral("abcd\n");
    }
    QTest::newRow("short lines") << lines << 2500 << shownLines;
    QTest::newRow("one long line")
        << QByteArray(100000, 'x') << 60000 << QString(40000, QLatin1Char('x'));
    QTest::newRow("into the line before a long one")
        << QByteArray("top\r\n") + QByteArray(9000, 'x') << 9002 << QStringLiteral("to");
    QTest::newRow("more BS than text") << QByteArray("abc\r\nd") << 10 << QString();
}

void ViewTest::backspaceFloodCostsOneEditPerFlush()
{
    QFETCH(QByteArray, before);
    QFETCH(int, backspaces);
    QFETCH(QString, after);
    Offline t;
    t.deliver(before);
    t.view.flushPending();
    int changes = 0;
    connect(t.view.document(), &QTextDocument::contentsChange, this, [&changes] { ++changes; });
    QElapsedTimer clock;
    clock.start();
    const QByteArray flood(backspaces, '\b');
    for (int at = 0; at < flood.size(); at += 1024)
        t.deliver(flood.mid(at, 1024));
    QCOMPARE(t.view.shownText().size(), after.size());
    QCOMPARE(t.view.shownText(), after); // already right before it is shown
    t.view.flushPending();
    QVERIFY2(clock.elapsed() < 2000, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(changes <= 1, qPrintable(QString::number(changes)));
    QCOMPARE(t.view.shownText(), after);
    QCOMPARE(t.view.textLength(), t.view.document()->characterCount() - 1);
    // What comes next joins the line that is left.
    t.deliver("Z");
    t.view.flushPending();
    QCOMPARE(t.view.shownText(), after + QLatin1Char('Z'));
}

// Each line starts with the time of its first byte; without the stamps the text is
// what the far end sent. A BS never leaves half a stamp.
void ViewTest::timestampsStartEveryLineOfAFlood()
{
    Online t;
    QVERIFY(t.connect());
    const QDateTime base(QDate(2026, 1, 2), QTime(10, 0));
    qint64 ms = 0;
    t.view->setStampClock([&] { return base.addMSecs(ms += 7); });
    t.view->setTimestamps(true);
    QCOMPARE(t.settings->readInt(QStringLiteral("Text"), QStringLiteral("Timestamps"), 0), 1);
    QByteArray sent;
    QString expected;
    for (int i = 0; i < 3000; ++i) {
        const QByteArray line = "line " + QByteArray::number(i) + ' ' + QByteArray(i % 90, 'x');
        sent += line + "\r\n";
        expected += QString::fromLatin1(line) + QLatin1Char('\n');
    }
    QVERIFY(t.pair.write(sent, 20000));
    QTRY_COMPARE_WITH_TIMEOUT(t.view->shownText().count(QLatin1Char('\n')), 3000, 20000);
    QString text = t.view->shownText();
    const QRegularExpression stamp(QStringLiteral("^\\[10:0\\d:\\d\\d\\.\\d{3}\\] "),
                                   QRegularExpression::MultilineOption);
    QCOMPARE(text.count(stamp), 3000);
    QStringList stamps;
    for (const QString& line : text.split(QLatin1Char('\n'), Qt::SkipEmptyParts))
        stamps << line.left(kLineStampChars);
    QStringList sorted = stamps;
    std::sort(sorted.begin(), sorted.end());
    QCOMPARE(stamps, sorted);
    QCOMPARE(text.remove(stamp), expected);

    Offline o;
    o.view.setStampClock([&] { return base; });
    o.view.setTimestamps(true);
    o.deliver("ab\r\nX\b\b");
    o.deliver("c\r\n");
    o.view.flushPending();
    QCOMPARE(o.view.toPlainText(), QStringLiteral("[10:00:00.000] abc\n"));
}

void ViewTest::textLimitStopsGrowthNotCapture()
{
    Offline t;
    t.view.setTextLimit(100);
    QSignalSpy filled(&t.view, &CBrennockView::bufferFilled);
    t.deliver(QByteArray(150, 'z'));
    t.view.flushPending();
    QCOMPARE(t.view.document()->characterCount() - 1, 100);
    QCOMPARE(filled.size(), 1);
    t.deliver("more");
    t.view.flushPending();
    QCOMPARE(t.view.document()->characterCount() - 1, 100);
    QCOMPARE(filled.size(), 1); // said once
    QCOMPARE(t.capture.bytesSeen.size(), 154);
    t.view.clearScreenAndBuffer();
    t.deliver("fresh");
    t.view.flushPending();
    QCOMPARE(t.view.toPlainText(), QStringLiteral("fresh"));
}

void ViewTest::arrivingTextDropsSelectionAndFollows_data()
{
    QTest::addColumn<int>("anchor");   // from the start; -1 counts from the end
    QTest::addColumn<int>("position"); // likewise
    QTest::addColumn<int>("scrolledTo");
    QTest::newRow("selection in the middle") << 7 << 11 << 10;
    QTest::newRow("selection reaching the end") << -5 << -1 << 10;
    QTest::newRow("caret in the middle") << 30 << 30 << 0;
    QTest::newRow("caret at the end") << -1 << -1 << 10;
}

void ViewTest::arrivingTextDropsSelectionAndFollows()
{
    QFETCH(int, anchor);
    QFETCH(int, position);
    QFETCH(int, scrolledTo);
    Offline t;
    t.view.resize(400, 200);
    t.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&t.view));
    QByteArray lines;
    for (int i = 0; i < 200; ++i)
        lines += "line " + QByteArray::number(i) + "\r\n";
    t.deliver(lines);
    t.view.flushPending();
    QScrollBar* bar = t.view.verticalScrollBar();
    QCOMPARE(bar->value(), bar->maximum()); // followed the new text

    // The user scrolls back and selects (or just puts the caret somewhere).
    const int length = t.view.document()->characterCount() - 1;
    const auto at = [length](int p) { return p < 0 ? length + 1 + p : p; };
    QTextCursor user = t.view.textCursor();
    user.setPosition(at(anchor));
    user.setPosition(at(position), QTextCursor::KeepAnchor);
    t.view.setTextCursor(user);
    bar->setValue(scrolledTo);

    t.deliver("new text\r\n");
    t.view.flushPending();
    // Received text goes after the last character: the selection is gone, the caret is
    // at the very end and the view shows it.
    QVERIFY(!t.view.textCursor().hasSelection());
    QCOMPARE(t.view.textCursor().position(), t.view.document()->characterCount() - 1);
    QVERIFY(t.view.shownText().contains(QStringLiteral("line 199\nnew text")));
    QCOMPARE(bar->value(), bar->maximum());
}

void ViewTest::findText_data()
{
    QTest::addColumn<int>("from");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("matchCase");
    QTest::addColumn<bool>("down");
    QTest::addColumn<int>("foundAt"); // -1: not found
    // Text: "Dir A:\nDIR b:\ndir c:"
    QTest::newRow("down, any case") << 0 << "dir" << false << true << 0;
    QTest::newRow("down, match case") << 0 << "dir" << true << true << 14;
    QTest::newRow("up from the end") << 20 << "DIR" << false << false << 14;
    QTest::newRow("up, match case") << 20 << "DIR" << true << false << 7;
    QTest::newRow("wraps round") << 15 << "Dir" << true << true << 0;
    QTest::newRow("not there") << 0 << "ls" << false << true << -1;
}

void ViewTest::findText()
{
    QFETCH(int, from);
    QFETCH(QString, text);
    QFETCH(bool, matchCase);
    QFETCH(bool, down);
    QFETCH(int, foundAt);
    Offline t;
    t.deliver("Dir A:\r\nDIR b:\r\ndir c:");
    QTextCursor cursor = t.view.textCursor();
    t.view.flushPending();
    cursor.setPosition(from);
    t.view.setTextCursor(cursor);
    const bool found = t.view.findText(text, matchCase, down);
    QCOMPARE(found, foundAt >= 0);
    if (found)
        QCOMPARE(t.view.textCursor().selectionStart(), foundAt);
}

void ViewTest::cutAndUndo()
{
    Offline t;
    t.view.show();
    t.deliver("abcd");
    t.view.flushPending();
    QTextCursor cursor = t.view.textCursor();
    cursor.setPosition(1);
    cursor.setPosition(3, QTextCursor::KeepAnchor);
    t.view.setTextCursor(cursor);
    QTest::keyClick(&t.view, Qt::Key_Delete, Qt::ShiftModifier);
    QCOMPARE(t.view.toPlainText(), QStringLiteral("ad"));
    QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("bc"));
    t.deliver("e"); // received text is not undone
    QTest::keyClick(&t.view, Qt::Key_Backspace, Qt::AltModifier);
    QCOMPARE(t.view.toPlainText(), QStringLiteral("abcde"));
}

void ViewTest::typedKeys_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<int>("mode");
    QTest::addColumn<QByteArray>("sent");
    QTest::addColumn<QString>("text"); // what the keyboard layout gives, when not QTest's
    const int ctrl = Qt::ControlModifier;
    QTest::newRow("letter") << int(Qt::Key_A) << 0 << 1 << QByteArray("a") << QString();
    QTest::newRow("shifted letter")
        << int(Qt::Key_A) << int(Qt::ShiftModifier) << 1 << QByteArray("A") << QStringLiteral("A");
    QTest::newRow("a umlaut as code page 437")
        << int(Qt::Key_Adiaeresis) << 0 << 1 << QByteArray("\x84") << QStringLiteral("\u00E4");
    QTest::newRow("euro has no byte")
        << int(Qt::Key_unknown) << 0 << 1 << QByteArray("?") << QStringLiteral("\u20AC");
    QTest::newRow("Enter") << int(Qt::Key_Return) << 0 << 1 << QByteArray("\r") << QString();
    QTest::newRow("Backspace") << int(Qt::Key_Backspace) << 0 << 1 << QByteArray("\b") << QString();
    QTest::newRow("Tab") << int(Qt::Key_Tab) << 0 << 1 << QByteArray("\t") << QString();
    QTest::newRow("Escape") << int(Qt::Key_Escape) << 0 << 1 << QByteArray("\x1b") << QString();
    QTest::newRow("Ctrl+A") << int(Qt::Key_A) << ctrl << 1 << QByteArray("\x01") << QString();
    QTest::newRow("Ctrl+Z") << int(Qt::Key_Z) << ctrl << 1 << QByteArray("\x1a") << QString();
    QTest::newRow("Ctrl+[") << int(Qt::Key_BracketLeft) << ctrl << 1 << QByteArray("\x1b")
                            << QString();
    QTest::newRow("Ctrl+C, editing keys")
        << int(Qt::Key_C) << ctrl << 1 << QByteArray() << QString();
    QTest::newRow("Ctrl+C, control characters")
        << int(Qt::Key_C) << ctrl << 0 << QByteArray("\x03") << QString();
    QTest::newRow("Ctrl+V, control characters")
        << int(Qt::Key_V) << ctrl << 0 << QByteArray("\x16") << QString();
    QTest::newRow("Ctrl+V, editing keys pastes")
        << int(Qt::Key_V) << ctrl << 1 << QByteArray("DIR\r\nTYPE \x80?\r\n") << QString();
    QTest::newRow("arrow moves the caret only")
        << int(Qt::Key_Left) << 0 << 1 << QByteArray() << QString();
    QTest::newRow("F4 sends nothing") << int(Qt::Key_F4) << 0 << 1 << QByteArray() << QString();
}

void ViewTest::typedKeys()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(int, mode);
    QFETCH(QByteArray, sent);
    QFETCH(QString, text);
    Online t;
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    t.doc->setWindowsEdit(mode);
    QApplication::clipboard()->setText(QStringLiteral("DIR\nTYPE \u00C7\u20AC\n"));
    t.view->portData("prompt", 6);
    t.view->flushPending();
    t.view->selectAll();
    if (text.isEmpty())
        QTest::keyClick(t.view.get(), Qt::Key(key), Qt::KeyboardModifiers(modifiers));
    else
        QTest::sendKeyEvent(QTest::Click, t.view.get(), Qt::Key(key), text,
                            Qt::KeyboardModifiers(modifiers));
    QCOMPARE(t.pair.readFor(150), sent);
    QCOMPARE(t.view->toPlainText(), QStringLiteral("prompt")); // never inserted by the widget
    if (key == Qt::Key_C && mode == 1)
        QCOMPARE(QApplication::clipboard()->text(), QStringLiteral("prompt"));
}

void ViewTest::editingKeysSwitch()
{
    Online t;
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    QCOMPARE(t.doc->windowsEdit(), 1);
    QWidget* v = t.view.get();
    const Qt::KeyboardModifiers ctrl = Qt::ControlModifier,
                                both = Qt::ControlModifier | Qt::ShiftModifier;
    key(v, QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
    key(v, QEvent::KeyPress, Qt::Key_Shift, ctrl);
    QCOMPARE(t.doc->windowsEdit(), 0);
    QCOMPARE(t.feedback.messages.size(), 1);
    QCOMPARE(t.feedback.messages.last().text, QStringLiteral("Transmit Control Characters!"));
    // Shift again with Ctrl still down: the switch has consumed the Ctrl.
    key(v, QEvent::KeyRelease, Qt::Key_Shift, both);
    key(v, QEvent::KeyPress, Qt::Key_Control, ctrl, true); // a held Ctrl repeats
    key(v, QEvent::KeyPress, Qt::Key_Shift, ctrl);
    QCOMPARE(t.doc->windowsEdit(), 0);
    QCOMPARE(t.feedback.messages.size(), 1);
    key(v, QEvent::KeyRelease, Qt::Key_Shift, both);
    key(v, QEvent::KeyRelease, Qt::Key_Control, ctrl);
    // Now Ctrl+C is a control character.
    QTest::keyClick(t.view.get(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(t.pair.readFor(150), QByteArray("\x03"));
    key(v, QEvent::KeyPress, Qt::Key_Control, Qt::NoModifier);
    key(v, QEvent::KeyPress, Qt::Key_Shift, ctrl);
    key(v, QEvent::KeyRelease, Qt::Key_Shift, both);
    key(v, QEvent::KeyRelease, Qt::Key_Control, ctrl);
    QCOMPARE(t.doc->windowsEdit(), 1);
    QCOMPARE(t.feedback.messages.last().text,
             QStringLiteral("Perform Standard Windows Editing Functions!"));
    // The switch is not stored.
    QCOMPARE(t.settings->readInt(QStringLiteral("Delay"), QStringLiteral("WindowsEdit"), -1), -1);
}

void ViewTest::typingWithoutPortBeeps()
{
    Offline t;
    t.view.show();
    QTest::keyClicks(&t.view, QStringLiteral("dir"));
    QCOMPARE(t.feedback.beeps, 3);
    t.view.flushPending();
    QCOMPARE(t.view.toPlainText(), QString());
}

void ViewTest::pasteIsPacedAtTheFarEnd()
{
    Online t;
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    t.doc->setCharDelay(5);
    t.doc->setLfDelay(40);
    QApplication::clipboard()->setText(QStringLiteral("ab\ncd"));
    t.pair.startRecording();
    QTest::qWait(30); // the recorder is listening
    t.view->pasteFromClipboard();
    QTRY_VERIFY_WITH_TIMEOUT(!t.doc->sending(), 3000); // it goes out on timers
    QTest::qWait(30);
    const std::vector<PtyPair::Arrival> arrivals = t.pair.stopRecording();
    QByteArray bytes;
    for (const PtyPair::Arrival& a : arrivals)
        bytes += a.byte;
    QCOMPARE(bytes, QByteArray("ab\r\ncd"));
    const auto gapMs = [&](int i) {
        return std::chrono::duration<double, std::milli>(arrivals[i + 1].at - arrivals[i].at)
            .count();
    };
    // Delays of 5, 5, 5, 40 and 5 ms follow the bytes. A late read can shift one
    // arrival, so look at the whole span and at the line feed's pause.
    const double span = gapMs(0) + gapMs(1) + gapMs(2) + gapMs(3) + gapMs(4);
    QVERIFY2(span >= 48.0, qPrintable(QStringLiteral("span %1 ms").arg(span)));
    QVERIFY2(gapMs(3) >= 30.0, qPrintable(QStringLiteral("gap after LF: %1 ms").arg(gapMs(3))));
    for (int i : {0, 1, 2, 4})
        QVERIFY(gapMs(i) < gapMs(3));
    QVERIFY(
        t.feedback.statusTexts.contains(QStringLiteral("Please wait... transmitting characters!")));
    QCOMPARE(t.feedback.statusTexts.last(), QStringLiteral("Ready"));
}

void ViewTest::escCancelsAPasteThenGoesOut()
{
    Online t;
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    t.doc->setCharDelay(3);
    QApplication::clipboard()->setText(QString(400, QLatin1Char('q')));
    t.view->pasteFromClipboard();
    QTest::qWait(60);
    QVERIFY(t.doc->sending());
    key(t.view.get(), QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QVERIFY(!t.doc->sending());
    const QByteArray sent = t.pair.readFor(200);
    QVERIFY(sent.size() > 0 && sent.size() < 400);
    QCOMPARE(sent, QByteArray(sent.size(), 'q')); // no ESC went out with it
    QCOMPARE(t.feedback.statusTexts.last(),
             QStringLiteral("Sending stopped: %1 of 400 characters were sent.").arg(sent.size()));
    // With nothing being sent, Esc is a character for the instrument.
    key(t.view.get(), QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
    QCOMPARE(t.pair.read(1), QByteArray("\x1b"));
}

void ViewTest::enterWithEchoAndCrLfShowsOneLine()
{
    Online t;
    {
        SettingsStore settings(t.config.iniPath());
        settings.writeInt(QStringLiteral("COM Settings"), QStringLiteral("Local Echo"), 1);
        settings.writeInt(QStringLiteral("COM Settings"), QStringLiteral("Send CRLF"), 1);
    }
    QVERIFY2(t.connect(), qPrintable(t.pair.error()));
    QTest::keyClicks(t.view.get(), QStringLiteral("ok"));
    QTest::keyClick(t.view.get(), Qt::Key_Return);
    QTest::keyClicks(t.view.get(), QStringLiteral("x"));
    QCOMPARE(t.pair.readFor(150), QByteArray("ok\r\nx"));
    t.view->flushPending();
    QCOMPARE(t.view->toPlainText(), QStringLiteral("ok\nx"));
}

void ViewTest::printsToPdf()
{
    Offline t;
    QByteArray lines;
    for (int i = 0; i < 150; ++i)
        lines += "line " + QByteArray::number(i) + "\r\n";
    t.deliver(lines);
    QTemporaryDir out;
    QPrinter printer(QPrinter::HighResolution);
    printer.setOutputFormat(QPrinter::PdfFormat);
    printer.setOutputFileName(out.path() + QStringLiteral("/text.pdf"));
    printer.setPageMargins(QMarginsF(0.5, 0.5, 0.5, 0.5), QPageLayout::Inch);
    t.view.printText(&printer);
    QFile pdf(printer.outputFileName());
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    const QByteArray content = pdf.readAll();
    QVERIFY(content.startsWith("%PDF"));
    QVERIFY(content.count("/Type /Page\n") + content.count("/Type /Page\r") +
                content.count("/Type /Page ") >=
            2);
}

void ViewTest::breakOnF8Release()
{
    // The view asks; the document holds the line in BREAK (tests/terminal).
    Offline t;
    QSignalSpy asked(&t.view, &CBrennockView::breakRequested);
    QTest::keyPress(&t.view, Qt::Key_F8);
    QCOMPARE(asked.size(), 0); // acts on release
    QTest::keyRelease(&t.view, Qt::Key_F8);
    QCOMPARE(asked.size(), 1);
    key(&t.view, QEvent::KeyRelease, Qt::Key_F8, Qt::NoModifier, true);
    QCOMPARE(asked.size(), 1); // not for an auto-repeat
}

QTEST_MAIN(ViewTest)
#include "tst_view.moc"
