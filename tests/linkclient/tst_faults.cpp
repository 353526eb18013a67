// The link session against qx2sim's link-server faults over the pty: late
// listings and clock replies around their timers, downloads that pause within
// and beyond the quiet time, NUL bytes, a missing file answered with text,
// server text around uploads, an upload the far end stops taking, and the
// device vanishing in the middle of a transfer and coming back.
#include "LinkSession.h"
#include "LinkTestSupport.h"
#include "ListingLine.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

#include <sys/stat.h>

using namespace linktest;

namespace
{
const QStringList kRootNames = {QStringLiteral("AUTOEXEC.BAT"), QStringLiteral("DATA"),
                                QStringLiteral("DATA001.DAT"),  QStringLiteral("DEMO.RUN"),
                                QStringLiteral("EMPTY.TXT"),    QStringLiteral("PROGRAMS"),
                                QStringLiteral("README.TXT"),   QStringLiteral("SETUP.CFG")};

const QString kUnableToConnect = QStringLiteral("Error:  Unable to connect to Skiffer.");
const QString kAbortText = QStringLiteral("Aborting Upload / Download\nPlease disconnect the USB "
                                          "connection and restart HarbrookLink.");

QStringList namesOf(const QStringList& entries)
{
    QStringList out;
    for (const QString& e : entries)
        out << listing::firstField(e);
    return out;
}

QByteArray randomBytes(int n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(n, Qt::Uninitialized);
    for (char& c : out)
        c = char(gen.generate() & 0xFF);
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

QStringList filesIn(const QString& dir)
{
    return QDir(dir).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

} // namespace

class TestFaults : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void lateListing_data();
    void lateListing();
    void clockReply_data();
    void clockReply();
    void nulInListingIsNotPartOfTheEntries();
    void downloadPause_data();
    void downloadPause();
    void missingFileAnsweredWithText_data();
    void missingFileAnsweredWithText();
    void fileChangedSinceTheListing_data();
    void fileChangedSinceTheListing();
    void serverTextAroundUploads_data();
    void serverTextAroundUploads();
    void uploadStallEndsTheJobWithTheAbortMessage();
    void vanishingMidTransfer_data();
    void vanishingMidTransfer();
    void slowTurnaroundEverywhere();
    void failedDownloadKeepsTheOldFile_data();
    void failedDownloadKeepsTheOldFile();
    void grownEmptyFileNeverLandsInTheNext();
    void uploadTakesOnlyRegularFiles();
    void uploadOfAFileThatChangesSize_data();
    void uploadOfAFileThatChangesSize();

private:
    QTemporaryDir settingsDir;
};

// Qt's warnings of a test, collected (a warning on stderr is a fault the user sees).
QStringList qtWarnings;
void collectWarnings(QtMsgType type, const QMessageLogContext&, const QString& text)
{
    if (type == QtWarningMsg || type == QtCriticalMsg)
        qtWarnings << text;
}

void TestFaults::initTestCase()
{
    isolateSettings(settingsDir);
    qInstallMessageHandler(collectWarnings);
}

void TestFaults::lateListing_data()
{
    QTest::addColumn<int>("startMs");
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<int>("chunk");
    QTest::addColumn<bool>("listed");
    // The program's own 4000 ms: a listing that starts 3.5 s late is still taken.
    QTest::newRow("3500 of 4000 ms") << 4000 << 3500 << 0 << true;
    QTest::newRow("within, chunked") << 800 << 500 << 60 << true;
    QTest::newRow("over the timer") << 800 << 1300 << 0 << false;
}

void TestFaults::lateListing()
{
    QFETCH(int, startMs);
    QFETCH(int, delayMs);
    QFETCH(int, chunk);
    QFETCH(bool, listed);
    qx2sim::SimOptions o;
    o.listingDelayMs = delayMs;
    o.chunkSize = chunk;
    o.chunkGapMs = chunk ? 50 : 0;
    LinkTiming t = fastTiming();
    t.listingStartMs = startMs;
    SessionRig rig;
    QVERIFY(rig.start(o, t));
    QSignalSpy listings(&rig.session, &LinkSession::listingReceived);
    QSignalSpy noAnswer(&rig.session, &LinkSession::noAnswer);
    QVERIFY(rig.session.performCD(QStringList()));
    QTRY_VERIFY_WITH_TIMEOUT(!listings.isEmpty() || !noAnswer.isEmpty(), startMs + delayMs + 2000);
    QVERIFY(waitIdle(&rig.session, 2000));
    if (listed) {
        QCOMPARE(namesOf(listings.last().at(0).toStringList()), kRootNames);
        QCOMPARE(rig.log.count(kUnableToConnect), 0);
        return;
    }
    QCOMPARE(noAnswer.count(), 1);
    QCOMPARE(rig.log.count(kUnableToConnect), 1);
    // The listing that comes after the timer answers nothing: it is not shown.
    QTest::qWait(delayMs - startMs + 400);
    QCOMPARE(listings.count(), 0);
    QCOMPARE(rig.session.currentState(), LinkSession::Nothing);
    // Asked again, the server answers again (late, so a patient timer takes it).
    LinkTiming patient = t;
    patient.listingStartMs = delayMs + 1000;
    rig.session.setTiming(patient);
    QVERIFY(rig.list({}, delayMs + 3000));
    QCOMPARE(namesOf(rig.entries), kRootNames);
}

void TestFaults::clockReply_data()
{
    QTest::addColumn<int>("delayMs");
    QTest::addColumn<bool>("nul");
    QTest::addColumn<bool>("answered");
    QTest::newRow("in time") << 60 << false << true;
    QTest::newRow("NUL inside") << 0 << true << true;
    QTest::newRow("late") << 500 << false << false;
}

void TestFaults::clockReply()
{
    QFETCH(int, delayMs);
    QFETCH(bool, nul);
    QFETCH(bool, answered);
    qx2sim::SimOptions o;
    o.tdateDelayMs = delayMs;
    o.nulInClockReply = nul;
    SessionRig rig;
    QVERIFY(rig.start(o));
    const QDateTime t(QDate(2024, 3, 15), QTime(13, 4, 5), Qt::UTC);
    rig.session.setClock([t] { return t; });
    QSignalSpy replies(&rig.session, &LinkSession::setTimeReply);
    QSignalSpy noAnswer(&rig.session, &LinkSession::noAnswer);
    rig.session.sendSetTime();
    QTRY_VERIFY_WITH_TIMEOUT(!replies.isEmpty() || !noAnswer.isEmpty(), 3000);
    QVERIFY(waitIdle(&rig.session, 1000));
    // The instrument took the time either way.
    QTRY_COMPARE(rig.peer.engine->memory().clockSets.size(), 1);
    QCOMPARE(rig.peer.engine->memory().clockSets.first().value, t);
    if (answered) {
        const QString reply = replies.last().at(0).toString();
        QVERIFY2(reply.startsWith(QLatin1String("Clock was ")), qPrintable(reply));
        // A NUL inside the reply hides nothing after it.
        QVERIFY2(reply.endsWith(QLatin1String(" Clock now 03-15-2024 13:04:05")),
                 qPrintable(reply));
        QVERIFY(!reply.contains(QChar(0)));
        QCOMPARE(rig.log.lines.last(), reply);
        QCOMPARE(noAnswer.count(), 0);
        return;
    }
    QCOMPARE(noAnswer.count(), 1);
    QCOMPARE(rig.log.count(kUnableToConnect), 1);
    QTest::qWait(delayMs);
    // The late reply is dropped; the next listing is the card's alone.
    QVERIFY(rig.list());
    QCOMPARE(namesOf(rig.entries), kRootNames);
    QCOMPARE(replies.count(), 0);
}

void TestFaults::nulInListingIsNotPartOfTheEntries()
{
    qx2sim::SimOptions o;
    o.nulInListing = true;
    o.crlfListing = true;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QCOMPARE(namesOf(rig.entries), kRootNames);
    for (const QString& e : rig.entries) {
        QVERIFY2(!e.contains(QChar(0)), qPrintable(e));
        QVERIFY2(listing::fitsColumns(e), qPrintable(e));
    }
    // Those lines download the files whole, with their times.
    QTemporaryDir dest;
    QVERIFY(rig.runJob([&] {
        return rig.session.startDownload(
            {rig.line(QStringLiteral("DATA001.DAT")), rig.line(QStringLiteral("README.TXT"))},
            dest.path());
    }));
    for (const QString& name : {QStringLiteral("DATA001.DAT"), QStringLiteral("README.TXT")}) {
        const QString path = dest.path() + QLatin1Char('/') + name;
        QCOMPARE(readFile(path), readFile(rig.peer.cardRoot() + QLatin1Char('/') + name));
        QCOMPARE(QFileInfo(path).lastModified().toUTC(), listing::fileTime(rig.line(name)).toUTC());
    }
    QCOMPARE(rig.log.count(QStringLiteral("Aborting")), 0);
}

void TestFaults::downloadPause_data()
{
    QTest::addColumn<int>("pauseMs");
    QTest::addColumn<bool>("complete");
    // The download's quiet limit is 400 ms here (2000 ms in the program).
    QTest::newRow("within the quiet time") << 200 << true;
    QTest::newRow("beyond the quiet time") << 900 << false;
}

void TestFaults::downloadPause()
{
    QFETCH(int, pauseMs);
    QFETCH(bool, complete);
    QTemporaryDir card;
    QTemporaryDir dest;
    const QByteArray big = randomBytes(150000, 11);
    QVERIFY(writeFile(card.path() + QStringLiteral("/BIG.BIN"), big));
    QVERIFY(writeFile(card.path() + QStringLiteral("/ONE.BIN"), "Z"));
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    o.downloadPauseMs = pauseMs;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QSignalSpy aborted(&rig.session, &LinkSession::jobAborted);
    const bool ok = rig.runJob([&] {
        return rig.session.startDownload({rig.line(QStringLiteral("BIG.BIN"))}, dest.path());
    });
    QCOMPARE(ok, complete);
    QVERIFY(waitIdle(&rig.session, 1000));
    if (complete) {
        QCOMPARE(readFile(dest.path() + QStringLiteral("/BIG.BIN")), big);
        QCOMPARE(aborted.count(), 0);
        return;
    }
    // Fewer bytes than listed before the line went quiet: said, not kept.
    QCOMPARE(aborted.count(), 0);
    QCOMPARE(rig.log.count(QStringLiteral("BIG.BIN: only 75000 of the 150000 bytes listed")), 1);
    QCOMPARE(filesIn(dest.path()), QStringList());
    QTRY_VERIFY(rig.peer.received().endsWith("sBIG.BIN\na"));
    // The second half never comes: the next file is its own bytes alone.
    QTest::qWait(pauseMs);
    QVERIFY(rig.runJob([&] {
        return rig.session.startDownload({rig.line(QStringLiteral("ONE.BIN"))}, dest.path());
    }));
    QCOMPARE(readFile(dest.path() + QStringLiteral("/ONE.BIN")), QByteArray("Z"));
    QCOMPARE(filesIn(dest.path()), QStringList{QStringLiteral("ONE.BIN")});
}

void TestFaults::missingFileAnsweredWithText_data()
{
    QTest::addColumn<int>("listedSize");
    // " File not found" CR LF is 17 bytes: more and fewer listed.
    QTest::newRow("listed larger") << 400;
    QTest::newRow("listed smaller") << 5;
}

void TestFaults::missingFileAnsweredWithText()
{
    QFETCH(int, listedSize);
    QTemporaryDir card;
    QTemporaryDir dest;
    QVERIFY(writeFile(card.path() + QStringLiteral("/GONE.BIN"), randomBytes(listedSize, 3)));
    QVERIFY(writeFile(card.path() + QStringLiteral("/NEXT.BIN"), "next file"));
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    o.missingFileText = true;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    const QStringList lines = {rig.line(QStringLiteral("GONE.BIN")),
                               rig.line(QStringLiteral("NEXT.BIN"))};
    QVERIFY(!lines.contains(QString()));
    // Deleted on the card after it was listed.
    QVERIFY(QFile::remove(card.path() + QStringLiteral("/GONE.BIN")));
    QVERIFY(!rig.runJob([&] { return rig.session.startDownload(lines, dest.path()); }));
    QVERIFY(waitIdle(&rig.session, 1000));
    // The server's text never becomes a file, nor the start of the next one.
    QVERIFY2(!QFileInfo::exists(dest.path() + QStringLiteral("/GONE.BIN")),
             readFile(dest.path() + QStringLiteral("/GONE.BIN")).constData());
    QVERIFY(!filesIn(dest.path()).contains(QStringLiteral("NEXT.BIN")) ||
            readFile(dest.path() + QStringLiteral("/NEXT.BIN")) == "next file");
    // What the instrument said is in the log.
    QCOMPARE(rig.log.count(QStringLiteral("GONE.BIN: the instrument answered \"File not found\"")),
             1);
}

void TestFaults::fileChangedSinceTheListing_data()
{
    QTest::addColumn<int>("listedSize");
    QTest::addColumn<QString>("refused");
    // Grown: more bytes than listed come for it. Listed empty: its new bytes come
    // while the line should stay quiet; they are never taken as the next file's.
    QTest::newRow("grown") << 5 << QStringLiteral("CHANGED.BIN");
    QTest::newRow("listed empty") << 0 << QStringLiteral("CHANGED.BIN");
}

void TestFaults::fileChangedSinceTheListing()
{
    QFETCH(int, listedSize);
    QFETCH(QString, refused);
    QTemporaryDir card;
    QTemporaryDir dest;
    QVERIFY(writeFile(card.path() + QStringLiteral("/CHANGED.BIN"), randomBytes(listedSize, 41)));
    const QByteArray next = randomBytes(300, 42);
    QVERIFY(writeFile(card.path() + QStringLiteral("/NEXT.BIN"), next));
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    const QStringList lines = {rig.line(QStringLiteral("CHANGED.BIN")),
                               rig.line(QStringLiteral("NEXT.BIN"))};
    QVERIFY(writeFile(card.path() + QStringLiteral("/CHANGED.BIN"), randomBytes(40, 43)));
    QVERIFY(!rig.runJob([&] { return rig.session.startDownload(lines, dest.path()); }));
    QVERIFY(waitIdle(&rig.session, 1000));
    QCOMPARE(rig.log.count(refused + QStringLiteral(": the instrument sent more than the")), 1);
    // No file holds bytes that are not its own, and the job went on.
    QVERIFY(!QFileInfo::exists(dest.path() + QLatin1Char('/') + refused));
    QCOMPARE(readFile(dest.path() + QStringLiteral("/NEXT.BIN")), next);
    QCOMPARE(filesIn(dest.path()), QStringList{QStringLiteral("NEXT.BIN")});
    QVERIFY(rig.peer.received().contains("s" + refused.toUtf8() + "\na"));
}

void TestFaults::serverTextAroundUploads_data()
{
    QTest::addColumn<QString>("when");
    QTest::newRow("during") << QStringLiteral("during");
    QTest::newRow("after") << QStringLiteral("after");
}

void TestFaults::serverTextAroundUploads()
{
    QFETCH(QString, when);
    QTemporaryDir local;
    const QByteArray first = randomBytes(120000, 21);
    const QByteArray second = randomBytes(3000, 22);
    QVERIFY(writeFile(local.path() + QStringLiteral("/first.bin"), first));
    QVERIFY(writeFile(local.path() + QStringLiteral("/second.bin"), second));
    qx2sim::SimOptions o;
    o.uploadText = when;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QSignalSpy listings(&rig.session, &LinkSession::listingReceived);
    QVERIFY(rig.runJob([&] {
        return rig.session.startUpload(
            {QUrl::fromLocalFile(local.path() + QStringLiteral("/first.bin")),
             QUrl::fromLocalFile(local.path() + QStringLiteral("/second.bin"))},
            {QStringLiteral("FIRST.BIN"), QStringLiteral("SECOND.BIN")});
    }));
    // The listing after the job shows the files and nothing of the server's text.
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(&rig.session, 1000));
    QStringList expected = kRootNames;
    expected << QStringLiteral("FIRST.BIN") << QStringLiteral("SECOND.BIN");
    expected.sort(Qt::CaseInsensitive);
    QCOMPARE(namesOf(listings.last().at(0).toStringList()), expected);
    QTRY_COMPARE(readFile(rig.peer.cardRoot() + QStringLiteral("/FIRST.BIN")), first);
    QTRY_COMPARE(readFile(rig.peer.cardRoot() + QStringLiteral("/SECOND.BIN")), second);
    QCOMPARE(rig.log.count(QStringLiteral("Aborting")), 0);
    QCOMPARE(rig.log.count(QStringLiteral("Success: Directory listing updated.")), 1);
}

void TestFaults::uploadStallEndsTheJobWithTheAbortMessage()
{
    QTemporaryDir local;
    const QString path = local.path() + QStringLiteral("/big.bin");
    QVERIFY(writeFile(path, randomBytes(400000, 6)));
    qx2sim::SimOptions o;
    o.uploadStallAfter = 1000;
    // The instrument waits well longer than the client (1500 ms here) before it
    // gives the upload up and reads on.
    o.timing.uploadIdleMs = 5000;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QSignalSpy aborted(&rig.session, &LinkSession::jobAborted);
    QSignalSpy listings(&rig.session, &LinkSession::listingReceived);
    QVERIFY(!rig.runJob([&] {
        return rig.session.startUpload({QUrl::fromLocalFile(path)}, {QStringLiteral("BIG.BIN")});
    }));
    QCOMPARE(aborted.count(), 1);
    QCOMPARE(rig.log.lines.last(), kAbortText);
    QCOMPARE(rig.session.currentState(), LinkSession::Nothing);
    QCOMPARE(listings.count(), 0); // not refreshed after a stall
    // The instrument discards the cut file.
    QVERIFY(rig.peer.engine->waitUntil(
        [](const qx2sim::MemoryModel& m) {
            return !m.cardFiles.isEmpty() &&
                   m.cardFiles.last().kind == qx2sim::CardFileRecord::UploadDiscarded;
        },
        9000));
    QVERIFY(!rig.storedOnCard(QStringLiteral("BIG.BIN")));
    // The bytes already in the device's buffer reach the instrument as commands
    // after that (an ETX among them ends the server): hence the advice to reconnect.
}

void TestFaults::vanishingMidTransfer_data()
{
    QTest::addColumn<bool>("upload");
    QTest::addColumn<qint64>("afterBytes"); // -1: 3 s after the start, in a paced transfer
    QTest::newRow("download, paced") << false << qint64(-1);
    QTest::newRow("upload, paced") << true << qint64(-1);
    QTest::newRow("upload, after 50000 bytes") << true << qint64(50000);
}

void TestFaults::vanishingMidTransfer()
{
    QFETCH(bool, upload);
    QFETCH(qint64, afterBytes);
    QTemporaryDir card;
    QTemporaryDir dest;
    const QByteArray big = randomBytes(200000, 31);
    QVERIFY(writeFile(card.path() + QStringLiteral("/BIG.BIN"), big));
    QVERIFY(writeFile(dest.path() + QStringLiteral("/local.bin"), big));
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    if (afterBytes < 0) {
        o.lineRate = 115200; // 200000 bytes take some 17 s: the device goes in the middle
        o.vanishAfterMs = 3000;
    } else {
        o.vanishAfterBytes = afterBytes;
    }
    o.comeBackMs = 400;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QSignalSpy aborted(&rig.session, &LinkSession::jobAborted);
    QSignalSpy progress(&rig.session, &LinkSession::transferFileCompleted);
    QElapsedTimer t;
    t.start();
    const bool ok = rig.runJob([&] {
        return upload
                   ? rig.session.startUpload(
                         {QUrl::fromLocalFile(dest.path() + QStringLiteral("/local.bin"))},
                         {QStringLiteral("UP.BIN")})
                   : rig.session.startDownload({rig.line(QStringLiteral("BIG.BIN"))}, dest.path());
    });
    QVERIFY(!ok);
    QVERIFY2(t.elapsed() < 10000, qPrintable(QString::number(t.elapsed())));
    QVERIFY(progress.last().at(0).toLongLong() > 0);
    QCOMPARE(aborted.count(), 1);
    QCOMPARE(rig.session.currentState(), LinkSession::Nothing);
    QCOMPARE(rig.log.count(QStringLiteral("An I/O error occurred")), 1);
    // What happened, in the system's words; nothing from Qt on stderr.
    QTest::qWait(rig.session.currentTiming().downloadStallMs + 100);
    const QString lost = rig.log.lines.filter(QStringLiteral("An I/O error occurred")).value(0);
    QVERIFY2(!lost.contains(QLatin1String("Unknown error")) &&
                 lost.contains(QLatin1String("the device went away")),
             qPrintable(lost));
    QVERIFY2(qtWarnings.filter(QStringLiteral("QSerialPort")).isEmpty(),
             qPrintable(qtWarnings.join('\n')));
    // Nothing half-written anywhere.
    QCOMPARE(filesIn(dest.path()), QStringList{QStringLiteral("local.bin")});
    QVERIFY(!rig.storedOnCard(QStringLiteral("UP.BIN")));
    QVERIFY(!rig.session.isPortOpen());

    // The instrument reads whatever comes next as the cut upload's bytes until
    // its quiet time gives the upload up; only then does it take commands again.
    if (upload) {
        QVERIFY(rig.peer.engine->waitUntil(
            [](const qx2sim::MemoryModel& m) {
                return !m.cardFiles.isEmpty() &&
                       m.cardFiles.last().kind == qx2sim::CardFileRecord::UploadDiscarded;
            },
            5000));
    }
    // Back at the same link: opened again, the link lists and transfers whole files.
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(rig.peer.link), 3000);
    QVERIFY(rig.session.reopenIfClosed());
    QVERIFY(rig.list());
    QVERIFY(namesOf(rig.entries).contains(QStringLiteral("BIG.BIN")));
    QVERIFY(!namesOf(rig.entries).contains(QStringLiteral("UP.BIN")));
    QVERIFY(writeFile(card.path() + QStringLiteral("/SMALL.BIN"), "small"));
    QVERIFY(rig.list());
    QVERIFY(rig.runJob([&] {
        return rig.session.startDownload({rig.line(QStringLiteral("SMALL.BIN"))}, dest.path());
    }));
    QCOMPARE(readFile(dest.path() + QStringLiteral("/SMALL.BIN")), QByteArray("small"));
}

void TestFaults::slowTurnaroundEverywhere()
{
    // A USB adapter's latency before every answer, under the reply timers.
    qx2sim::SimOptions o;
    o.turnaroundMs = 100;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QCOMPARE(namesOf(rig.entries), kRootNames);
    QTemporaryDir dest;
    QVERIFY(rig.runJob([&] {
        return rig.session.startDownload({rig.line(QStringLiteral("README.TXT")),
                                          rig.line(QStringLiteral("EMPTY.TXT")),
                                          rig.line(QStringLiteral("DATA001.DAT"))},
                                         dest.path());
    }));
    for (const QString& name :
         {QStringLiteral("README.TXT"), QStringLiteral("EMPTY.TXT"), QStringLiteral("DATA001.DAT")})
        QCOMPARE(readFile(dest.path() + QLatin1Char('/') + name),
                 readFile(rig.peer.cardRoot() + QLatin1Char('/') + name));
    QVERIFY(rig.runJob([&] {
        return rig.session.startUpload(
            {QUrl::fromLocalFile(dest.path() + QStringLiteral("/DATA001.DAT"))},
            {QStringLiteral("COPY.DAT")});
    }));
    QVERIFY(waitIdle(&rig.session, 3000));
    QTRY_COMPARE(readFile(rig.peer.cardRoot() + QStringLiteral("/COPY.DAT")),
                 readFile(dest.path() + QStringLiteral("/DATA001.DAT")));
    QSignalSpy replies(&rig.session, &LinkSession::setTimeReply);
    rig.session.sendSetTime();
    QVERIFY(replies.wait(2000));
    QVERIFY(replies.last().at(0).toString().contains(QLatin1String("Clock now")));
    QCOMPARE(rig.log.count(kUnableToConnect), 0);
    QCOMPARE(rig.log.count(QStringLiteral("Aborting")), 0);
}

void TestFaults::failedDownloadKeepsTheOldFile_data()
{
    QTest::addColumn<QString>("fault");
    QTest::newRow("stall") << QStringLiteral("stall");
    QTest::newRow("vanish") << QStringLiteral("vanish");
    QTest::newRow("grown") << QStringLiteral("grow");
}

void TestFaults::failedDownloadKeepsTheOldFile()
{
    QFETCH(QString, fault);
    QTemporaryDir dest;
    const QString old = dest.path() + QStringLiteral("/DATA001.DAT");
    QVERIFY(writeFile(old, "the user's own copy"));
    const QDateTime oldTime = QFileInfo(old).lastModified();
    qx2sim::SimOptions o;
    if (fault == QLatin1String("stall"))
        o.stallDownloadAfter = 100;
    if (fault == QLatin1String("vanish"))
        o.vanishAfterBytes = 6 + 5; // "cC:\\\nd", then part of the request
    if (fault == QLatin1String("grow")) {
        o.growPattern = QStringLiteral("DATA001.DAT");
        o.growBytes = 30;
    }
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QStringList lines = {rig.line(QStringLiteral("DATA001.DAT"))};
    if (fault != QLatin1String("vanish"))
        lines << rig.line(QStringLiteral("SETUP.CFG"));
    QVERIFY(!rig.runJob([&] { return rig.session.startDownload(lines, dest.path()); }));
    QVERIFY(waitIdle(&rig.session, 1000));
    QCOMPARE(readFile(old), QByteArray("the user's own copy"));
    QCOMPARE(QFileInfo(old).lastModified(), oldTime);
    // The job went on past the file that failed; nothing else is left behind.
    QStringList expected{QStringLiteral("DATA001.DAT")};
    if (fault != QLatin1String("vanish")) {
        expected << QStringLiteral("SETUP.CFG");
        QCOMPARE(readFile(dest.path() + QStringLiteral("/SETUP.CFG")),
                 readFile(rig.peer.cardRoot() + QStringLiteral("/SETUP.CFG")));
    }
    QCOMPARE(filesIn(dest.path()), expected);
}

void TestFaults::grownEmptyFileNeverLandsInTheNext()
{
    // EMPTY.TXT is listed with 0 bytes and has 47 when asked for: as many as SETUP.CFG.
    qx2sim::SimOptions o;
    o.growPattern = QStringLiteral("empty.txt");
    o.growBytes = 47;
    SessionRig rig;
    QVERIFY(rig.start(o));
    QVERIFY(rig.list());
    QTemporaryDir dest;
    QVERIFY(!rig.runJob([&] {
        return rig.session.startDownload(
            {rig.line(QStringLiteral("EMPTY.TXT")), rig.line(QStringLiteral("SETUP.CFG"))},
            dest.path());
    }));
    QVERIFY(waitIdle(&rig.session, 1000));
    QCOMPARE(rig.log.count(QStringLiteral("EMPTY.TXT: the instrument sent more than the 0 bytes")),
             1);
    QCOMPARE(filesIn(dest.path()), QStringList{QStringLiteral("SETUP.CFG")});
    QCOMPARE(readFile(dest.path() + QStringLiteral("/SETUP.CFG")),
             readFile(rig.peer.cardRoot() + QStringLiteral("/SETUP.CFG")));
}

void TestFaults::uploadTakesOnlyRegularFiles()
{
    QTemporaryDir local;
    const QString fifo = local.path() + QStringLiteral("/pipe");
    QVERIFY(::mkfifo(QFile::encodeName(fifo).constData(), 0600) == 0);
    const QString plain = local.path() + QStringLiteral("/plain.bin");
    const QByteArray bytes = randomBytes(5000, 51);
    QVERIFY(writeFile(plain, bytes));
    SessionRig rig;
    QVERIFY(rig.start());
    QElapsedTimer t;
    t.start();
    QVERIFY(!rig.runJob(
        [&] {
            return rig.session.startUpload(
                {QUrl::fromLocalFile(QStringLiteral("/dev/zero")), QUrl::fromLocalFile(fifo),
                 QUrl::fromLocalFile(local.path()), QUrl::fromLocalFile(plain)},
                {QStringLiteral("ZERO"), QStringLiteral("PIPE"), QStringLiteral("DIR"),
                 QStringLiteral("PLAIN.BIN")});
        },
        10000));
    QVERIFY(t.elapsed() < 5000);
    QCOMPARE(rig.log.count(QStringLiteral("Not uploaded: /dev/zero is a character device")), 1);
    QCOMPARE(rig.log.count(QStringLiteral("Not uploaded: ") + fifo + QStringLiteral(" is a FIFO")),
             1);
    QCOMPARE(rig.log.count(QStringLiteral("Not uploaded: ") + local.path() +
                           QStringLiteral(" is a folder")),
             1);
    QTRY_COMPARE(readFile(rig.peer.cardRoot() + QStringLiteral("/PLAIN.BIN")), bytes);
    QVERIFY(!rig.peer.received().contains("rZERO"));
    QVERIFY(!rig.peer.received().contains("rPIPE"));
}

void TestFaults::uploadOfAFileThatChangesSize_data()
{
    QTest::addColumn<int>("newSize");
    QTest::newRow("grows") << 300000;
    QTest::newRow("shrinks") << 150000;
}

void TestFaults::uploadOfAFileThatChangesSize()
{
    QFETCH(int, newSize);
    QTemporaryDir local;
    const QString path = local.path() + QStringLiteral("/log.bin");
    const QString after = local.path() + QStringLiteral("/after.bin");
    QVERIFY(writeFile(path, randomBytes(250000, 61)));
    QVERIFY(writeFile(after, "after"));
    SessionRig rig;
    QVERIFY(rig.start());
    // Once the first chunk is out, the file changes under the upload.
    bool changed = false;
    QObject::connect(&rig.session, &LinkSession::transferFileCompleted, [&](qint64 done) {
        if (changed || done <= 0)
            return;
        changed = true;
        QFile f(path);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.resize(newSize));
    });
    QVERIFY(!rig.runJob([&] {
        return rig.session.startUpload({QUrl::fromLocalFile(path), QUrl::fromLocalFile(after)},
                                       {QStringLiteral("LOG.BIN"), QStringLiteral("AFTER.BIN")});
    }));
    QVERIFY(changed);
    QCOMPARE(rig.log.count(path +
                           QStringLiteral(" changed size while it was sent (250000 bytes "
                                          "announced, ") +
                           QString::number(newSize)),
             1);
    QVERIFY(!rig.peer.received().contains("rAFTER.BIN"));
    // The instrument gives the cut upload up; the card holds no part of it.
    QVERIFY(rig.peer.engine->waitUntil(
        [](const qx2sim::MemoryModel& m) {
            return !m.cardFiles.isEmpty() &&
                   m.cardFiles.last().kind == qx2sim::CardFileRecord::UploadDiscarded;
        },
        5000));
    QVERIFY(!rig.storedOnCard(QStringLiteral("LOG.BIN")));
}

QTEST_GUILESS_MAIN(TestFaults)
#include "tst_faults.moc"
