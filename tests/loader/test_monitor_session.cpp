// The monitor conversations against a scripted line: every byte on the wire, the
// rate and format it went at, the messages of each failure, and the line put
// back after every exit. Also the pure pieces: CRC-32, the LOAD line, the CRC
// report line, the trailer and the S-record tail.
#include "Crc32.h"
#include "FakeMonitorLine.h"
#include "LoadImage.h"
#include "MonitorSession.h"
#include "TestSupport.h"

#include "BigEndian.h"

using namespace monitor;

namespace
{

constexpr uint32_t kTerminal = 9600;
constexpr uint32_t kDownload = 115200;

QByteArray pattern(int n, int seed = 0)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 7 + seed) & 0xFF);
    return b;
}

// The data phase as the host sends it: each block framed, then the zero length.
QByteArray blocksOnWire(const QByteArray& data)
{
    QByteArray out;
    for (int at = 0; at < data.size(); at += kBlockSize) {
        const QByteArray block = data.mid(at, kBlockSize);
        out += char(block.size() / 256);
        out += char(block.size() % 256);
        out += block;
        out += QByteArray(2, '\0');
    }
    return out + QByteArray(2, '\0');
}

struct MonitorStyle {
    QByteArray prompt = "\r\nQX2>";
    bool echo = false;
    bool equalsAfterLast = false;
    QByteArray afterMinus;
};

// A monitor that answers a correct host: prompt, '+', '=' per block, '-'.
QList<FakeMonitorLine::Step> goodMonitor(const QByteArray& data, uint32_t address,
                                         const MonitorStyle& style = {})
{
    const QByteArray command = loadCommand(kDownload, address, uint32_t(data.size()));
    QList<FakeMonitorLine::Step> s;
    s.append({"\r", style.prompt});
    s.append({command, (style.echo ? command + "\n" : QByteArray()) + "+"});
    const int blocks = (data.size() + kBlockSize - 1) / kBlockSize;
    QByteArray expect = "+";
    for (int b = 0; b < blocks; ++b) {
        s.append({expect, "="});
        const QByteArray block = data.mid(b * kBlockSize, kBlockSize);
        expect = QByteArray(1, char(block.size() / 256)) + char(block.size() % 256) + block +
                 QByteArray(2, '\0');
    }
    if (blocks > 0 && style.equalsAfterLast)
        s.append({expect, "="});
    else if (blocks > 0)
        s.append({expect, ""});
    s.append({QByteArray(2, '\0'), "-" + style.afterMinus});
    return s;
}

struct Rig {
    FakeMonitorLine line;
    RecordingFeedback feedback;
    QList<QByteArray> shown;
    QList<int> sleeps;
    MonitorSession session{line, feedback, MonitorSession::Rates{kTerminal, kDownload},
                           [this](const QByteArray& t) { shown.append(t); }};
    FakeLineState before;

    Rig()
    {
        line.state.baud = kTerminal;
        before = line.state;
        session.setSleepFunction([this](int ms) { sleeps.append(ms); });
    }
};

} // namespace

TEST(Crc32, CheckValues)
{
    const auto crcOf = [](const QByteArray& d) {
        return Crc32Update(reinterpret_cast<const uchar*>(d.constData()), d.size(), 0);
    };
    // The register run bit by bit, as the definition says.
    const auto bitwise = [](const QByteArray& d) {
        quint32 crc = 0;
        for (char ch : d) {
            crc ^= uchar(ch);
            for (int i = 0; i < 8; ++i)
                crc = (crc & 1) ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
        return crc;
    };
    EXPECT_EQ(crcOf(""), 0u);
    EXPECT_EQ(crcOf("123456789"), 0x2DFD2D88u);
    const struct {
        const char* name;
        QByteArray data;
    } cases[] = {{"A", "A"},
                 {"a long run of 0xFF", QByteArray(65536, char(0xFF))},
                 {"pattern", pattern(10000, 5)}};
    for (const auto& c : cases)
        EXPECT_EQ(crcOf(c.data), bitwise(c.data)) << c.name;
    // Running in pieces gives the same as running at once.
    const QByteArray data = pattern(5000);
    const auto* p = reinterpret_cast<const uchar*>(data.constData());
    EXPECT_EQ(Crc32Update(p + 1234, 5000 - 1234, Crc32Update(p, 1234, 0)), Crc32Update(p, 5000, 0));
}

TEST(MonitorText, LoadCommandReportLineAndProgressBound)
{
    EXPECT_EQ(loadCommand(115200, 0x10000, 0x801), QByteArray("LOAD 0001C200 00010000 00000801\r"));
    EXPECT_EQ(loadCommand(57600, 0xE40000, 0xABCDEF),
              QByteArray("LOAD 0000E100 00E40000 00ABCDEF\r"));
    EXPECT_EQ(crcReportLine(0x10000, 4, 0xDEADBEEF),
              QByteArray("\n###BK Load: CRC 010000 010003 = DEADBEEF\n"));
    EXPECT_EQ(crcReportLine(0xE40000, 0x10000, 0x1),
              QByteArray("\n###BK Load: CRC E40000 E4FFFF = 00000001\n"));

    const struct {
        qint64 size;
        int want;
    } bounds[] = {{0, 1},
                  {1023, 1},
                  {1024, 1},
                  {2047, 1},
                  {2048, 3},
                  {1 << 20, 1025},
                  {qint64(100) << 20, 102401}};
    for (const auto& b : bounds)
        EXPECT_EQ(progressUpperBound(b.size, 1024), b.want) << b.size;
}

TEST(LoadImage, SRecordTail)
{
    const QByteArray tail = loadimage::sRecordTail(0x001000, 0x001400);
    EXPECT_EQ(tail.size(), 39);
    // Checksums: ~(04+00+10+00) = EB, ~(04+00+14+00) = E7.
    EXPECT_EQ(tail, QByteArray("S204001000EB\rS204001400E7\rS804000000FB\r"));
    EXPECT_EQ(loadimage::sRecordTail(0x03FFFE, 0x0400FE),
              QByteArray("S20403FFFEFB\rS2040400FEF9\rS804000000FB\r"));
}

TEST(LoadImage, TrailerCases)
{
    using namespace loadimage;
    const struct {
        const char* name;
        quint32 address;
        int size;
        bool withTrailer; // the image already ends with one
        int wantSize;
        bool wantUnchanged;
    } cases[] = {
        {"on a boundary with the trailer: as read", 0xE40000, 0x10000, true, 0x10000, true},
        {"on a boundary without: a full 64 KiB more", 0xE40000, 0x10000, false, 0x20000, false},
        {"one byte below a boundary: 32 more", 0xE40000, 0xFFFF, false, 0xFFFF + 32, false},
        {"31 below: 32 more", 0xE50000, 0x10000 - 31, false, 0x10000 - 31 + 32, false},
        {"32 below: filled to the boundary", 0xE40000, 0x10000 - 32, false, 0x10000, false},
        {"short image: filled to the boundary", 0xE40000, 100, false, 0x10000, false},
        {"trailer text but not on a boundary: 32 more", 0xE40000, 0xFFF0, true, 0xFFF0 + 32, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray image = pattern(c.size, 3);
        if (c.withTrailer)
            image.replace(c.size - 32, 32, trailerBytes(0x12345678, quint32(c.size)));
        const QByteArray read = image;
        ASSERT_TRUE(needsTrailerCheck(c.address, quint64(c.address) + c.size));
        addTrailer(image, c.address);
        EXPECT_EQ(image.size(), c.wantSize);
        if (c.wantUnchanged) {
            EXPECT_EQ(image, read);
            continue;
        }
        EXPECT_EQ(image.left(c.size), read);
        const auto* t = reinterpret_cast<const uchar*>(image.constData()) + image.size() - 32;
        EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(t), 16),
                  QByteArray("AppBlockQX?\0USER", 16));
        EXPECT_EQ(getBe32(t + 16), 0xFFFFFFFFu);
        EXPECT_EQ(getBe32(t + 20), Crc32Update(reinterpret_cast<const uchar*>(image.constData()),
                                               image.size() - 32, 0));
        EXPECT_EQ(getBe32(t + 24), 0xFFFFFFFFu);
        EXPECT_EQ(getBe32(t + 28), quint32(image.size()));
        // Fill bytes between the old end and the trailer are 0xFF.
        for (int i = c.size; i < image.size() - 32; ++i)
            ASSERT_EQ(uchar(image[i]), 0xFF) << i;
    }
    EXPECT_FALSE(needsTrailerCheck(0xE41000, 0xE42000)) << "not on a 64 KiB boundary";
    EXPECT_FALSE(needsTrailerCheck(0xE30000, 0xE40000)) << "below the window";
    EXPECT_FALSE(needsTrailerCheck(0xEF0000, 0xEFFFE1)) << "ends beyond the window";
    EXPECT_TRUE(needsTrailerCheck(0xEF0000, 0xEFFFE0));
}

TEST(MonitorPrimitives, ReadByteIsSignedAndDrainKeepsTheLast)
{
    Rig r;
    r.line.inbound = QByteArray("\x41\x80\xFF", 3);
    EXPECT_EQ(r.session.ReadByte(), 0x41);
    EXPECT_EQ(r.session.ReadByte(), -128);
    EXPECT_EQ(r.session.ReadByte(), -1) << "0xFF reads as -1";
    EXPECT_EQ(r.session.ReadByte(), -1) << "nothing came";

    r.sleeps.clear();
    EXPECT_EQ(r.session.DrainInput(50), -1) << "silent line";
    EXPECT_EQ(r.sleeps, QList<int>{50}) << "one sleep, no wait for a first byte";
    r.line.inbound = "abc>";
    EXPECT_EQ(r.session.DrainInput(50), '>');
    EXPECT_EQ(r.line.inputCount(), 0);
}

TEST(MonitorPrimitives, AStalePromptIsNoAnswer)
{
    // A prompt left in the queue from before the wake-up; the monitor itself answers
    // only the third CR.
    Rig r;
    r.line.inbound = "C:\\>";
    r.line.script = {{"\r", "x"}, {"\r", "y"}, {"\r", "\r\nQX2>"}};
    EXPECT_TRUE(r.session.WaitMonitorPrompt());
    EXPECT_EQ(r.line.wire, QByteArray("\b.\r\r\r"));
}

TEST(MonitorPrimitives, DrainOfALineThatNeverGoesQuietEnds)
{
    Rig r;
    r.line.endlessInput = 'x'; // a program printing without end
    EXPECT_EQ(r.session.DrainInput(50), 'x');
    int slept = 0;
    for (int ms : r.sleeps)
        slept += ms;
    EXPECT_EQ(slept, MonitorTiming().drainLimitMs);
    // The wake-up gives up too, instead of hanging.
    r.sleeps.clear();
    EXPECT_FALSE(r.session.WaitMonitorPrompt());
}

TEST(MonitorPrimitives, WakeUpAttempts)
{
    // Which attempt the monitor answers, and with what.
    const struct {
        const char* name;
        int answeredAttempt; // 1..5, 0 = never
        QByteArray answer;
        bool want;
        QByteArray wantWire;
    } cases[] = {
        {"'>' at once", 1, "\r\nQX2>", true, "\b.\r"},
        {"\"> \" at once", 1, "\r\nQX2> ", true, "\b.\r"},
        {"second attempt", 2, "C:\\>", true, "\b.\r\r"},
        {"fourth attempt", 4, ">", true, "\b.\r\r\r.\r"},
        {"fifth attempt", 5, ">", true, "\b.\r\r\r.\r\x03\r"},
        {"never", 0, "", false, "\b.\r\r\r.\r\x03\r"},
        {"text without a prompt", 0, "", false, "\b.\r\r\r.\r\x03\r"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        for (int a = 1; a <= 5; ++a)
            r.line.script.append({"\r", a == c.answeredAttempt ? c.answer : QByteArray("x")});
        EXPECT_EQ(r.session.WaitMonitorPrompt(), c.want);
        EXPECT_EQ(r.line.wire, c.wantWire);
    }
}

TEST(MonitorLoad, WireForEachSizeAndMonitorStyle)
{
    MonitorStyle echo;
    echo.echo = true;
    MonitorStyle spacePrompt;
    spacePrompt.prompt = "\r\nQX2> ";
    MonitorStyle equalsAfterLast;
    equalsAfterLast.equalsAfterLast = true;
    MonitorStyle chatty;
    chatty.afterMinus = "\r\nLoaded.\r\nQX2> ";
    const struct {
        const char* name;
        int count;
        MonitorStyle style;
    } cases[] = {
        {"0 bytes: straight to the zero length", 0, {}},
        {"1 byte", 1, {}},
        {"exactly one block", 1024, {}},
        {"1025: a block of 1024 and one of 1", 1025, {}},
        {"three blocks", 2049, {}},
        {"monitor echoes the LOAD line", 3000, echo},
        {"prompt ends in \"> \"", 100, spacePrompt},
        {"'=' after the last block", 2048, equalsAfterLast},
        {"text after '-'", 10, chatty},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        const QByteArray data = pattern(c.count, c.count);
        r.line.script = goodMonitor(data, 0x10000, c.style);
        EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x10000).ok());
        EXPECT_TRUE(r.feedback.messages.isEmpty());
        // Command at the terminal rate, then the whole data phase at the download rate.
        EXPECT_EQ(r.line.writtenAt(kTerminal),
                  "\b.\r" + loadCommand(kDownload, 0x10000, uint32_t(c.count)));
        EXPECT_EQ(r.line.writtenAt(kDownload), "+" + blocksOnWire(data));
        for (const FakeMonitorLine::Written& w : r.line.writes) {
            EXPECT_EQ(w.state.stopBits, kTwoStopBits);
            EXPECT_EQ(w.state.byteSize, 8);
            EXPECT_EQ(w.state.parity, kNoParity);
        }
        // The LOAD line goes one byte at a time; each block, framed, in one write.
        int commandWrites = 0, blockWrites = 0;
        for (const FakeMonitorLine::Written& w : r.line.writes) {
            commandWrites += (w.state.baud == kTerminal && w.bytes.size() == 1);
            blockWrites += (w.state.baud == kDownload && w.bytes.size() > 4);
        }
        EXPECT_EQ(commandWrites, 3 + loadCommand(kDownload, 0x10000, 0).size());
        EXPECT_EQ(blockWrites, (c.count + kBlockSize - 1) / kBlockSize);
        EXPECT_TRUE(r.line.state == r.before);
        EXPECT_EQ(r.line.restores, 1);
        EXPECT_EQ(r.line.lowLatencyRequests, 1);
        EXPECT_FALSE(r.line.lowLatencyActive);
        EXPECT_TRUE(r.sleeps.contains(100)) << "pause after the rate switch";
    }
}

TEST(MonitorLoad, AmpersandIsAnsweredWithOneZeroEachTime)
{
    Rig r;
    const QByteArray data = pattern(10);
    r.line.script = goodMonitor(data, 0x20000);
    r.line.script.last().reply = "&";
    r.line.script.append({QByteArray(1, '\0'), "&"});
    r.line.script.append({QByteArray(1, '\0'), "-"});
    EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x20000).ok());
    EXPECT_EQ(r.line.writtenAt(kDownload), "+" + blocksOnWire(data) + QByteArray(2, '\0'));
}

namespace
{
// Presses Cancel during a pump once the host's wire ends with the given bytes, as a
// user would while the transfer reports progress.
class CancelWhen : public LoadProgress
{
public:
    CancelWhen(const FakeMonitorLine& line, QByteArray wireEnd) : line(line), wireEnd(wireEnd) {}

protected:
    void pumpEvents() override
    {
        if (!pressed && !wireEnd.isEmpty() && line.wire.endsWith(wireEnd)) {
            pressed = true;
            requestCancel();
        }
    }

private:
    const FakeMonitorLine& line;
    QByteArray wireEnd;
    bool pressed = false;
};

QByteArray framed(const QByteArray& block)
{
    return QByteArray(1, char(block.size() / 256)) + char(block.size() % 256) + block +
           QByteArray(2, '\0');
}
} // namespace

TEST(MonitorLoad, EveryFailureIsToldOnceAndTheLineRestored)
{
    const QByteArray data = pattern(3000);
    const QByteArray command = loadCommand(kDownload, 0x10000, 3000);
    using Script = QList<FakeMonitorLine::Step>;
    const Script good = goodMonitor(data, 0x10000);
    const QByteArray firstBlock = framed(data.left(1024));
    const struct {
        const char* name;
        Script script;
        QByteArray cancelWhenWireEnds;
        int shortWrite; // the size of the write that comes out one byte short
        QString want;
        QByteArray wantDownloadWire; // everything sent at the download rate
    } cases[] = {
        {"no prompt", Script{}, "", -1, QString::fromLatin1(kNoPromptText), ""},
        {"no '+'", good.mid(0, 1), "", -1, QString::fromLatin1(kNoPlusText), ""},
        {"wrong byte for '='", Script{good[0], good[1], {"+", "X"}}, "", -1,
         QStringLiteral("88 reply expecting '='"), "+"},
        {"negative byte for '='", Script{good[0], good[1], {"+", "\xC8"}}, "", -1,
         QStringLiteral("-56 reply expecting '='"), "+"},
        {"stall after two blocks", good.mid(0, 4), "", -1,
         QStringLiteral("=timeout,reply=-1,rem=952"),
         "+" + firstBlock + framed(data.mid(1024, 1024))},
        {"no '-'", good.mid(0, 6), "", -1, QString::fromLatin1(kNoMinusText),
         "+" + blocksOnWire(data)},
        {"short write of a block", good, "", 1028, QStringLiteral("actual=1023 max=1024"),
         "+" + firstBlock.mid(0, 1025)},
        {"Cancel before LOAD", good, "\b.\r", -1, QString::fromLatin1(kAbortedText), ""},
        {"Cancel before the first block", good, "+", -1, QString::fromLatin1(kAbortedText), "+"},
        {"Cancel between blocks", good, firstBlock, -1, QString::fromLatin1(kAbortedText),
         "+" + firstBlock},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.line.script = c.script;
        r.line.shortWriteAt = c.shortWrite;
        r.line.shortBy = 3; // two length bytes and 1,023 data bytes got out
        MonitorSession session(
            r.line, r.feedback, {kTerminal, kDownload}, {}, [&]() -> std::unique_ptr<LoadProgress> {
                return std::make_unique<CancelWhen>(r.line, c.cancelWhenWireEnds);
            });
        session.setSleepFunction([](int) {});
        EXPECT_TRUE(session.MonitorLoad(data.constData(), data.size(), 0x10000).failed());
        ASSERT_EQ(r.feedback.messages.size(), 1);
        EXPECT_EQ(r.feedback.messages[0].text, c.want);
        EXPECT_EQ(r.feedback.messages[0].caption, QStringLiteral("Error"));
        EXPECT_EQ(r.feedback.messages[0].icon, MessageIcon::Warning);
        EXPECT_EQ(r.line.writtenAt(kDownload), c.wantDownloadWire);
        EXPECT_TRUE(r.line.state == r.before) << "line state and terminal rate back";
        EXPECT_EQ(r.line.restores, 1);
        EXPECT_FALSE(r.line.lowLatencyActive);
    }
}

TEST(MonitorLoad, HundredOtherBytesInsteadOfPlusCountAsPlus)
{
    Rig r;
    const QByteArray data = pattern(5);
    r.line.script = goodMonitor(data, 0x10000);
    r.line.script[1].reply = QByteArray(100, 'x');
    EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x10000).ok());
    EXPECT_TRUE(r.feedback.messages.isEmpty());
    EXPECT_EQ(r.line.writtenAt(kDownload), "+" + blocksOnWire(data));
}

TEST(MonitorLoad, VanishedDeviceEndsWithOneMessage)
{
    // The device stops working at several points of the load; each time the load
    // ends promptly with one message and the line is put back as far as it can be.
    for (int failAfter : {0, 3, 40, 45}) {
        SCOPED_TRACE(failAfter);
        Rig r;
        const QByteArray data = pattern(4096);
        r.line.script = goodMonitor(data, 0x10000);
        r.line.failAfterOps = failAfter;
        EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x10000).failed());
        ASSERT_EQ(r.feedback.messages.size(), 1);
        EXPECT_TRUE(r.feedback.messages[0].text.startsWith(
            QStringLiteral("The serial port stopped working during the load")))
            << r.feedback.messages[0].text.toStdString();
        EXPECT_TRUE(r.session.deviceGone());
        EXPECT_LT(r.line.operations, failAfter + 10) << "no spinning on a dead device";
        EXPECT_EQ(r.line.restores, 1);
    }
}

TEST(MonitorLoad, ShortOnlyInTheClosingZerosIsAFailure)
{
    Rig r;
    const QByteArray data = pattern(1024);
    r.line.script = goodMonitor(data, 0x10000);
    r.line.shortWriteAt = 1028; // the framed block; its last 00 stays behind
    r.line.shortBy = 1;
    EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x10000).failed());
    ASSERT_EQ(r.feedback.messages.size(), 1);
    EXPECT_TRUE(r.feedback.messages[0].text.contains(QStringLiteral("without its closing 00 00")))
        << r.feedback.messages[0].text.toStdString();
    EXPECT_TRUE(r.line.state == r.before);
}

TEST(MonitorLoad, TheMonitorsRefusalIsShownNotTakenForPlus)
{
    // The refusal contains a '+', with text right behind it; the echo and the prompt
    // around it are not the reason.
    const struct {
        const char* name;
        QByteArray answer;
        QString want;
    } cases[] = {
        {"a '+' inside the text", "\r\nLOAD: address + count pass FFFFFFFF\r\nQX2>",
         QStringLiteral("The monitor refused the load: LOAD: address + count pass FFFFFFFF")},
        {"text without '+'", "\r\nLOAD: count 01400000 is larger than the memory\r\nC:\\>",
         QStringLiteral("The monitor refused the load: LOAD: count 01400000 is larger than the "
                        "memory")},
        {"control bytes escaped", "\r\n?\x1b[1m\r\nQX2>",
         QStringLiteral("The monitor refused the load: ?\\x1b[1m")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        const QByteArray data = pattern(2000);
        const QByteArray command = loadCommand(kDownload, 0x10000, 2000);
        r.line.script = {{"\r", "\r\nQX2>"}, {command, command + c.answer}};
        EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0x10000).failed());
        ASSERT_EQ(r.feedback.messages.size(), 1);
        EXPECT_EQ(r.feedback.messages[0].text, c.want);
        EXPECT_EQ(r.line.writtenAt(kDownload), QByteArray()) << "no data phase";
        EXPECT_TRUE(r.line.state == r.before);
    }
}

TEST(MonitorLoad, AnImagePastFFFFFFFFIsRefusedBeforeAnythingIsSent)
{
    Rig r;
    const QByteArray data = pattern(0x100);
    r.line.script = goodMonitor(data, 0xFFFFFF80);
    EXPECT_TRUE(r.session.MonitorLoad(data.constData(), data.size(), 0xFFFFFF80).failed());
    ASSERT_EQ(r.feedback.messages.size(), 1);
    EXPECT_EQ(r.feedback.messages[0].text,
              QStringLiteral("The image of 256 bytes at FFFFFF80 would pass address FFFFFFFF: "
                             "nothing was sent."));
    EXPECT_TRUE(r.line.wire.isEmpty());
    // Up to FFFFFFFF itself is fine.
    Rig fits;
    fits.line.script = goodMonitor(data, 0xFFFFFF00);
    EXPECT_TRUE(fits.session.MonitorLoad(data.constData(), data.size(), 0xFFFFFF00).ok());
}

TEST(MonitorHex, EveryFailureSaysWhatHappened)
{
    QTemporaryDir dir;
    const QString hex = dir.path() + QStringLiteral("/A.HEX");
    const QString empty = dir.path() + QStringLiteral("/EMPTY.HEX");
    const QByteArray text = ":0400000001020304F2\r\n:00000001FF\r\n";
    ASSERT_TRUE(writeAll(hex, text));
    ASSERT_TRUE(writeAll(empty, QByteArray()));
    using Script = QList<FakeMonitorLine::Step>;
    const Script good{{"tom8\r", "\r\nQX2>"}, {"lo ;B3+\r", "%"}, {":00000001FF\r\n", "%"}};
    const struct {
        const char* name;
        QString file;
        Script script;
        int shortWrite;
        const char* want;
    } cases[] = {
        {"empty file", empty, good, -1, "is empty: nothing was sent"},
        {"no prompt after tom8", hex, Script{}, -1, "did not answer \"tom8\""},
        {"no '%' after lo", hex, good.mid(0, 1), -1, "did not answer \"lo ;B3+\" with '%'"},
        {"cut short", hex, good, int(text.size()), "stopped after 33 of 34 bytes"},
        {"no closing '%'", hex, good.mid(0, 2), -1, "did not confirm the end of the hex file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r;
        r.line.script = c.script;
        r.line.shortWriteAt = c.shortWrite;
        EXPECT_TRUE(r.session.SendHexFile(c.file).failed());
        ASSERT_EQ(r.feedback.messages.size(), 1);
        EXPECT_TRUE(r.feedback.messages[0].text.contains(QLatin1String(c.want)))
            << r.feedback.messages[0].text.toStdString();
        EXPECT_TRUE(r.line.state == r.before);
    }
}

// The S-record tail of a staged flash load that gets no '%' after the data:
// the line still goes back to the terminal rate.
TEST(MonitorTail, NoClosingPercentStillRestoresTheTerminalRate)
{
    Rig r;
    r.line.script = QList<FakeMonitorLine::Step>{{"tom8\r", "\r\nQX2>"}, {"lo ;3\r", "%"}};
    EXPECT_TRUE(r.session.SendSRecordTail(loadimage::sRecordTail(0x001000, 0x001400)).failed());
    ASSERT_EQ(r.feedback.messages.size(), 1);
    EXPECT_TRUE(r.feedback.messages[0].text.contains(
        QLatin1String("did not confirm the end of the S-records")));
    EXPECT_EQ(r.line.state.baud, kTerminal);
}
