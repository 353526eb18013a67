// Pure pieces of the simulator: CRC, listing columns, log records, switches,
// record parsing, line settings read from a real pty.
#include "CardTree.h"
#include "Crc32.h"
#include "HexRecords.h"
#include "Instrument.h"
#include "SimHost.h"
#include "SimLog.h"
#include "SimOptions.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

using namespace qx2sim;

namespace
{

// Bit by bit, straight from the polynomial: the reference for the table.
quint32 bitwiseCrc(const QByteArray& data, quint32 crc)
{
    for (char ch : data) {
        crc ^= static_cast<unsigned char>(ch);
        for (int i = 0; i < 8; ++i)
            crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
    }
    return crc;
}

quint32 crcOf(const QByteArray& a, quint32 start = 0)
{
    return Crc32Update(a.constData(), std::size_t(a.size()), start);
}

} // namespace

TEST(SimCrc, CheckValueWithoutFinalInversion)
{
    EXPECT_EQ(crcOf("123456789"), 0x2DFD2D88u);
}

TEST(SimCrc, Vectors)
{
    struct Row {
        const char* name;
        QByteArray data;
    };
    QByteArray ramp(70000, '\0');
    for (int i = 0; i < ramp.size(); ++i)
        ramp[i] = char(i * 7 + (i >> 8));
    const Row rows[] = {
        {"empty", QByteArray()},
        {"one letter A", QByteArray("A")},
        {"digits", QByteArray("123456789")},
        {"run of 0xFF", QByteArray(5000, char(0xFF))},
        {"long ramp", ramp},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(crcOf(r.data), bitwiseCrc(r.data, 0));
    }
    EXPECT_EQ(crcOf(QByteArray()), 0u);
    // Chaining through the register equals one pass.
    EXPECT_EQ(crcOf(ramp.mid(1000), crcOf(ramp.left(1000))), crcOf(ramp));
}

TEST(SimListing, LineColumnsParseBack)
{
    struct Row {
        const char* name;
        ListingEntry entry;
        const char* expected;
    };
    auto t = [](int y, int mo, int d, int h, int mi) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
    };
    const Row rows[] = {
        {"file with separators",
         {"DATA001.DAT", false, 12345, t(2020, 2, 29, 0, 5)},
         "DATA001.DAT           12,345 02-29-20 12:05a"},
        {"small file pm",
         {"SETUP.CFG", false, 47, t(2018, 12, 31, 23, 59)},
         "SETUP.CFG                 47 12-31-18 11:59p"},
        {"noon",
         {"A.TXT", false, 0, t(2020, 7, 4, 12, 0)},
         "A.TXT                      0 07-04-20 12:00p"},
        {"directory",
         {"DATA", true, 0, t(2021, 11, 1, 8, 0)},
         "DATA           <DIR>         11-01-21  8:00a"},
        {"dot",
         {".", true, 0, t(2021, 11, 1, 15, 45)},
         ".              <DIR>         11-01-21  3:45p"},
        {"millions",
         {"BIG.BIN", false, 123456789, t(2019, 1, 5, 1, 2)},
         "BIG.BIN          123,456,789 01-05-19  1:02a"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const QString line = formatListingLine(r.entry);
        EXPECT_EQ(line, QString::fromLatin1(r.expected));
        // Read back the way the client does.
        EXPECT_EQ(line.left(line.indexOf(QLatin1Char(' '))), r.entry.name);
        EXPECT_EQ(line.mid(15, 5) == QLatin1String("<DIR>"), r.entry.isDir);
        if (!r.entry.isDir) {
            QStringList f = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
            EXPECT_EQ(f[1].remove(QLatin1Char(',')).toLongLong(), r.entry.size);
        }
        const QString stamp =
            line.mid(29, 6) + QLatin1String("20") + line.mid(35, 9) + QLatin1String("m");
        const QDateTime back =
            QDateTime::fromString(stamp.simplified(), QStringLiteral("MM-dd-yyyy h:mmap"));
        ASSERT_TRUE(back.isValid()) << stamp.toStdString();
        EXPECT_EQ(back.date(), r.entry.stamp.date());
        EXPECT_EQ(back.time(), r.entry.stamp.time());
    }
}

TEST(SimListing, ListableNames)
{
    EXPECT_TRUE(isListableName(QStringLiteral("SETUP.CFG")));
    EXPECT_TRUE(
        isListableName(QStringLiteral("ABCDEFGHIJ.XYZ"))); // 14: still a blank before col 15
    EXPECT_FALSE(isListableName(QStringLiteral("ABCDEFGHIJK.XYZ")));
    EXPECT_FALSE(isListableName(QStringLiteral("MY NOTES.TXT")));
    EXPECT_FALSE(isPlainName(QStringLiteral("..")));
    EXPECT_FALSE(isPlainName(QStringLiteral("A/B")));
    EXPECT_FALSE(isPlainName(QStringLiteral("A\\B")));
    EXPECT_FALSE(isPlainName(QStringLiteral("C:X")));
    EXPECT_TRUE(isPlainName(QStringLiteral("NEW.TXT")));
}

TEST(SimListing, CardPathsStayInsideTheRoot)
{
    QTemporaryDir dir;
    ASSERT_TRUE(CardTree::createSample(dir.path(), false, nullptr));
    CardTree card(dir.path());
    QStringList out;
    ASSERT_TRUE(card.resolveDirectory(QStringLiteral("C:\\data\\old"), {}, &out));
    EXPECT_EQ(out, (QStringList{QStringLiteral("DATA"), QStringLiteral("OLD")}));
    ASSERT_TRUE(card.resolveDirectory(QStringLiteral("C:\\..\\..\\DATA"), {}, &out));
    EXPECT_EQ(out, QStringList{QStringLiteral("DATA")});
    EXPECT_FALSE(card.resolveDirectory(QStringLiteral("C:\\NOPE"), {}, &out));
    EXPECT_FALSE(card.resolveDirectory(QStringLiteral("D:\\DATA"), {}, &out));
    EXPECT_TRUE(card.findEntry({}, QStringLiteral("../etc"), false).isEmpty());
}

TEST(SimLog, RecordsRoundTrip)
{
    LogRecord rx;
    rx.seconds = 1.5;
    rx.kind = LogRecord::Rx;
    rx.settings = {115200, 8, 'N', 2};
    rx.bytes = QByteArray("\x00\x08LOAD \"x\"\\\r\n\xFF", 14);
    LogRecord ev;
    ev.seconds = 2.25;
    ev.kind = LogRecord::Event;
    ev.settings = {57600, 7, 'E', 1};
    ev.event = QStringLiteral("LOAD done crc=2DFD2D88");
    for (const LogRecord& r : {rx, ev}) {
        const QString line = formatLogRecord(r);
        LogRecord back;
        ASSERT_TRUE(parseLogLine(line, &back)) << line.toStdString();
        EXPECT_EQ(back.kind, r.kind);
        EXPECT_DOUBLE_EQ(back.seconds, r.seconds);
        EXPECT_EQ(back.settings, r.settings);
        EXPECT_EQ(back.bytes, r.bytes);
        EXPECT_EQ(back.event, r.event);
    }
    EXPECT_EQ(formatLogRecord(rx),
              QStringLiteral("1.500000 RX 115200 8N2 n=14 hex=00084C4F4144202278225C0D0AFF "
                             "text=\"\\x00\\bLOAD \\\"x\\\"\\\\\\r\\n\\xFF\""));
    LogRecord junk;
    EXPECT_FALSE(parseLogLine(QStringLiteral("# comment"), &junk));
    EXPECT_FALSE(parseLogLine(QStringLiteral("1.0 RX 9600 8N1 n=2 hex=00"), &junk));
}

TEST(SimOptions, Switches)
{
    struct Row {
        const char* name;
        QStringList args;
        bool ok;
    };
    const Row rows[] = {
        {"everything",
         {QStringLiteral("--link"), QStringLiteral("/tmp/x"), QStringLiteral("--skiffer"),
          QStringLiteral("--line-rate=19200"), QStringLiteral("--wrong-ack"),
          QStringLiteral("0x58"), QStringLiteral("--chunked-listing"), QStringLiteral("16:100"),
          QStringLiteral("--extra-amp"), QStringLiteral("2")},
         true},
        {"unknown", {QStringLiteral("--bogus")}, false},
        {"missing value", {QStringLiteral("--link")}, false},
        {"bad chunking", {QStringLiteral("--chunked-listing"), QStringLiteral("16")}, false},
        {"negative rate", {QStringLiteral("--line-rate"), QStringLiteral("-5")}, false},
        {"client's rate", {QStringLiteral("--line-rate"), QStringLiteral("client")}, true},
        {"rate as a word", {QStringLiteral("--line-rate"), QStringLiteral("fast")}, false},
        {"byte too big", {QStringLiteral("--wrong-ack"), QStringLiteral("256")}, false},
        {"flag with value", {QStringLiteral("--silent=1")}, false},
        {"upload text other than during/after", {QStringLiteral("--upload-text=soon")}, false},
        {"answer on CR 0", {QStringLiteral("--answer-on-cr"), QStringLiteral("0")}, false},
        {"wrong-ack block 0", {QStringLiteral("--wrong-ack-block=0")}, false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimOptions o;
        QString error;
        bool help = false;
        EXPECT_EQ(parseSimOptions(r.args, &o, &error, &help), r.ok) << error.toStdString();
        if (!r.ok) {
            EXPECT_FALSE(error.isEmpty());
        }
    }
    SimOptions o;
    QString error;
    bool help = false;
    ASSERT_TRUE(parseSimOptions(rows[0].args, &o, &error, &help));
    EXPECT_EQ(o.linkPath, QStringLiteral("/tmp/x"));
    EXPECT_TRUE(o.skiffer);
    EXPECT_EQ(o.lineRate, 19200);
    EXPECT_EQ(o.wrongAck, 0x58);
    EXPECT_EQ(o.chunkSize, 16);
    EXPECT_EQ(o.chunkGapMs, 100);
    EXPECT_EQ(o.extraAmp, 2);
    // Strict by default, at 9600, with no turnaround.
    EXPECT_FALSE(o.lenient);
    EXPECT_EQ(o.terminalBaud, 9600);
    EXPECT_EQ(o.turnaroundMs, 0);

    const QStringList more = {
        QStringLiteral("--baud=115200"),       QStringLiteral("--lenient"),
        QStringLiteral("--turnaround=16"),     QStringLiteral("--answer-on-cr=4"),
        QStringLiteral("--upload-text=after"), QStringLiteral("--upload-timeout=500"),
        QStringLiteral("--wrong-ack-block=3"), QStringLiteral("--vanish-after-bytes=10"),
        QStringLiteral("--come-back=200"),     QStringLiteral("--download-pause=50"),
    };
    ASSERT_TRUE(parseSimOptions(more, &o, &error, &help)) << error.toStdString();
    EXPECT_EQ(o.terminalBaud, 115200);
    EXPECT_TRUE(o.lenient);
    EXPECT_EQ(o.turnaroundMs, 16);
    EXPECT_EQ(o.answerOnCr, 4);
    EXPECT_EQ(o.uploadText, QStringLiteral("after"));
    EXPECT_EQ(o.timing.uploadIdleMs, 500);
    EXPECT_EQ(o.wrongAckBlock, 3);
    EXPECT_EQ(o.vanishAfterBytes, 10);
    EXPECT_EQ(o.comeBackMs, 200);
    EXPECT_EQ(o.downloadPauseMs, 50);
}

TEST(SimRecords, SRecordsAndIntelHex)
{
    HexRecord r;
    // The loader's tail record for 0x001000: count 04, address, checksum.
    ASSERT_TRUE(parseHexRecord("S204001000EB", &r));
    EXPECT_TRUE(r.checksumOk);
    EXPECT_EQ(r.type, 2);
    EXPECT_EQ(r.address, 0x001000u);
    EXPECT_TRUE(r.data.isEmpty());
    ASSERT_TRUE(parseHexRecord("S804000000FB", &r));
    EXPECT_TRUE(r.isEnd());
    EXPECT_TRUE(r.checksumOk);
    EXPECT_EQ(makeSRecord(1, 0x1234, "AB"), QByteArray("S1051234414231"));
    ASSERT_TRUE(parseHexRecord("S1051234414231", &r));
    EXPECT_TRUE(r.checksumOk);
    EXPECT_EQ(r.data, QByteArray("AB"));
    ASSERT_TRUE(parseHexRecord("S1051234414232", &r));
    EXPECT_FALSE(r.checksumOk);
    ASSERT_TRUE(parseHexRecord(":0300300002337A1E", &r));
    EXPECT_TRUE(r.checksumOk);
    EXPECT_EQ(r.address, 0x0030u);
    EXPECT_EQ(r.data, QByteArray("\x02\x33\x7A", 3));
    ASSERT_TRUE(parseHexRecord(":00000001FF", &r));
    EXPECT_TRUE(r.isEnd());
    EXPECT_FALSE(parseHexRecord("hello", &r));
    EXPECT_FALSE(parseHexRecord("S1FF", &r));
}

TEST(SimLineSettings, ReadFromTheSlaveAsTheClientSetIt)
{
    QTemporaryDir dir;
    SimOptions o = simtest::fastOptions();
    o.linkPath = dir.path() + QStringLiteral("/link");
    o.silent = true;
    SimEngine engine(o);
    QString error;
    ASSERT_TRUE(engine.start(&error)) << error.toStdString();
    simtest::HostPort host;
    ASSERT_TRUE(host.open(o.linkPath));
    struct Row {
        const char* name;
        int baud, bits;
        char parity;
        int stop;
        const char* text;
    };
    const Row rows[] = {
        {"load format", 115200, 8, 'N', 2, "115200 8N2"},
        {"hex rate", 57600, 8, 'N', 1, "57600 8N1"},
        {"terminal rate", 9600, 8, 'N', 1, "9600 8N1"},
        {"non-standard rate", 250000, 8, 'N', 1, "250000 8N1"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        ASSERT_TRUE(host.setLine(r.baud, r.bits, r.parity, r.stop));
        const LineSettings s = engine.lineSettings();
        EXPECT_EQ(s.toString(), QString::fromLatin1(r.text));
        LineSettings back;
        ASSERT_TRUE(LineSettings::fromString(s.toString(), &back));
        EXPECT_EQ(back, s);
    }
    // Data bits and parity are not asked of the pty: recent Linux kernels force
    // CS8 and clear PARENB on a pty whatever the client sets.
    EXPECT_EQ((LineSettings{115200, 8, 'N', 2}).bitsPerByte(), 11);
    EXPECT_EQ((LineSettings{115200, 8, 'N', 1}).bitsPerByte(), 10);
    EXPECT_EQ((LineSettings{115200, 8, 'E', 1}).bitsPerByte(), 11);
}

namespace
{

// The instrument without a pty: output and events are only counted.
class CountingIo : public InstrumentIo
{
public:
    // Everything is on the line at once, so no handshake is ever early.
    void send(const QByteArray& bytes, int, qint64) override { sent += bytes.size(); }
    void discardPendingOutput() override {}
    qint64 queuedTotal() const override { return sent; }
    qint64 sentTotal() const override { return sent; }
    LineSettings lineSettings() override { return {9600, 8, 'N', 1}; }
    void event(const QString&) override { ++events; }
    qint64 sent = 0;
    int events = 0;
};

} // namespace

TEST(SimRobustness, AnyBytesInEveryModeStayInsideTheCard)
{
    QTemporaryDir outer;
    const QString root = outer.path() + QStringLiteral("/card");
    ASSERT_TRUE(QDir().mkpath(root));
    ASSERT_TRUE(CardTree::createSample(root, false, nullptr));
    struct Row {
        const char* name;
        QByteArray lead; // puts the instrument into the mode
        bool skiffer;
    };
    const Row rows[] = {
        {"console", QByteArray(), false},
        {"monitor", "mon\r", false},
        {"inside a load", "LOAD 0001C200 00010000 00002000\r+", false},
        {"inside a download", "mon\rlo ;B3+\r", false},
        {"link server", QByteArray(), true},
        {"inside an upload", "rX.TXT\t100000\n", true},
    };
    // Bytes that mean something somewhere, so the random text reaches the commands.
    const QByteArray alphabet =
        QByteArray("cdstraGLOADlo;%+=-&\t\r\n\x03\x08\\/.:0123456789CAPTURE ") +
        QByteArray("\x00\xFF\x7F", 3);
    quint32 seed = 12345;
    auto next = [&seed]() {
        seed = seed * 1103515245u + 12345u;
        return seed >> 8;
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimOptions o;
        o.skiffer = r.skiffer;
        o.timing.loadIdleMs = 50;
        o.timing.uploadIdleMs = 50;
        CardTree card(root);
        CountingIo io;
        Instrument instrument(o, &card, &io);
        qint64 now = 0;
        instrument.start(now);
        instrument.receive(r.lead, now);
        for (int round = 0; round < 400; ++round) {
            QByteArray chunk(int(next() % 300), '\0');
            for (char& c : chunk)
                c = (next() % 4) ? alphabet[int(next() % uint(alphabet.size()))] : char(next());
            now += next() % 40;
            instrument.receive(chunk, now);
            instrument.tick(now);
        }
        now += 10000;
        instrument.tick(now);
        EXPECT_GT(io.sent, 0);
    }
    // Nothing was written beside the card.
    EXPECT_EQ(QDir(outer.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
              QStringList{QStringLiteral("card")});
}
