// The link session against qx2sim on a pty: the bytes of the listing request,
// how replies are framed by quiet time, busy refusals, silence, Set Time in the
// middle of a listing, and a far end that goes away.
#include "LinkSession.h"
#include "LinkTestSupport.h"
#include "ListingLine.h"
#include "RecordingFeedback.h"

#include <QElapsedTimer>
#include <QSignalSpy>
#include <QtTest>

using namespace linktest;

namespace
{
const QStringList kRootNames = {QStringLiteral("AUTOEXEC.BAT"), QStringLiteral("DATA"),
                                QStringLiteral("DATA001.DAT"),  QStringLiteral("DEMO.RUN"),
                                QStringLiteral("EMPTY.TXT"),    QStringLiteral("PROGRAMS"),
                                QStringLiteral("README.TXT"),   QStringLiteral("SETUP.CFG")};

QStringList namesOf(const QStringList& entries)
{
    QStringList out;
    for (const QString& e : entries)
        out << listing::firstField(e);
    return out;
}

QStringList lastEntries(const QSignalSpy& spy)
{
    return spy.isEmpty() ? QStringList() : spy.last().at(0).toStringList();
}
} // namespace

class TestSession : public QObject
{
    Q_OBJECT
private slots:
    void getRootDirectoryBytesAtAnyDepth();
    void listingInSmallChunksIsParsedOnce();
    void gapOfQuietTimeSplitsListing();
    void crlfLinesKeepTheirCr();
    void headerLinesAreNoEntries();
    void namesThatDoNotFitTheColumns();
    void busyRequestIsRefusedAndKeepsThePath();
    void silentPeerGivesUnableToConnect();
    void setTimeDuringListingLogsTheCollectedText();
    void setTimeSendsUtcAndLogsTheReplyAsOneLine();
    void farEndVanishingIsReportedOnceAndPortReopens();
    void failuresGoThroughTheFeedbackOnly();
};

void TestSession::getRootDirectoryBytesAtAnyDepth()
{
    SessionRig rig;
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    Peer& peer = rig.peer;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QSignalSpy succeeded(&s, &LinkSession::listingSucceeded);

    QVERIFY(s.performCD(QStringList()));
    QVERIFY(listings.wait(3000));
    QCOMPARE(namesOf(lastEntries(listings)), kRootNames);
    QCOMPARE(succeeded.last().at(0).toString(), s.portName());
    QVERIFY(waitIdle(&s, 1000));

    QVERIFY(s.performCD({QStringLiteral("DATA"), QStringLiteral("OLD")}));
    QVERIFY(listings.wait(3000));
    QCOMPARE(namesOf(lastEntries(listings)), (QStringList{QStringLiteral("."), QStringLiteral(".."),
                                                          QStringLiteral("ARCHIVE.DAT")}));
    QVERIFY(waitIdle(&s, 1000));

    // Get Root Directory from two levels down.
    QVERIFY(s.performCD(QStringList()));
    QVERIFY(listings.wait(3000));
    QCOMPARE(namesOf(lastEntries(listings)), kRootNames);
    QVERIFY(waitIdle(&s, 1000));
    QTRY_COMPARE(peer.received(), QByteArray("cC:\\\nd"
                                             "cC:\\DATA\\OLD\nd"
                                             "cC:\\\nd"));
}

void TestSession::listingInSmallChunksIsParsedOnce()
{
    qx2sim::SimOptions o;
    o.chunkSize = 40;
    o.chunkGapMs = 120; // well under the 600 ms that ends a reply
    SessionRig rig; // the program's waits: the quiet time is the point here
    QVERIFY(rig.start(o, LinkTiming()));
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(listings.wait(10000));
    QVERIFY(waitIdle(&s, 2000));
    QTest::qWait(300);
    QCOMPARE(listings.count(), 1);
    QCOMPARE(namesOf(lastEntries(listings)), kRootNames);
}

void TestSession::gapOfQuietTimeSplitsListing()
{
    qx2sim::SimOptions o;
    o.chunkSize = 150;
    o.chunkGapMs = 650;
    SessionRig rig;
    QVERIFY(rig.start(o, LinkTiming()));
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(listings.wait(3000));
    // The reply ended at the first gap; what came after it arrives while idle and is dropped.
    const QStringList entries = lastEntries(listings);
    QVERIFY(entries.size() < kRootNames.size());
    QTest::qWait(2500);
    QCOMPARE(listings.count(), 1);
    QCOMPARE(s.currentState(), LinkSession::Nothing);
}

void TestSession::crlfLinesKeepTheirCr()
{
    qx2sim::SimOptions o;
    o.crlfListing = true;
    SessionRig rig;
    QVERIFY(rig.start(o));
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(listings.wait(3000));
    const QStringList entries = lastEntries(listings);
    QCOMPARE(namesOf(entries), kRootNames);
    for (const QString& e : entries)
        QVERIFY2(e.endsWith(QLatin1Char('\r')), qPrintable(e));
    QVERIFY(listing::isDirectory(entries.at(1)));
}

void TestSession::headerLinesAreNoEntries()
{
    SessionRig rig;
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD({QStringLiteral("DATA")}));
    QVERIFY(listings.wait(3000));
    const QStringList entries = lastEntries(listings);
    const QStringList others = listings.last().at(1).toStringList();
    QCOMPARE(namesOf(entries),
             (QStringList{QStringLiteral("."), QStringLiteral(".."), QStringLiteral("LOG0001.TXT"),
                          QStringLiteral("LOG0002.TXT"), QStringLiteral("OLD")}));
    QVERIFY(others.size() >= 3);
    QVERIFY(others.first().contains(QLatin1String("Volume")));
}

void TestSession::namesThatDoNotFitTheColumns()
{
    qx2sim::SimOptions o;
    o.oddNames = true;
    SessionRig rig;
    QVERIFY(rig.start(o));
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(listings.wait(3000));
    const QStringList entries = lastEntries(listings);
    QString spaced;
    QString longName;
    for (const QString& e : entries) {
        if (e.startsWith(QLatin1String("MY NOTES")))
            spaced = e;
        if (e.startsWith(QLatin1String("LONGFILENAME")))
            longName = e;
    }
    QVERIFY2(!spaced.isEmpty() && !longName.isEmpty(), qPrintable(entries.join('\n')));
    // The entries are shown as they came; their names are whole only when read from the right,
    // which is how the download asks for them (see the transfer tests).
    QCOMPARE(listing::firstField(spaced), QStringLiteral("MY"));
    QVERIFY(!listing::fitsColumns(spaced));
    QVERIFY(!listing::fitsColumns(longName));
    listing::Fields f;
    QVERIFY(listing::readFields(spaced, &f));
    QCOMPARE(f.name, QStringLiteral("MY NOTES.TXT"));
    QVERIFY(listing::readFields(longName, &f));
    QCOMPARE(f.name, QStringLiteral("LONGFILENAME.TEXT"));
    for (const QString& e : entries) {
        if (e != spaced && e != longName)
            QVERIFY2(listing::fitsColumns(e), qPrintable(e));
    }
}

void TestSession::busyRequestIsRefusedAndKeepsThePath()
{
    SessionRig rig;
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    LogCollector& log = rig.log;
    Peer& peer = rig.peer;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(!s.performCD({QStringLiteral("DATA")}));
    QCOMPARE(log.lines.last(), QStringLiteral("Busy - Ignoring Directory Listing."));
    QCOMPARE(s.currentPath(), QStringList());
    QVERIFY(s.refuseDownloadIfBusy());
    QCOMPARE(log.lines.last(), QStringLiteral("Busy - Ignoring Download Request."));
    QVERIFY(s.refuseUploadIfBusy());
    QCOMPARE(log.lines.last(), QStringLiteral("Busy - Ignoring Upload Request"));
    QVERIFY(listings.wait(3000));
    QVERIFY(waitIdle(&s, 1000));
    QCOMPARE(peer.received(), QByteArray("cC:\\\nd"));
    QVERIFY(!s.refuseDownloadIfBusy());
}

void TestSession::silentPeerGivesUnableToConnect()
{
    qx2sim::SimOptions o;
    o.silent = true;
    SessionRig rig; // the program's 4000 ms
    QVERIFY(rig.start(o, LinkTiming()));
    LinkSession& s = rig.session;
    LogCollector& log = rig.log;
    QSignalSpy silent(&s, &LinkSession::noAnswer);
    QElapsedTimer t;
    t.start();
    QVERIFY(s.performCD());
    QVERIFY(silent.wait(6000));
    const qint64 ms = t.elapsed();
    QVERIFY2(ms >= 3950 && ms < 4800, qPrintable(QString::number(ms)));
    QCOMPARE(log.lines.last(),
             QStringLiteral("Error:  Unable to connect to Skiffer.\nPlease make sure Skiffer is "
                            "running and the correct port is\nselected.  Skiffer can take 60 "
                            "seconds to start."));
    QCOMPARE(s.currentState(), LinkSession::Nothing);
    QVERIFY(s.performCD()); // the next request goes out at once
}

void TestSession::setTimeDuringListingLogsTheCollectedText()
{
    SessionRig rig;
    rig.session.setClock([] { return QDateTime(QDate(2020, 1, 1), QTime(0, 5, 9), Qt::UTC); });
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QSignalSpy replies(&s, &LinkSession::setTimeReply);
    QVERIFY(s.performCD());
    s.sendSetTime(); // no busy check: the state becomes SetTime
    QCOMPARE(s.currentState(), LinkSession::SetTime);
    QVERIFY(replies.wait(3000));
    QCOMPARE(listings.count(), 0);
    const QString reply = replies.last().at(0).toString();
    QVERIFY2(reply.contains(QLatin1String("AUTOEXEC.BAT")) &&
                 reply.contains(QLatin1String("Clock now 01-01-2020 00:05:09")),
             qPrintable(reply));
    QVERIFY(!reply.contains(QLatin1Char('\n')) && !reply.contains(QLatin1String("  ")));
    QCOMPARE(s.currentState(), LinkSession::Nothing);
}

void TestSession::setTimeSendsUtcAndLogsTheReplyAsOneLine()
{
    SessionRig rig;
    rig.session.setClock([] { return QDateTime(QDate(2019, 5, 13), QTime(19, 50, 37), Qt::UTC); });
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    LogCollector& log = rig.log;
    Peer& peer = rig.peer;
    QSignalSpy replies(&s, &LinkSession::setTimeReply);
    s.sendSetTime();
    QCOMPARE(log.lines.first(),
             QStringLiteral("Updating Vantrel to UTC time: 05-13-2019 07:50:37 pm"));
    QVERIFY(replies.wait(3000));
    QCOMPARE(peer.received(), QByteArray("tdate 05-13-2019 07:50:37 p\n"));
    QCOMPARE(replies.last().at(0).toString(),
             QStringLiteral("Clock was %1 Clock now 05-13-2019 19:50:37")
                 .arg(replies.last().at(0).toString().mid(10, 19)));
    const qx2sim::MemoryModel m = peer.engine->memory();
    QCOMPARE(m.clockSets.size(), 1);
    QCOMPARE(m.clockSets.first().value, QDateTime(QDate(2019, 5, 13), QTime(19, 50, 37), Qt::UTC));
}

void TestSession::farEndVanishingIsReportedOnceAndPortReopens()
{
    SessionRig rig;
    QVERIFY(rig.start());
    LinkSession& s = rig.session;
    LogCollector& log = rig.log;
    Peer& peer = rig.peer;
    QSignalSpy open(&s, &LinkSession::portOpenChanged);

    peer.engine->stop(); // the far end goes away
    QTest::qWait(800);
    const QString ioError =
        QStringLiteral("An I/O error occurred while reading the data from port");
    QCOMPARE(log.count(ioError), 1);
    // Says what happened, not "Unknown error".
    QVERIFY2(log.lines.filter(QStringLiteral("error: the device went away")).size() == 1,
             qPrintable(log.lines.join(QLatin1Char('\n'))));
    QVERIFY(!s.isPortOpen());
    QVERIFY(!open.isEmpty());
    QCOMPARE(open.last().at(0).toBool(), false);
    QVERIFY(log.lines.size() < 5);

    // The instrument is back at the same path: picking the port opens it again.
    QVERIFY(peer.start());
    QVERIFY(s.reopenIfClosed());
    QCOMPARE(open.last().at(0).toBool(), true);
    QSignalSpy listings(&s, &LinkSession::listingReceived);
    QVERIFY(s.performCD());
    QVERIFY(listings.wait(3000));
    QCOMPARE(namesOf(lastEntries(listings)), kRootNames);
    QCOMPARE(log.count(ioError), 1);
}

// A failure reaches the user once, through the session's feedback; the event log
// keeps what is not a failure.
void TestSession::failuresGoThroughTheFeedbackOnly()
{
    QTemporaryDir dir;
    const QString missing = dir.path() + QStringLiteral("/no-such-tty");
    RecordingFeedback feedback;
    LinkSession s;
    s.setFeedback(feedback);
    LogCollector log(&s);
    QVERIFY(!s.selectPort(missing));
    QVERIFY(!s.startUpload({QUrl::fromLocalFile(dir.path())}, {QStringLiteral("A")}));
    QCOMPARE(feedback.messages.size(), 2);
    QVERIFY2(feedback.messages[0].text.startsWith(
                 QStringLiteral("Failed to open port %1, error: ").arg(missing)),
             qPrintable(feedback.messages[0].text));
    QCOMPARE(feedback.messages[1].text,
             QStringLiteral("Port %1 is not open: nothing was uploaded. Pick the port again or "
                            "press refresh.")
                 .arg(missing));
    for (const RecordingFeedback::Message& m : feedback.messages) {
        QCOMPARE(m.caption, QStringLiteral("HarbrookLink"));
        QCOMPARE(m.icon, MessageIcon::Warning);
    }
    QVERIFY(log.lines.isEmpty());
}

QTEST_GUILESS_MAIN(TestSession)
#include "tst_session.moc"
