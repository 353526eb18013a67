// Downloads and uploads through the link session against qx2sim: byte-exact
// files of the sizes around the chunk and count boundaries, several per job,
// time stamps from the listing, cancel and stalls, hostile card names and
// unreadable dates from qx2sim's listings, local
// failures, and the window's road through the file choices and the 8.3 dialog.
#include "CardTree.h"
#include "DialogFileRename.h"
#include "LinkSession.h"
#include "LinkTestSupport.h"
#include "ListingLine.h"
#include "MainWindow.h"
#include "ProgressDialog.h"
#include "TransferChoices.h"
#include "ui_DialogFileRename.h"
#include "ui_MainWindow.h"
#include "ui_ProgressDialog.h"

#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QListWidget>
#include <QPushButton>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QtTest>

using namespace linktest;

namespace
{
QByteArray randomBytes(qint64 n, quint32 seed)
{
    QRandomGenerator gen(seed);
    QByteArray out(int(n), Qt::Uninitialized);
    for (int i = 0; i < out.size(); ++i)
        out[i] = char(gen.generate() & 0xFF);
    return out;
}

bool writeFile(const QString& path, const QByteArray& bytes, const QDateTime& mtime = {})
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly) || f.write(bytes) != bytes.size())
        return false;
    // Written out first, or the close would set the time again.
    if (!f.flush())
        return false;
    if (mtime.isValid())
        f.setFileTime(mtime, QFileDevice::FileModificationTime);
    return true;
}

QByteArray readFile(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

struct CardFile {
    QString name;
    qint64 size;
    QDateTime time; // UTC, whole minutes
};

// The sizes around the 100000-byte chunk and a few MB, each with its own time.
QList<CardFile> boundaryFiles()
{
    const auto utc = [](int y, int mo, int d, int h, int mi) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
    };
    return {{QStringLiteral("S0.BIN"), 0, utc(2021, 3, 1, 9, 7)},
            {QStringLiteral("S1.BIN"), 1, utc(2020, 2, 29, 0, 5)},
            {QStringLiteral("S99999.BIN"), 99999, utc(2019, 12, 31, 23, 59)},
            {QStringLiteral("S100000.BIN"), 100000, utc(2022, 7, 4, 12, 0)},
            {QStringLiteral("S100001.BIN"), 100001, utc(2018, 1, 1, 0, 0)},
            {QStringLiteral("S250000.BIN"), 250000, utc(2023, 10, 11, 8, 30)},
            {QStringLiteral("S3M.BIN"), 3 * 1000 * 1000 + 17, utc(2024, 5, 13, 19, 50)}};
}

class FakeChoices : public TransferChoices
{
public:
    QString destination;
    QList<QUrl> files;
    QString startSeen;
    std::function<int(DialogFileRename&)> review = [](DialogFileRename&) {
        return int(QDialog::Accepted);
    };
    int reviews = 0;
    QString destinationDirectory(QWidget*, const QString& start) override
    {
        startSeen = start;
        return destination;
    }
    QList<QUrl> filesToUpload(QWidget*, const QUrl&) override { return files; }
    int reviewShortNames(DialogFileRename& dialog) override
    {
        ++reviews;
        return review(dialog);
    }
};

int countOf(const QByteArray& bytes, char c)
{
    return int(std::count(bytes.begin(), bytes.end(), c));
}
} // namespace

class TestTransfer : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void downloadsAreByteExactWithListingTimes();
    void uploadsAreByteExactInChunks();
    void cancelDuringDownloadSendsOneAbort();
    void stallEndsTheJobWithTheAbortMessage();
    void cancelDuringUploadSendsNothingMore();
    void hostileNamesNeverLeaveTheDestination();
    void localWriteFailureStopsTheJob();
    void unparsableDateLeavesTheTimesAlone();
    void unreadableUploadIsSkippedNotAnnounced();
    void setTimeAtFixedClocks();
    void windowDownloadWithProgressAndCancel();
    void windowUploadWithShortNameDialog();
    void windowCancelButtonStopsTheDownload();

private:
    QTemporaryDir settingsDir;
};

void TestTransfer::initTestCase()
{
    isolateSettings(settingsDir);
}

void TestTransfer::downloadsAreByteExactWithListingTimes()
{
    QTemporaryDir card;
    QTemporaryDir dest;
    const QList<CardFile> files = boundaryFiles();
    QMap<QString, QByteArray> contents;
    quint32 seed = 1;
    for (const CardFile& f : files) {
        contents[f.name] = randomBytes(f.size, seed++);
        QVERIFY(writeFile(card.path() + QLatin1Char('/') + f.name, contents[f.name], f.time));
    }
    SessionRig rig;
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    QVERIFY(rig.startListed(o));
    QStringList lines;
    for (const CardFile& f : files)
        lines << rig.line(f.name);
    QVERIFY(!lines.contains(QString()));
    // A stale file of the same name is replaced.
    QVERIFY(writeFile(dest.path() + QStringLiteral("/S1.BIN"), "old contents"));

    QSignalSpy fileDone(&rig.session, &LinkSession::transferFileCompleted);
    QSignalSpy jobDone(&rig.session, &LinkSession::jobCompleted);
    QSignalSpy exits(&rig.session, &LinkSession::exitProgressDialog);
    QVERIFY(rig.runJob([&] { return rig.session.startDownload(lines, dest.path()); }));
    QCOMPARE(exits.count(), 1);
    QCOMPARE(rig.session.currentState(), LinkSession::Nothing);
    qint64 total = 0;
    for (const CardFile& f : files) {
        const QString path = dest.path() + QLatin1Char('/') + f.name;
        QVERIFY2(readFile(path) == contents[f.name], qPrintable(f.name));
        QCOMPARE(QFileInfo(path).lastModified().toUTC(), f.time);
        total += f.size;
    }
    QCOMPARE(jobDone.last().at(0).toLongLong(), total);
    QCOMPARE(fileDone.last().at(0).toLongLong(), files.last().size);
    // Nothing but the files: no temporary names left behind.
    QCOMPARE(QDir(dest.path()).entryList(QDir::Files | QDir::Hidden).size(), files.size());
    QByteArray requests;
    for (const CardFile& f : files)
        requests += "s" + f.name.toUtf8() + "\n";
    QCOMPARE(rig.peer.received(), QByteArray("cC:\\\nd") + requests);
}

void TestTransfer::uploadsAreByteExactInChunks()
{
    QTemporaryDir local;
    const QList<CardFile> files = boundaryFiles();
    QList<QUrl> urls;
    QStringList names;
    QMap<QString, QByteArray> contents;
    quint32 seed = 100;
    for (const CardFile& f : files) {
        const QString path = local.path() + QLatin1Char('/') + f.name.toLower();
        contents[f.name] = randomBytes(f.size, seed++);
        QVERIFY(writeFile(path, contents[f.name]));
        urls << QUrl::fromLocalFile(path);
        names << f.name;
    }
    SessionRig rig;
    QVERIFY(rig.startListed({}, {QStringLiteral("DATA")}));
    QList<QPair<qint64, qint64>> writes;
    connect(&rig.session, &LinkSession::wroteToPort, this, [&](qint64 n, qint64 queued) {
        if (rig.session.currentState() == LinkSession::Upload)
            writes.append({n, queued});
    });
    QSignalSpy listings(&rig.session, &LinkSession::listingReceived);
    QVERIFY(rig.runJob([&] { return rig.session.startUpload(urls, names); }, 60000));
    // The job ends with a listing of the folder, which shows the new files.
    QVERIFY(listings.wait(3000));
    const QStringList after = listings.last().at(0).toStringList();
    for (const CardFile& f : files) {
        QVERIFY2(readFile(rig.peer.cardRoot() + QStringLiteral("/DATA/") + f.name) ==
                     contents[f.name],
                 qPrintable(f.name));
        bool listed = false;
        for (const QString& e : after) {
            listing::Fields fields;
            listed = listed || (listing::readFields(e, &fields) && fields.name == f.name &&
                                fields.size == f.size);
        }
        QVERIFY2(listed, qPrintable(f.name));
    }
    // The 250000-byte file: its request, then 100000, 100000 and 50000, each handed to the
    // port only when everything before it had been written.
    const QByteArray request = "rS250000.BIN\t250000\n";
    int at = -1;
    for (int i = 0; i < writes.size(); ++i) {
        if (writes.at(i).first == request.size() && i + 3 < writes.size() &&
            writes.at(i + 1).first == 100000 && writes.at(i + 3).first == 50000)
            at = i;
    }
    QVERIFY(at >= 0);
    QCOMPARE(writes.at(at + 2).first, qint64(100000));
    for (const auto& w : writes)
        QCOMPARE(w.second, qint64(0));
    const QByteArray rx = rig.peer.received();
    QVERIFY(rx.contains(request + contents[QStringLiteral("S250000.BIN")] + "rS3M.BIN\t3000017\n"));
    QVERIFY(rx.contains("rS0.BIN\t0\nrS1.BIN\t1\n"));
    const qx2sim::MemoryModel m = rig.peer.engine->memory();
    int stored = 0;
    for (const qx2sim::CardFileRecord& r : m.cardFiles)
        stored += r.kind == qx2sim::CardFileRecord::Uploaded ? 1 : 0;
    QCOMPARE(stored, files.size());
}

void TestTransfer::cancelDuringDownloadSendsOneAbort()
{
    QTemporaryDir card;
    QTemporaryDir dest;
    QVERIFY(writeFile(card.path() + QStringLiteral("/BIG.BIN"), randomBytes(200000, 7)));
    QVERIFY(writeFile(card.path() + QStringLiteral("/NEXT.BIN"), randomBytes(10, 8)));
    SessionRig rig;
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    o.lineRate = 115200; // slow enough to cancel in the middle
    QVERIFY(rig.startListed(o));
    QSignalSpy progress(&rig.session, &LinkSession::transferFileCompleted);
    QSignalSpy finished(&rig.session, &LinkSession::jobFinished);
    QVERIFY(rig.session.startDownload(
        {rig.line(QStringLiteral("BIG.BIN")), rig.line(QStringLiteral("NEXT.BIN"))}, dest.path()));
    QTRY_VERIFY_WITH_TIMEOUT(progress.size() >= 3 && progress.last().at(0).toLongLong() > 2000,
                             5000);
    rig.session.handleCancel();
    QCOMPARE(rig.session.currentState(), LinkSession::Download);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY(waitIdle(&rig.session, 2000));
    QTest::qWait(300);
    const QByteArray rx = rig.peer.received();
    QVERIFY2(rx.endsWith("sBIG.BIN\na"), rx.right(40).constData());
    QCOMPARE(countOf(rx.mid(rx.indexOf("sBIG.BIN")), 'a'), 1);
    // The cut file never takes its name; the next file was never asked for.
    QCOMPARE(QDir(dest.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(!rx.contains("sNEXT.BIN"));
}

void TestTransfer::stallEndsTheJobWithTheAbortMessage()
{
    QTemporaryDir dest;
    SessionRig rig;
    qx2sim::SimOptions o;
    // Not a byte for the request: the link itself is in doubt. (A file that stops
    // part way is refused and the job goes on: see the fault tests.)
    o.stallDownloadAfter = 0;
    QVERIFY(rig.startListed(o));
    LogCollector log(&rig.session);
    QSignalSpy aborted(&rig.session, &LinkSession::jobAborted);
    QVERIFY(!rig.runJob([&] {
        return rig.session.startDownload(
            {rig.line(QStringLiteral("DATA001.DAT")), rig.line(QStringLiteral("README.TXT"))},
            dest.path());
    }));
    QCOMPARE(aborted.count(), 1);
    QCOMPARE(log.lines.last(), QStringLiteral("Aborting Upload / Download\nPlease disconnect the "
                                              "USB connection and restart HarbrookLink."));
    QCOMPARE(rig.session.currentState(), LinkSession::Nothing);
    QCOMPARE(QDir(dest.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QTRY_VERIFY(rig.peer.received().endsWith("sDATA001.DAT\na"));
    QTest::qWait(200);
    QVERIFY(rig.peer.received().endsWith("sDATA001.DAT\na"));
}

void TestTransfer::cancelDuringUploadSendsNothingMore()
{
    QTemporaryDir local;
    const QString path = local.path() + QStringLiteral("/big.bin");
    QVERIFY(writeFile(path, randomBytes(200000, 5)));
    SessionRig rig;
    qx2sim::SimOptions o;
    o.lineRate = 115200;
    QVERIFY(rig.startListed(o));
    QSignalSpy progress(&rig.session, &LinkSession::transferFileCompleted);
    QSignalSpy finished(&rig.session, &LinkSession::jobFinished);
    QVERIFY(rig.session.startUpload({QUrl::fromLocalFile(path), QUrl::fromLocalFile(path)},
                                    {QStringLiteral("BIG.BIN"), QStringLiteral("BIG2.BIN")}));
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toLongLong() > 5000,
                             5000);
    rig.session.handleCancel();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    // The instrument gives up the cut file; the second file was never announced.
    QVERIFY(rig.peer.engine->waitUntil(
        [](const qx2sim::MemoryModel& m) {
            for (const qx2sim::CardFileRecord& r : m.cardFiles) {
                if (r.kind == qx2sim::CardFileRecord::UploadDiscarded)
                    return true;
            }
            return false;
        },
        5000));
    QVERIFY(!QFileInfo::exists(rig.peer.cardRoot() + QStringLiteral("/BIG.BIN")));
    QVERIFY(!rig.peer.received().contains("rBIG2.BIN"));
}

void TestTransfer::hostileNamesNeverLeaveTheDestination()
{
    QTemporaryDir top;
    const QString dest = top.path() + QStringLiteral("/dest");
    // A subfolder, so that "SUB/EVIL.TXT" would have somewhere to go.
    QVERIFY(QDir().mkpath(dest + QStringLiteral("/SUB")));
    QVERIFY(writeFile(top.path() + QStringLiteral("/EVIL.TXT"), "keep me"));
    QVERIFY(writeFile(dest + QStringLiteral("/KEEP.TXT"), "keep me too"));
    const QByteArray tmpBefore = readFile(QStringLiteral("/tmp/EVIL.TXT"));
    SessionRig rig;
    qx2sim::SimOptions o;
    o.hostileNames = true;
    o.oddNames = true;
    QVERIFY(rig.startListed(o));
    LogCollector log(&rig.session);
    QStringList lines;
    for (const QString& name : qx2sim::hostileCardNames())
        lines << rig.line(name);
    QCOMPARE(lines.size(), 8);
    QVERIFY(!lines.contains(QString()));
    lines << rig.line(QStringLiteral("AUTOEXEC.BAT"));
    QVERIFY(!rig.runJob([&] { return rig.session.startDownload(lines, dest); }));
    QCOMPARE(log.count(QStringLiteral("Refused card file name")), 8);
    QCOMPARE(readFile(top.path() + QStringLiteral("/EVIL.TXT")), QByteArray("keep me"));
    QCOMPARE(readFile(dest + QStringLiteral("/KEEP.TXT")), QByteArray("keep me too"));
    QCOMPARE(readFile(dest + QStringLiteral("/AUTOEXEC.BAT")),
             readFile(rig.peer.cardRoot() + QStringLiteral("/AUTOEXEC.BAT")));
    QCOMPARE(QDir(dest).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("AUTOEXEC.BAT"), QStringLiteral("KEEP.TXT"),
                          QStringLiteral("SUB")}));
    QCOMPARE(QDir(dest + QStringLiteral("/SUB")).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
             QStringList());
    QCOMPARE(QDir(top.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             (QStringList{QStringLiteral("dest"), QStringLiteral("EVIL.TXT")}));
    QCOMPARE(readFile(QStringLiteral("/tmp/EVIL.TXT")), tmpBefore);
    // Only the good name was asked for.
    QCOMPARE(rig.peer.received(), QByteArray("cC:\\\nd"
                                             "sAUTOEXEC.BAT\n"));

    // A name that does not fit the columns is read whole from the right and asked
    // for as the listing gave it, never by its first word.
    QString notes;
    for (const QString& e : rig.entries) {
        if (e.startsWith(QLatin1String("MY NOTES.TXT ")))
            notes = e;
    }
    QVERIFY(!notes.isEmpty());
    QVERIFY(rig.runJob([&] { return rig.session.startDownload({notes}, dest); }));
    QCOMPARE(readFile(dest + QStringLiteral("/MY NOTES.TXT")),
             readFile(rig.peer.cardRoot() + QStringLiteral("/MY NOTES.TXT")));
    QVERIFY(!QFileInfo::exists(dest + QStringLiteral("/MY")));
    QVERIFY(rig.peer.received().endsWith("sMY NOTES.TXT\n"));
}

void TestTransfer::localWriteFailureStopsTheJob()
{
    QTemporaryDir dest;
    // A folder where the file should go: the file cannot take its name.
    QVERIFY(QDir().mkpath(dest.path() + QStringLiteral("/README.TXT/inside")));
    SessionRig rig;
    QVERIFY(rig.startListed());
    LogCollector log(&rig.session);
    QSignalSpy aborted(&rig.session, &LinkSession::jobAborted);
    QVERIFY(!rig.runJob([&] {
        return rig.session.startDownload(
            {rig.line(QStringLiteral("README.TXT")), rig.line(QStringLiteral("SETUP.CFG"))},
            dest.path());
    }));
    QCOMPARE(aborted.count(), 1);
    QVERIFY(log.count(QStringLiteral("Cannot write ") + dest.path() +
                      QStringLiteral("/README.TXT")) == 1);
    QVERIFY(!rig.peer.received().contains("sSETUP.CFG"));
    QCOMPARE(QDir(dest.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
    QVERIFY(waitIdle(&rig.session, 1000));

    // A destination that does not exist: nothing is asked for.
    const QByteArray before = rig.peer.received();
    QVERIFY(!rig.runJob([&] {
        return rig.session.startDownload({rig.line(QStringLiteral("SETUP.CFG"))},
                                         dest.path() + QStringLiteral("/absent"));
    }));
    QCOMPARE(rig.peer.received(), before);
}

void TestTransfer::unparsableDateLeavesTheTimesAlone()
{
    QTemporaryDir dest;
    SessionRig rig;
    qx2sim::SimOptions o;
    o.badDates = true;
    QVERIFY(rig.startListed(o));
    LogCollector log(&rig.session);
    const QString line = rig.line(QStringLiteral("AUTOEXEC.BAT"));
    QVERIFY2(line.contains(QLatin1String(" 13-45-19 ")), qPrintable(line));
    const QDateTime before = QDateTime::currentDateTimeUtc().addSecs(-2);
    QVERIFY(rig.runJob([&] { return rig.session.startDownload({line}, dest.path()); }));
    const QString path = dest.path() + QStringLiteral("/AUTOEXEC.BAT");
    QCOMPARE(readFile(path), readFile(rig.peer.cardRoot() + QStringLiteral("/AUTOEXEC.BAT")));
    QVERIFY(QFileInfo(path).lastModified() >= before);
    QCOMPARE(log.count(QStringLiteral("AUTOEXEC.BAT: the listing's date \"13-45-2019 3:45pm\" is "
                                      "not understood")),
             1);
}

void TestTransfer::unreadableUploadIsSkippedNotAnnounced()
{
    QTemporaryDir local;
    QVERIFY(writeFile(local.path() + QStringLiteral("/GOOD.TXT"), "good"));
    QVERIFY(QDir().mkpath(local.path() + QStringLiteral("/FOLDER.TXT")));
    SessionRig rig;
    QVERIFY(rig.startListed());
    LogCollector log(&rig.session);
    QVERIFY(!rig.runJob([&] {
        return rig.session.startUpload(
            {QUrl::fromLocalFile(local.path() + QStringLiteral("/ABSENT.TXT")),
             QUrl::fromLocalFile(local.path() + QStringLiteral("/FOLDER.TXT")),
             QUrl::fromLocalFile(local.path() + QStringLiteral("/GOOD.TXT"))},
            {QStringLiteral("ABSENT.TXT"), QStringLiteral("FOLDER.TXT"),
             QStringLiteral("GOOD.TXT")});
    }));
    QCOMPARE(log.count(QStringLiteral("Cannot read ")), 1);
    QCOMPARE(log.count(QStringLiteral("Not uploaded: ") + local.path() +
                       QStringLiteral("/FOLDER.TXT is a folder")),
             1);
    QTRY_VERIFY(rig.peer.received().contains("rGOOD.TXT\t4\ngood"));
    QVERIFY(!rig.peer.received().contains("rABSENT"));
    QVERIFY(!rig.peer.received().contains("rFOLDER"));
    QTRY_COMPARE(readFile(rig.peer.cardRoot() + QStringLiteral("/GOOD.TXT")), QByteArray("good"));
}

void TestTransfer::setTimeAtFixedClocks()
{
    struct Row {
        QTime at;
        QByteArray sent;
    };
    const QList<Row> rows = {{QTime(0, 0, 0), "tdate 03-15-2024 12:00:00 a\n"},
                             {QTime(0, 5, 9), "tdate 03-15-2024 12:05:09 a\n"},
                             {QTime(12, 0, 0), "tdate 03-15-2024 12:00:00 p\n"},
                             {QTime(23, 59, 59), "tdate 03-15-2024 11:59:59 p\n"}};
    SessionRig rig;
    QVERIFY(rig.startListed());
    for (const Row& row : rows) {
        const QDateTime t(QDate(2024, 3, 15), row.at, Qt::UTC);
        rig.session.setClock([t] { return t; });
        QSignalSpy replies(&rig.session, &LinkSession::setTimeReply);
        const QByteArray before = rig.peer.received();
        rig.session.sendSetTime();
        QVERIFY(replies.wait(3000));
        QCOMPARE(rig.peer.received().mid(before.size()), row.sent);
        QCOMPARE(rig.peer.engine->memory().clockSets.last().value, t);
        QVERIFY(waitIdle(&rig.session, 1000));
    }
}

void TestTransfer::windowDownloadWithProgressAndCancel()
{
    QTemporaryDir card;
    QTemporaryDir dest;
    QVERIFY(writeFile(card.path() + QStringLiteral("/A.BIN"), randomBytes(5000, 1)));
    QVERIFY(writeFile(card.path() + QStringLiteral("/B.BIN"), randomBytes(150000, 2)));
    Peer peer;
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    QVERIFY(peer.start(o));
    FakeChoices choices;
    choices.destination = dest.path(); // no trailing slash
    MainWindowOptions wo;
    wo.portSource = [] { return QList<PortEntry>(); };
    wo.extraPorts = QStringList{peer.link};
    wo.choices = &choices;
    MainWindow w(wo);
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    ui->lwFiles->selectAll();
    QVERIFY(ui->pbTransfer->isEnabled());
    QSignalSpy finished(w.link(), &LinkSession::jobFinished);
    QSignalSpy started(w.link(), &LinkSession::jobStarted);
    QTest::mouseClick(ui->pbTransfer, Qt::LeftButton);
    QCOMPARE(started.count(), 1);
    QCOMPARE(w.progressDialog()->windowTitle(), QStringLiteral("Download Files"));
    QVERIFY(w.progressDialog()->isVisible());
    QVERIFY(finished.wait(10000));
    QVERIFY(finished.first().at(0).toBool());
    QVERIFY(!w.progressDialog()->isVisible());
    QCOMPARE(readFile(dest.path() + QStringLiteral("/B.BIN")), randomBytes(150000, 2));
    QCOMPARE(QSettings().value(QStringLiteral("transfer/sourcePath")).toUrl(),
             QUrl::fromLocalFile(dest.path()));
    QCOMPARE(w.progressDialog()->form()->pbarTotal->value(), 100);
    QCOMPARE(w.progressDialog()->form()->lJobRate->text(), QStringLiteral("0.15 of 0.15 MB"));

    // Cancelled directory dialog: nothing sent, nothing queued.
    const QByteArray before = peer.received();
    choices.destination.clear();
    QTest::mouseClick(ui->pbTransfer, Qt::LeftButton);
    QCOMPARE(w.link()->currentState(), LinkSession::Nothing);
    QTest::qWait(100);
    QCOMPARE(peer.received(), before);
    QCOMPARE(choices.startSeen, dest.path());
}

void TestTransfer::windowUploadWithShortNameDialog()
{
    QTemporaryDir local;
    for (int i = 1; i <= 3; ++i)
        QVERIFY(writeFile(local.path() + QStringLiteral("/LongFileName%1.txt").arg(i),
                          QByteArray::number(i).repeated(10 * i)));
    QVERIFY(writeFile(local.path() + QStringLiteral("/readme.txt"), "hello"));
    Peer peer;
    QVERIFY(peer.start());
    FakeChoices choices;
    MainWindowOptions wo;
    wo.portSource = [] { return QList<PortEntry>(); };
    wo.extraPorts = QStringList{peer.link};
    wo.choices = &choices;
    MainWindow w(wo);
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));

    // Names already 8.3: no dialog.
    choices.files = {QUrl::fromLocalFile(local.path() + QStringLiteral("/readme.txt"))};
    QSignalSpy finished(w.link(), &LinkSession::jobFinished);
    QTest::mouseClick(ui->pbUpload, Qt::LeftButton);
    QVERIFY(finished.wait(5000));
    QCOMPARE(choices.reviews, 0);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    QCOMPARE(readFile(peer.cardRoot() + QStringLiteral("/README.TXT")), QByteArray("hello"));
    QCOMPARE(QSettings().value(QStringLiteral("transfer/sourcePath")).toUrl(),
             QUrl::fromLocalFile(QFileInfo(local.path()).canonicalFilePath()));

    // Long names: the dialog shows the counter's proposals; the third is retyped.
    choices.files.clear();
    for (int i = 1; i <= 3; ++i)
        choices.files << QUrl::fromLocalFile(local.path() +
                                             QStringLiteral("/LongFileName%1.txt").arg(i));
    QStringList proposed;
    choices.review = [&](DialogFileRename& d) {
        for (int row = 0; row < 3; ++row)
            proposed << d.form()->tableWidget->item(row, 1)->text();
        d.form()->tableWidget->item(2, 1)->setText(QStringLiteral("THIRD.TXT"));
        d.form()->buttonBox->button(QDialogButtonBox::Ok)->click();
        return d.result();
    };
    finished.clear();
    QTest::mouseClick(ui->pbUpload, Qt::LeftButton);
    QCOMPARE(proposed, (QStringList{QStringLiteral("LONGFILE.TXT"), QStringLiteral("LONGFIL0.TXT"),
                                    QStringLiteral("LONGFIL1.TXT")}));
    QVERIFY(finished.wait(5000));
    QVERIFY(finished.first().at(0).toBool());
    QTRY_COMPARE(readFile(peer.cardRoot() + QStringLiteral("/THIRD.TXT")),
                 QByteArray::number(3).repeated(30));
    QCOMPARE(readFile(peer.cardRoot() + QStringLiteral("/LONGFIL0.TXT")),
             QByteArray::number(2).repeated(20));
    QVERIFY(waitIdle(w.link(), 3000));

    // Cancelling the dialog sends nothing.
    const QByteArray before = peer.received();
    choices.review = [](DialogFileRename&) { return int(QDialog::Rejected); };
    QTest::mouseClick(ui->pbUpload, Qt::LeftButton);
    QTest::qWait(100);
    QCOMPARE(peer.received(), before);
    QCOMPARE(w.link()->currentState(), LinkSession::Nothing);
}

void TestTransfer::windowCancelButtonStopsTheDownload()
{
    QTemporaryDir card;
    QTemporaryDir dest;
    QVERIFY(writeFile(card.path() + QStringLiteral("/BIG.BIN"), randomBytes(200000, 3)));
    Peer peer;
    qx2sim::SimOptions o;
    o.cardDir = card.path();
    o.lineRate = 115200;
    QVERIFY(peer.start(o));
    FakeChoices choices;
    choices.destination = dest.path();
    MainWindowOptions wo;
    wo.portSource = [] { return QList<PortEntry>(); };
    wo.extraPorts = QStringList{peer.link};
    wo.choices = &choices;
    MainWindow w(wo);
    w.link()->setTiming(fastTiming());
    Ui::MainWindow* ui = w.form();
    QSignalSpy listings(w.link(), &LinkSession::listingReceived);
    QTest::mouseClick(ui->pbGetDir, Qt::LeftButton);
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(w.link(), 1000));
    ui->lwFiles->selectAll();
    QSignalSpy progress(w.link(), &LinkSession::transferFileCompleted);
    QSignalSpy finished(w.link(), &LinkSession::jobFinished);
    QTest::mouseClick(ui->pbTransfer, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last().at(0).toLongLong() > 3000,
                             5000);
    QTest::mouseClick(w.progressDialog()->form()->pbCancel, Qt::LeftButton);
    QVERIFY(finished.wait(5000));
    QCOMPARE(finished.first().at(0).toBool(), false);
    QVERIFY(!w.progressDialog()->isVisible());
    QTRY_VERIFY(peer.received().endsWith("sBIG.BIN\na"));
    QTest::qWait(300);
    QVERIFY(peer.received().endsWith("sBIG.BIN\na"));
    QCOMPARE(QDir(dest.path()).entryList(QDir::Files | QDir::Hidden), QStringList());
}

QTEST_MAIN(TestTransfer)
#include "tst_transfer.moc"
