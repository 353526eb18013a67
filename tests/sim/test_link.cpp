// The Skiffer link server, driven byte for byte by a host on the pty: change
// directory and listing (exact columns), tdate, s/a downloads, r uploads and
// their faults, and the paced line rate.
#include "CardTree.h"
#include "SimHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <termios.h>

using namespace qx2sim;
using simtest::SimRig;

namespace
{

QDateTime utc(int y, int mo, int d, int h, int mi)
{
    return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
}

void writeFile(const QString& path, const QByteArray& bytes, const QDateTime& stamp)
{
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
    f.close();
    ASSERT_TRUE(setModificationTime(path, stamp));
}

QByteArray bigBytes()
{
    QByteArray a(12345, '\0');
    for (int i = 0; i < a.size(); ++i)
        a[i] = char(i * 13 + 5);
    return a;
}

// A small card whose listing is known to the byte.
void makeCard(const QString& root)
{
    QDir().mkpath(root + QStringLiteral("/SUB"));
    writeFile(root + QStringLiteral("/A.TXT"), "hello", utc(2019, 1, 5, 15, 45));
    writeFile(root + QStringLiteral("/BIG.DAT"), bigBytes(), utc(2020, 2, 29, 0, 5));
    writeFile(root + QStringLiteral("/EMPTY.TXT"), QByteArray(), utc(2021, 3, 1, 9, 7));
    writeFile(root + QStringLiteral("/SUB/X.BIN"), "\x01", utc(2022, 7, 4, 12, 0));
    ASSERT_TRUE(setModificationTime(root + QStringLiteral("/SUB"), utc(2021, 11, 1, 8, 0)));
}

const QByteArray kRootListing = " Volume in drive C is QX2CARD\n"
                                " Directory of C:\\\n"
                                "\n"
                                "A.TXT                      5 01-05-19  3:45p\n"
                                "BIG.DAT               12,345 02-29-20 12:05a\n"
                                "EMPTY.TXT                  0 03-01-21  9:07a\n"
                                "SUB            <DIR>         11-01-21  8:00a\n"
                                "        3 File(s)         12,350 bytes\n"
                                "        1 Dir(s)     134,205,377 bytes free\n";

const QByteArray kSubListing = " Volume in drive C is QX2CARD\n"
                               " Directory of C:\\SUB\n"
                               "\n"
                               ".              <DIR>         11-01-21  8:00a\n"
                               "..             <DIR>         11-01-21  8:00a\n"
                               "X.BIN                      1 07-04-22 12:00p\n"
                               "        1 File(s)              1 bytes\n"
                               "        2 Dir(s)     134,205,377 bytes free\n";

struct LinkRig : SimRig {
    bool startLink(SimOptions o)
    {
        const QString card = dir.path() + QStringLiteral("/card");
        QDir().mkpath(card);
        makeCard(card);
        o.cardDir = card;
        o.skiffer = true;
        return start(o);
    }
    QByteArray list(const QByteArray& path)
    {
        host.write("c" + path + "\n");
        host.write("d");
        return host.readUntilQuiet(150, 3000);
    }
};

struct Entry {
    QString name;
    bool isDir;
    qint64 size;
    QString stamp;
};

// Reads a listing the way the link client does: by its columns.
QList<Entry> parseListing(const QByteArray& listing)
{
    QList<Entry> out;
    for (const QByteArray& raw : listing.split('\n')) {
        if (raw.isEmpty() || raw[0] == ' ' || raw[0] == '\r')
            continue;
        const QString line = QString::fromUtf8(raw);
        Entry e;
        e.name = line.left(line.indexOf(QLatin1Char(' ')));
        e.isDir = line.mid(15, 5) == QLatin1String("<DIR>");
        QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        e.size = e.isDir ? 0 : f.value(1).remove(QLatin1Char(',')).toLongLong();
        e.stamp = (line.mid(29, 6) + QLatin1String("20") + line.mid(35, 9) + QLatin1String("m"))
                      .simplified();
        out.append(e);
    }
    return out;
}

} // namespace

TEST(SimLink, ListingIsExactToTheByte)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    EXPECT_EQ(rig.list("C:\\"), kRootListing);
    EXPECT_EQ(rig.list("C:\\SUB"), kSubListing);
    // Names on the card are matched without regard to case.
    EXPECT_EQ(rig.list("C:\\sub"), kSubListing);
    EXPECT_EQ(rig.engine->currentDirectory(), QStringList{QStringLiteral("SUB")});
    // No such directory: only lines the client skips.
    const QByteArray none = rig.list("C:\\NOPE");
    EXPECT_TRUE(none.contains(" Directory of C:\\NOPE\n"));
    EXPECT_TRUE(parseListing(none).isEmpty());
}

TEST(SimLink, SampleCardListingReadsBackByColumns)
{
    SimRig rig;
    SimOptions o = simtest::fastOptions();
    o.skiffer = true;
    ASSERT_TRUE(rig.start(o));
    for (const QByteArray& path : {QByteArray("C:\\"), QByteArray("C:\\DATA"),
                                   QByteArray("C:\\DATA\\OLD"), QByteArray("C:\\PROGRAMS")}) {
        SCOPED_TRACE(path.constData());
        rig.host.write("c" + path + "\nd");
        const QList<Entry> entries = parseListing(rig.host.readUntilQuiet(150, 3000));
        QString hostDir =
            rig.engine->cardRoot() +
            QString::fromLatin1(path.mid(2)).replace(QLatin1Char('\\'), QLatin1Char('/'));
        const QFileInfoList want = QDir(hostDir).entryInfoList(
            QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
        const int dots = path == "C:\\" ? 0 : 2;
        ASSERT_EQ(entries.size(), want.size() + dots);
        if (dots) {
            EXPECT_EQ(entries[0].name, QStringLiteral("."));
            EXPECT_EQ(entries[1].name, QStringLiteral(".."));
            EXPECT_TRUE(entries[0].isDir && entries[1].isDir);
        }
        for (int i = 0; i < want.size(); ++i) {
            const Entry& e = entries[i + dots];
            EXPECT_EQ(e.name, want[i].fileName());
            EXPECT_EQ(e.isDir, want[i].isDir());
            if (!e.isDir) {
                EXPECT_EQ(e.size, want[i].size());
            }
            const QDateTime t = QDateTime::fromString(e.stamp, QStringLiteral("MM-dd-yyyy h:mmap"));
            ASSERT_TRUE(t.isValid()) << e.stamp.toStdString();
            const QDateTime m = want[i].lastModified().toUTC();
            EXPECT_EQ(t.date(), m.date());
            EXPECT_EQ(t.time().hour(), m.time().hour());
            EXPECT_EQ(t.time().minute(), m.time().minute());
        }
    }
}

TEST(SimLink, ListingFaults)
{
    {
        SCOPED_TRACE("--crlf-listing");
        SimOptions o = simtest::fastOptions();
        o.crlfListing = true;
        LinkRig rig;
        ASSERT_TRUE(rig.startLink(o));
        QByteArray want = kRootListing;
        want.replace("\n", "\r\n");
        EXPECT_EQ(rig.list("C:\\"), want);
    }
    {
        SCOPED_TRACE("--chunked-listing 64:60");
        SimOptions o = simtest::fastOptions();
        o.chunkSize = 64;
        o.chunkGapMs = 60;
        LinkRig rig;
        ASSERT_TRUE(rig.startLink(o));
        rig.host.write("cC:\\\nd");
        QByteArray all;
        QList<qint64> arrivals;
        const auto t0 = std::chrono::steady_clock::now();
        while (all.size() < kRootListing.size() && simtest::msSince(t0) < 3000) {
            const QByteArray piece = rig.host.readFor(20);
            if (piece.isEmpty())
                continue;
            EXPECT_LE(piece.size(), 64);
            arrivals.append(simtest::msSince(t0));
            all += piece;
        }
        EXPECT_EQ(all, kRootListing);
        const int pieces = (kRootListing.size() + 63) / 64;
        EXPECT_EQ(arrivals.size(), pieces);
        for (int i = 1; i < arrivals.size(); ++i)
            EXPECT_GE(arrivals[i] - arrivals[i - 1], 40) << "gap before piece " << i;
    }
    {
        SCOPED_TRACE("--odd-names");
        for (bool odd : {false, true}) {
            SimOptions o = simtest::fastOptions();
            o.oddNames = odd;
            o.skiffer = true;
            SimRig rig;
            ASSERT_TRUE(rig.start(o));
            rig.host.write("cC:\\\nd");
            const QByteArray listing = rig.host.readUntilQuiet(150, 3000);
            EXPECT_EQ(listing.contains("\nMY NOTES.TXT   "), odd);
            EXPECT_EQ(listing.contains("\nLONGFILENAME.TEXT "), odd);
        }
    }
}

TEST(SimLink, HostileNamesAndBadDatesInTheListing)
{
    const QByteArray hostile = "../EVIL.TXT                7 01-05-19  3:45p\n"
                               "..\\EVIL.TXT                7 01-05-19  3:45p\n"
                               "/tmp/EVIL.TXT              7 01-05-19  3:45p\n"
                               "C:\\EVIL.TXT                7 01-05-19  3:45p\n"
                               "\\EVIL.TXT                  7 01-05-19  3:45p\n"
                               "SUB/EVIL.TXT               7 01-05-19  3:45p\n"
                               ".                          7 01-05-19  3:45p\n"
                               "..                         7 01-05-19  3:45p\n";
    {
        SCOPED_TRACE("--hostile-names");
        SimOptions o = simtest::fastOptions();
        o.hostileNames = true;
        LinkRig rig;
        ASSERT_TRUE(rig.startLink(o));
        QByteArray expected = kRootListing;
        expected.insert(expected.indexOf("\n\n") + 2, hostile);
        EXPECT_EQ(rig.list("C:\\"), expected);
        // Every one of them is served; a real file still is.
        for (const QString& name : hostileCardNames()) {
            rig.host.write("s" + name.toUtf8() + "\n");
            EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), hostileFileBytes()) << qPrintable(name);
        }
        rig.host.write("sA.TXT\n");
        EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), QByteArray("hello"));
        // In a subfolder, after "." and ".." of the folder itself.
        QByteArray sub = kSubListing;
        sub.insert(sub.indexOf("\n\n") + 2, hostile);
        EXPECT_EQ(rig.list("C:\\SUB"), sub);
    }
    {
        SCOPED_TRACE("--bad-dates");
        SimOptions o = simtest::fastOptions();
        o.badDates = true;
        o.crlfListing = true;
        LinkRig rig;
        ASSERT_TRUE(rig.startLink(o));
        QByteArray expected = kRootListing;
        expected.replace("01-05-19", "13-45-19")
            .replace("02-29-20", "13-45-20")
            .replace("03-01-21", "13-45-21")
            .replace("\n", "\r\n");
        // The directory keeps its date.
        EXPECT_TRUE(expected.contains("SUB            <DIR>         11-01-21  8:00a\r\n"));
        EXPECT_EQ(rig.list("C:\\"), expected);
        rig.host.write("sA.TXT\n");
        EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), QByteArray("hello"));
    }
}

TEST(SimLink, TdateSetsTheClockAndAnswers)
{
    struct Row {
        const char* name;
        QByteArray sent;
        QDateTime value;
    };
    const Row rows[] = {
        {"evening", "05-13-2019 07:50:37 p",
         QDateTime(QDate(2019, 5, 13), QTime(19, 50, 37), Qt::UTC)},
        {"after midnight", "01-01-2020 12:05:09 a",
         QDateTime(QDate(2020, 1, 1), QTime(0, 5, 9), Qt::UTC)},
        {"noon", "06-30-2021 12:00:00 p", QDateTime(QDate(2021, 6, 30), QTime(12, 0, 0), Qt::UTC)},
    };
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto t = std::chrono::steady_clock::now();
        rig.host.write("tdate " + r.sent + "\n");
        const QByteArray reply = rig.host.readUntilQuiet(100, 1000);
        EXPECT_LT(simtest::msSince(t), 600);
        EXPECT_TRUE(reply.startsWith("\r\nClock was ")) << reply.constData();
        EXPECT_TRUE(reply.endsWith(
            "\r\nClock now " + r.value.toString(QStringLiteral("MM-dd-yyyy HH:mm:ss")).toLatin1() +
            "\r\n"))
            << reply.constData();
        EXPECT_EQ(rig.engine->memory().clockSets.last().value, r.value);
        EXPECT_LE(qAbs(rig.engine->clock().secsTo(r.value)), 2);
    }
    rig.host.write("tdate yesterday\n");
    EXPECT_TRUE(rig.host.readUntilQuiet(100, 1000).contains("Bad date"));
    EXPECT_EQ(rig.engine->memory().clockSets.size(), 3);
}

TEST(SimLink, SendGivesExactlyTheFileBytes)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    rig.host.write("cC:\\\n");
    rig.host.write("sBIG.DAT\n");
    EXPECT_EQ(rig.host.readUntilQuiet(100, 3000), bigBytes());
    rig.host.write("sa.txt\n");
    EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), QByteArray("hello"));
    // Nothing at all for a missing file, an empty file, or a directory.
    for (const char* name : {"sNOPE.TXT\n", "sEMPTY.TXT\n", "sSUB\n"}) {
        rig.host.write(name);
        EXPECT_EQ(rig.host.readFor(100), QByteArray()) << name;
    }
    rig.host.write("cC:\\SUB\nsX.BIN\n");
    EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), QByteArray("\x01"));
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.cardFiles.size(), 4);
    EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::Sent);
    EXPECT_EQ(m.cardFiles[0].cardPath, QStringLiteral("C:\\BIG.DAT"));
    EXPECT_EQ(m.cardFiles[0].size, 12345);
    EXPECT_EQ(m.cardFiles[3].cardPath, QStringLiteral("C:\\SUB\\X.BIN"));
}

TEST(SimLink, StalledDownloadSendsOnlyTheFirstBytes)
{
    SimOptions o = simtest::fastOptions();
    o.stallDownloadAfter = 100;
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(o));
    rig.host.write("sBIG.DAT\n");
    EXPECT_EQ(rig.host.readUntilQuiet(200, 2000), bigBytes().left(100));
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.cardFiles.size(), 1);
    EXPECT_EQ(m.cardFiles[0].size, 100);
    EXPECT_EQ(m.cardFiles[0].announced, 12345);
}

TEST(SimLink, AbortStopsASend)
{
    SimOptions o = simtest::fastOptions();
    o.lineRate = 9600; // about 13 s for the whole file, so there is time to abort
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(o));
    rig.host.write("sBIG.DAT\n");
    const QByteArray first = rig.host.readExactly(100, 2000);
    EXPECT_EQ(first, bigBytes().left(100));
    // As the client cancels: purge both directions, then "a".
    tcflush(rig.host.handle(), TCIOFLUSH);
    rig.host.write("a");
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    tcflush(rig.host.handle(), TCIFLUSH);
    EXPECT_EQ(rig.host.readFor(200), QByteArray());
    EXPECT_TRUE(rig.engine->outputIdle());
    // The server takes commands again at once.
    rig.host.write("sA.TXT\n");
    EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), QByteArray("hello"));
    const MemoryModel m = rig.engine->memory();
    ASSERT_GE(m.cardFiles.size(), 2);
    EXPECT_EQ(m.cardFiles[1].kind, CardFileRecord::SendAborted);
}

TEST(SimLink, ReceiveStoresExactlyTheAnnouncedBytes)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    rig.host.write("tdate 05-13-2019 07:50:37 p\n");
    rig.host.readUntilQuiet(100, 1000);
    ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 2));
    // Data that looks like commands stays data; the next command follows at once.
    const QByteArray data = QByteArray("d\nsA.TXT\na\x03\tr", 12);
    rig.host.write("rNEW.TXT\t12\n" + data + "cC:\\\nd");
    const QByteArray listing = rig.host.readUntilQuiet(150, 3000);
    EXPECT_EQ(simtest::fileBytes(rig.engine->cardRoot() + QStringLiteral("/NEW.TXT")), data);
    EXPECT_TRUE(listing.contains("\nNEW.TXT                   12 05-13-19  7:5"))
        << listing.constData();
    // An empty file, and a name that already exists in another case.
    rig.host.write("rZERO.TXT\t0\n");
    rig.host.write("ra.txt\t3\nxyz");
    rig.host.write("cC:\\SUB\nrY.BIN\t2\nYY");
    ASSERT_TRUE(
        rig.engine->waitUntil([](const MemoryModel& m) { return m.cardFiles.size() == 4; }, 1000));
    const QString root = rig.engine->cardRoot();
    EXPECT_TRUE(QFileInfo(root + QStringLiteral("/ZERO.TXT")).isFile());
    EXPECT_EQ(QFileInfo(root + QStringLiteral("/ZERO.TXT")).size(), 0);
    EXPECT_EQ(simtest::fileBytes(root + QStringLiteral("/A.TXT")), QByteArray("xyz"));
    EXPECT_FALSE(QDir(root).entryList().contains(QStringLiteral("a.txt")));
    EXPECT_EQ(simtest::fileBytes(root + QStringLiteral("/SUB/Y.BIN")), QByteArray("YY"));
    // As on the card, a folder keeps its date when a file is added to it.
    rig.host.write("d");
    EXPECT_TRUE(rig.host.readUntilQuiet(150, 2000).contains(
        "\n.              <DIR>         11-01-21  8:00a\n"));
    const MemoryModel m = rig.engine->memory();
    EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::Uploaded);
    EXPECT_EQ(m.cardFiles[0].cardPath, QStringLiteral("C:\\NEW.TXT"));
    EXPECT_EQ(m.cardFiles[0].size, 12);
    EXPECT_EQ(m.cardFiles[0].settings.toString(), QStringLiteral("115200 8N2"));
    EXPECT_EQ(m.cardFiles[3].cardPath, QStringLiteral("C:\\SUB\\Y.BIN"));
}

TEST(SimLink, CancelledUploadIsDiscardedAfterQuiet)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    const QString root = rig.engine->cardRoot();
    const QStringList before = QDir(root).entryList(QDir::AllEntries | QDir::Hidden);
    rig.host.write("rPART.TXT\t100\n" + QByteArray(40, 'p'));
    // Quiet for longer than the (shortened) give-up time.
    ASSERT_TRUE(
        rig.engine->waitUntil([](const MemoryModel& m) { return !m.cardFiles.isEmpty(); }, 1500));
    const MemoryModel m = rig.engine->memory();
    EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::UploadDiscarded);
    EXPECT_EQ(m.cardFiles[0].size, 40);
    EXPECT_EQ(m.cardFiles[0].announced, 100);
    EXPECT_EQ(QDir(root).entryList(QDir::AllEntries | QDir::Hidden), before);
    // Later commands are commands again.
    EXPECT_EQ(rig.list("C:\\"), kRootListing);
}

TEST(SimLink, BadUploadRequestsStoreNothing)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    const QString root = rig.engine->cardRoot();
    // A name that would leave the folder: the bytes are read and dropped.
    rig.host.write("r..\\EVIL.TXT\t5\n12345");
    rig.host.write("r../EVIL2.TXT\t5\n12345");
    // No TAB and length: ignored.
    rig.host.write("rNOTAB\n");
    EXPECT_EQ(rig.list("C:\\"), kRootListing);
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/../EVIL.TXT")));
    EXPECT_FALSE(QFile::exists(root + QStringLiteral("/../EVIL2.TXT")));
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.cardFiles.size(), 2);
    EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::UploadDiscarded);
    EXPECT_EQ(m.cardFiles[1].kind, CardFileRecord::UploadDiscarded);
}

TEST(SimLink, StartedAndStoppedFromTheConsole)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("SKIFFER\r");
    EXPECT_EQ(rig.host.readUntil("stops it\r\n", 1000),
              QByteArray("SKIFFER\r\n Skiffer link server running; Ctrl-C stops it\r\n"));
    EXPECT_EQ(rig.engine->mode(), SimMode::Skiffer);
    rig.host.write("cC:\\\nd");
    EXPECT_TRUE(rig.host.readUntilQuiet(150, 2000).contains("bytes free\n"));
    rig.host.write("\x03");
    EXPECT_EQ(rig.host.readUntil("C:\\>", 1000), QByteArray("^C\r\nC:\\>"));
    EXPECT_EQ(rig.engine->mode(), SimMode::Console);
}

TEST(SimLink, ClientMayCloseAndReopenTheLink)
{
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(simtest::fastOptions()));
    for (int i = 0; i < 3; ++i) {
        rig.host.close();
        ASSERT_TRUE(rig.host.open(rig.linkPath()));
        EXPECT_EQ(rig.list("C:\\"), kRootListing) << "round " << i;
    }
}

// Never faster than the line (5 % for the clock), and not much slower: a loaded machine
// only makes the far end later, so the upper bound leaves it more room.
static void expectLineTime(double ms, double want)
{
    EXPECT_GE(ms, want * 0.95);
    EXPECT_LE(ms, want * 1.25);
}

TEST(SimPacing, OutputAtTheLineRate)
{
    SimOptions o = simtest::fastOptions();
    o.lineRate = 19200;
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(o));
    const QString root = rig.engine->cardRoot();
    QByteArray data(2000, 'x');
    writeFile(root + QStringLiteral("/P.DAT"), data, utc(2020, 1, 1, 0, 0));
    ASSERT_TRUE(rig.host.setLine(19200, 8, 'N', 1));
    const auto t = std::chrono::steady_clock::now();
    rig.host.write("sP.DAT\n");
    EXPECT_EQ(rig.host.readExactly(2000, 3000), data);
    // 2,000 bytes of 10 bits plus the 7-byte request: 1,045.8 ms.
    const double want = (2000 + 7) * 10.0 / 19200 * 1000;
    expectLineTime(simtest::msSince(t), want);
}

TEST(SimPacing, InputAtTheLineRateWithTheClientsFormat)
{
    SimOptions o = simtest::fastOptions();
    o.lineRate = 19200;
    SimRig rig;
    ASSERT_TRUE(rig.start(o));
    // The data phase runs at the rate the LOAD line names: 19200.
    const QByteArray cmd = "LOAD 00004B00 00010000 000007D0\r";
    rig.host.write(cmd);
    EXPECT_EQ(rig.host.readUntil("+", 2000), cmd + "\n+");
    // 8N2: eleven bits per byte.
    ASSERT_TRUE(rig.host.setLine(19200, 8, 'N', 2));
    QByteArray data(2000, 'L');
    const auto t = std::chrono::steady_clock::now();
    rig.host.write("+");
    EXPECT_EQ(rig.host.readExactly(1, 2000), QByteArray("="));
    rig.host.write(QByteArray("\x04\x00", 2) + data.left(1024) + QByteArray(2, '\0'));
    EXPECT_EQ(rig.host.readExactly(1, 2000), QByteArray("="));
    rig.host.write(QByteArray("\x03\xD0", 2) + data.mid(1024) + QByteArray(4, '\0'));
    EXPECT_EQ(rig.host.readExactly(1, 2000), QByteArray("-"));
    // In: '+', 1,028 + 980 block bytes, 2 closing; out: '=', '=', '-'.
    const double want = (1 + 1028 + 980 + 2 + 3) * 11.0 / 19200 * 1000;
    expectLineTime(simtest::msSince(t), want);
    EXPECT_EQ(rig.engine->memory().loads.value(0).dataSettings.toString(),
              QStringLiteral("19200 8N2"));
}

TEST(SimPacing, AtTheClientsOwnRate)
{
    SimOptions o = simtest::fastOptions();
    o.lineRate = SimOptions::kClientRate;
    LinkRig rig;
    ASSERT_TRUE(rig.startLink(o));
    writeFile(rig.engine->cardRoot() + QStringLiteral("/P.DAT"), QByteArray(2000, 'y'),
              utc(2020, 1, 1, 0, 0));
    ASSERT_TRUE(rig.host.setLine(38400, 8, 'N', 1));
    const auto t = std::chrono::steady_clock::now();
    rig.host.write("sP.DAT\n");
    EXPECT_EQ(rig.host.readExactly(2000, 3000), QByteArray(2000, 'y'));
    const double want = (2000 + 7) * 10.0 / 38400 * 1000;
    expectLineTime(simtest::msSince(t), want);
}
