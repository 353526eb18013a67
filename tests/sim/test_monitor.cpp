// The Zelkon console and the boot monitor, driven byte for byte by a host on
// the pty: wake-up, the LOAD block conversation with its faults, lo downloads,
// DATE, CAPTURE, G and GS.
#include "Crc32.h"
#include "HexRecords.h"
#include "SimHost.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace qx2sim;
using simtest::HostPort;
using simtest::SimRig;

namespace
{

const QByteArray kPrompt = "C:\\>";
const QByteArray kMonPrompt = "QX2>";

QByteArray pattern(int n, int seed)
{
    QByteArray a(n, '\0');
    for (int i = 0; i < n; ++i)
        a[i] = char((i * 31 + seed * 7 + (i >> 8)) & 0xFF);
    return a;
}

QByteArray block(const QByteArray& data)
{
    QByteArray b;
    b.append(char(data.size() >> 8)).append(char(data.size() & 0xFF));
    b += data;
    b.append('\0').append('\0');
    return b;
}

QByteArray loadCommand(quint32 rate, quint32 address, quint32 count)
{
    return QStringLiteral("LOAD %1 %2 %3\r")
        .arg(rate, 8, 16, QLatin1Char('0'))
        .arg(address, 8, 16, QLatin1Char('0'))
        .arg(count, 8, 16, QLatin1Char('0'))
        .toUpper()
        .toLatin1();
}

// The host's side up to the data phase: command at 9600 8N1, '+' back,
// switch to the download format, '+'.
void beginLoad(SimRig& rig, quint32 address, quint32 count, const QByteArray& expectAfterPlus)
{
    const QByteArray cmd = loadCommand(0x1C200, address, count);
    rig.host.write(cmd);
    // Echo of the command, its line end, then '+'.
    EXPECT_EQ(rig.host.readExactly(cmd.size() + 2, 1000), cmd + "\n+");
    ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 2));
    rig.host.write("+");
    EXPECT_EQ(rig.host.readExactly(expectAfterPlus.size(), 1000), expectAfterPlus);
}

// Sends data in 1,024-byte blocks, expecting '=' before every block.
void sendBlocks(SimRig& rig, const QByteArray& data)
{
    for (int at = 0; at < data.size(); at += 1024) {
        const QByteArray part = data.mid(at, 1024);
        rig.host.write(block(part));
        const bool last = at + 1024 >= data.size();
        if (!last) {
            EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("=")) << "after block at " << at;
        }
    }
}

} // namespace

TEST(SimMonitor, WakeUpAttemptsAnswerWithThePrompt)
{
    SimRig rig;
    QByteArray hello;
    ASSERT_TRUE(rig.start(simtest::fastOptions(), &hello));
    EXPECT_TRUE(hello.endsWith(kPrompt));
    struct Row {
        const char* name;
        QByteArray send;
        QByteArray reply;
    };
    const Row rows[] = {
        {"attempt 5: BS . CR", "\b.\r", ".\r\n" + kPrompt},
        {"attempt 4: CR", "\r", "\r\n" + kPrompt},
        {"attempt 2: . CR", ".\r", ".\r\n" + kPrompt},
        {"attempt 1: ETX CR", "\x03\r", "^C\r\n" + kPrompt + "\r\n" + kPrompt},
        {"CR LF from a terminal", "\r\n", "\r\n" + kPrompt},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        const auto t = std::chrono::steady_clock::now();
        rig.host.write(r.send);
        const QByteArray got = rig.host.readUntil(r.reply, 1000);
        // The host drains for 50 ms after a 25 ms pause.
        EXPECT_LT(simtest::msSince(t), 50);
        EXPECT_EQ(got, r.reply);
        EXPECT_EQ(rig.host.readFor(30), QByteArray());
    }
    // In the monitor the prompt ends in '>' too.
    rig.host.write("mon\r");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), "mon\r\nQX2 boot monitor\r\n" + kMonPrompt);
    rig.host.write("\b.\r");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), ".\r\n" + kMonPrompt);
}

TEST(SimMonitor, LineEditingEchoesAndErases)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("ab\bc\b\b\bx\r");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000),
              "ab\b \bc\b \b\b \bx\r\nUnknown command: x (type HELP)\r\n" + kPrompt);
}

TEST(SimMonitor, BlockLoadByteForByte)
{
    struct Row {
        const char* name;
        bool inMonitor;
        int count;
        QList<int> blocks;
    };
    const Row rows[] = {
        {"console, three blocks", false, 2049, {1024, 1024, 1}},
        {"monitor, exactly one block", true, 1024, {1024}},
        {"console, two blocks, last of one byte", false, 1025, {1024, 1}},
        {"monitor, empty load", true, 0, {}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        const QByteArray prompt = r.inMonitor ? kMonPrompt : kPrompt;
        if (r.inMonitor) {
            rig.host.write("mon\r");
            rig.host.readUntil(kMonPrompt, 1000);
        }
        const QByteArray data = pattern(r.count, r.count);
        // A zero count goes from the host's '+' straight to the zero length.
        beginLoad(rig, 0x10000, quint32(r.count), r.count ? "=" : "");
        sendBlocks(rig, data);
        // No '=' after the last block: the host sends the zero length unasked.
        EXPECT_EQ(rig.host.readFor(60), QByteArray());
        rig.host.write(QByteArray(2, '\0'));
        EXPECT_EQ(rig.host.readUntil(prompt, 1000), "-\r\n" + prompt);

        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        const LoadRecord& load = m.loads[0];
        EXPECT_TRUE(load.complete);
        EXPECT_EQ(load.rateField, 0x1C200u);
        EXPECT_EQ(load.address, 0x10000u);
        EXPECT_EQ(load.count, quint32(r.count));
        EXPECT_EQ(load.data, data);
        EXPECT_EQ(load.blockLengths, r.blocks);
        EXPECT_TRUE(load.trailersOk);
        EXPECT_EQ(load.crc, Crc32Update(data.constData(), std::size_t(data.size()), 0));
        EXPECT_EQ(load.commandSettings.toString(), QStringLiteral("9600 8N1"));
        EXPECT_EQ(load.dataSettings.toString(), QStringLiteral("115200 8N2"));
        EXPECT_EQ(load.mode, r.inMonitor ? QStringLiteral("monitor") : QStringLiteral("console"));
        EXPECT_EQ(m.read(0x10000, r.count), data);
    }
}

TEST(SimMonitor, LoneGStartsTheLoadedProgram)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    // G before any load.
    rig.host.write("G\r");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "G\r\nNo program loaded\r\n" + kPrompt);
    const QByteArray data = pattern(4, 1);
    beginLoad(rig, 0x10000, 4, "=");
    rig.host.write(block(data) + QByteArray(2, '\0'));
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write("G");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000),
              "G\r\nQX2 program at 010000 running\r\nQX2 program ended\r\n" + kPrompt);
    // The space and BS the host sends next are harmless.
    rig.host.write(" \b");
    EXPECT_EQ(rig.host.readFor(60), QByteArray(" \b \b"));
    // The PXE road: CR, then GS name CR.
    rig.host.write("\rGS DEMO.PXE\r");
    EXPECT_EQ(rig.host.readUntil("ended\r\n" + kPrompt, 1000),
              "\r\n" + kPrompt +
                  "GS DEMO.PXE\r\nQX2 program DEMO.PXE at 010000 running\r\n"
                  "QX2 program ended\r\n" +
                  kPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.programs.size(), 2);
    EXPECT_EQ(m.programs[0].how, QStringLiteral("G"));
    EXPECT_EQ(m.programs[1].how, QStringLiteral("GS"));
    EXPECT_EQ(m.programs[1].name, QStringLiteral("DEMO.PXE"));
    EXPECT_EQ(m.programs[1].address, 0x10000u);
}

TEST(SimMonitor, BlockLoadSurvivesAnyChunking)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    const QByteArray data = pattern(1500, 9);
    const QByteArray cmd = loadCommand(0x1C200, 0x20000, 1500);
    // The command one byte per write.
    for (char c : cmd)
        rig.host.write(QByteArray(1, c));
    EXPECT_EQ(rig.host.readUntil("+", 1000), cmd + "\n+");
    // The data phase runs at the rate of the LOAD line's first field.
    ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 2));
    rig.host.write("+");
    EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
    // First block in odd pieces, the length bytes split apart.
    const QByteArray b1 = block(data.left(1024));
    for (int at = 0; at < b1.size(); at += 7) {
        rig.host.write(b1.mid(at, 7));
        if (at % 140 == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
    // Last block and the zero length in one write.
    rig.host.write(block(data.mid(1024)) + QByteArray(2, '\0'));
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_EQ(m.loads[0].data, data);
    EXPECT_EQ(m.loads[0].blockLengths, (QList<int>{1024, 476}));
}

TEST(SimMonitor, FaultSwitches)
{
    const QByteArray data = pattern(2048, 3);
    {
        SCOPED_TRACE("--no-prompt: the wake-up goes unanswered");
        SimOptions o = simtest::fastOptions();
        o.noPrompt = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.readFor(50);
        rig.host.write("\b.\r");
        EXPECT_EQ(rig.host.readFor(150), QByteArray(".\r\n"));
    }
    {
        SCOPED_TRACE("--prompt-delay: the prompt comes late");
        SimOptions o = simtest::fastOptions();
        o.promptDelayMs = 150;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.readUntil(kPrompt, 1000);
        const auto t = std::chrono::steady_clock::now();
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readFor(75), QByteArray("\r\n"));
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), kPrompt);
        EXPECT_GE(simtest::msSince(t), 140);
    }
    {
        SCOPED_TRACE("--no-plus: LOAD is swallowed");
        SimOptions o = simtest::fastOptions();
        o.noPlus = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        const QByteArray cmd = loadCommand(0x1C200, 0x10000, 16);
        rig.host.write(cmd);
        EXPECT_EQ(rig.host.readFor(200), cmd + "\n");
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_FALSE(m.loads[0].complete);
        EXPECT_TRUE(m.loads[0].outcome.contains(QLatin1String("no '+'")));
    }
    {
        SCOPED_TRACE("--wrong-ack: another byte instead of '='");
        SimOptions o = simtest::fastOptions();
        o.wrongAck = 'X';
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        beginLoad(rig, 0x10000, 2048, "X");
        EXPECT_EQ(rig.host.readFor(100), QByteArray());
        // The monitor gave up: the host's next wake-up is a command line again.
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_FALSE(m.loads[0].complete);
    }
    {
        SCOPED_TRACE("--stall-after-blocks 1");
        SimOptions o = simtest::fastOptions();
        o.stallAfterBlocks = 1;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        beginLoad(rig, 0x10000, 2048, "=");
        rig.host.write(block(data.left(1024)));
        EXPECT_EQ(rig.host.readFor(150), QByteArray());
        // After the quiet time the load is abandoned and the prompt answers again.
        ASSERT_TRUE(
            rig.engine->waitUntil([](const MemoryModel& m) { return !m.loads.isEmpty(); }, 1500));
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
        const MemoryModel m = rig.engine->memory();
        EXPECT_FALSE(m.loads[0].complete);
        EXPECT_EQ(m.loads[0].data, data.left(1024));
        EXPECT_TRUE(m.loads[0].outcome.startsWith(QLatin1String("abandoned")));
    }
    {
        SCOPED_TRACE("--no-minus");
        SimOptions o = simtest::fastOptions();
        o.noMinus = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        beginLoad(rig, 0x10000, 2048, "=");
        sendBlocks(rig, data);
        rig.host.write(QByteArray(2, '\0'));
        EXPECT_EQ(rig.host.readFor(150), QByteArray());
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_TRUE(m.loads[0].complete);
        EXPECT_EQ(m.loads[0].data, data);
    }
    {
        SCOPED_TRACE("--extra-amp 3");
        SimOptions o = simtest::fastOptions();
        o.extraAmp = 3;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        beginLoad(rig, 0x10000, 2048, "=");
        sendBlocks(rig, data);
        rig.host.write(QByteArray(2, '\0'));
        for (int i = 0; i < 3; ++i) {
            EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("&")) << i;
            // Nothing more until the host answers.
            EXPECT_EQ(rig.host.readFor(30), QByteArray());
            rig.host.write(QByteArray(1, '\0'));
        }
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_EQ(m.loads[0].ampAnswers, 3);
        EXPECT_TRUE(m.loads[0].ampAnswersOk);
    }
    {
        SCOPED_TRACE("--extra-amp with a host that does not answer");
        SimOptions o = simtest::fastOptions();
        o.extraAmp = 2;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        beginLoad(rig, 0x10000, 16, "=");
        rig.host.write(block(data.left(16)) + QByteArray(2, '\0'));
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("&"));
        ASSERT_TRUE(rig.engine->waitUntil(
            [](const MemoryModel& m) {
                return m.loads.size() == 1 &&
                       m.loads[0].outcome.contains(QLatin1String("no answer"));
            },
            1500));
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
        EXPECT_EQ(rig.engine->memory().loads.size(), 1);
    }
    {
        SCOPED_TRACE("--silent");
        SimOptions o = simtest::fastOptions();
        o.silent = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("\b.\r");
        rig.host.write(loadCommand(0x1C200, 0x10000, 16));
        EXPECT_EQ(rig.host.readFor(200), QByteArray());
    }
}

TEST(SimMonitor, HexDownloadWithPercentHandshake)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    // From the console, tom8 enters the monitor; its prompt ends in '>'.
    rig.host.write("tom8\r");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), "tom8\r\nQX2 boot monitor\r\n" + kMonPrompt);
    rig.host.write("lo ;B3+\r");
    EXPECT_EQ(rig.host.readUntil("%", 1000), QByteArray("lo ;B3+\r\n%"));
    ASSERT_TRUE(rig.host.setLine(57600, 8, 'N', 1));
    const QByteArray payload = pattern(40, 5);
    QByteArray text;
    for (int i = 0; i < payload.size(); i += 16)
        text += makeSRecord(2, 0x2000u + quint32(i), payload.mid(i, 16)) + "\r\n";
    text += makeSRecord(8, 0, QByteArray()) + "\r\n";
    // Written in awkward pieces.
    for (int i = 0; i < text.size(); i += 5)
        rig.host.write(text.mid(i, 5));
    EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("%"));
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write("%");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), "\r\n" + kMonPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.hexLoads.size(), 1);
    const HexLoadRecord& h = m.hexLoads[0];
    EXPECT_EQ(h.command, QStringLiteral("lo ;B3+"));
    EXPECT_EQ(h.raw, text);
    EXPECT_EQ(h.records.size(), 4);
    EXPECT_EQ(h.badLines, 0);
    EXPECT_TRUE(h.endSeen);
    EXPECT_TRUE(h.closed);
    EXPECT_EQ(h.dataSettings.toString(), QStringLiteral("57600 8N1"));
    EXPECT_EQ(m.read(0x2000, payload.size()), payload);
}

TEST(SimMonitor, IntelHexEndsOnQuietWithoutEndRecord)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("mon\r");
    rig.host.readUntil(kMonPrompt, 1000);
    rig.host.write("lo ;B3+\r");
    EXPECT_EQ(rig.host.readUntil("%", 1000), QByteArray("lo ;B3+\r\n%"));
    // lo data goes at 57600, the closing '%' at the terminal rate.
    ASSERT_TRUE(rig.host.setLine(57600, 8, 'N', 1));
    // Extended linear address 0x0001, then three bytes at 0x0030: 0x10030.
    rig.host.write(":020000040001F9\r\n:0300300002337A1E\r\n");
    const auto t = std::chrono::steady_clock::now();
    EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("%"));
    EXPECT_GE(simtest::msSince(t), 80); // the quiet time, shortened for the test
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write("%");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), "\r\n" + kMonPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.hexLoads.size(), 1);
    EXPECT_FALSE(m.hexLoads[0].endSeen);
    EXPECT_EQ(m.read(0x10030, 3), QByteArray("\x02\x33\x7A", 3));
}

TEST(SimMonitor, FlashStagingThenSRecordTail)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    const QByteArray image = pattern(300, 11);
    beginLoad(rig, 0x2D0000, quint32(image.size()), "=");
    rig.host.write(block(image) + QByteArray(2, '\0'));
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    // BS mon CR, then tom8 must leave '>' as the last byte.
    rig.host.write("\bmon\r");
    rig.host.write("tom8\r");
    const QByteArray seen = rig.host.readUntilQuiet(100, 1000);
    EXPECT_TRUE(seen.endsWith(">")) << seen.constData();
    EXPECT_EQ(seen, "mon\r\nQX2 boot monitor\r\n" + kMonPrompt + "tom8\r\n" + kMonPrompt);
    rig.host.write("lo ;3\r");
    EXPECT_EQ(rig.host.readUntilQuiet(60, 1000), QByteArray("lo ;3\r\n%"));
    ASSERT_TRUE(rig.host.setLine(57600, 8, 'N', 1));
    const QByteArray tail = "S204001000EB\rS204001200E9\rS804000000FB\r";
    ASSERT_EQ(tail.size(), 39);
    rig.host.write(tail);
    EXPECT_EQ(rig.host.readUntilQuiet(60, 1000), QByteArray("%"));
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write("%");
    EXPECT_EQ(rig.host.readUntil(kMonPrompt, 1000), "\r\n" + kMonPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_EQ(m.loads[0].address, 0x2D0000u);
    ASSERT_EQ(m.hexLoads.size(), 1);
    const HexLoadRecord& h = m.hexLoads[0];
    EXPECT_EQ(h.command, QStringLiteral("lo ;3"));
    ASSERT_EQ(h.records.size(), 3);
    EXPECT_EQ(h.records[0].address, 0x1000u);
    EXPECT_EQ(h.records[1].address, 0x1200u);
    EXPECT_TRUE(h.endSeen);
    EXPECT_EQ(h.badLines, 0);
    EXPECT_EQ(h.dataSettings.baud, 57600);
}

TEST(SimConsole, DateSetsTheClock)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("DATE 12/06/26 08:05:09\r\n");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "DATE 12/06/26 08:05:09\r\n" + kPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.clockSets.size(), 1);
    EXPECT_EQ(m.clockSets[0].source, QStringLiteral("DATE"));
    const QDateTime want(QDate(2026, 12, 6), QTime(8, 5, 9), Qt::UTC);
    EXPECT_EQ(m.clockSets[0].value, want);
    EXPECT_LE(qAbs(rig.engine->clock().secsTo(want)), 2);
    rig.host.write("TIME\r");
    EXPECT_TRUE(rig.host.readUntil(kPrompt, 1000).contains("Current time is 08:05:"));
    // Four-digit year, and a bad one.
    rig.host.write("DATE 01/02/2030 23:59:58\r");
    rig.host.readUntil(kPrompt, 1000);
    rig.host.write("DATE 13/45/26 99:00:00\r");
    EXPECT_TRUE(rig.host.readUntil(kPrompt, 1000).contains("Invalid date"));
    const MemoryModel m2 = rig.engine->memory();
    ASSERT_EQ(m2.clockSets.size(), 2);
    EXPECT_EQ(m2.clockSets[1].value, QDateTime(QDate(2030, 1, 2), QTime(23, 59, 58), Qt::UTC));
}

TEST(SimConsole, CaptureStoresTheTextOnTheCard)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    const QByteArray text = "ECHO ONE\r\nREM two\r\n";
    rig.host.write("\rCAPTURE NOTES.TXT /D 3\r");
    rig.host.write(text);
    rig.host.write("\x03");
    EXPECT_EQ(rig.host.readUntil("NOTES.TXT\r\n" + kPrompt, 1000),
              "\r\n" + kPrompt + "CAPTURE NOTES.TXT /D 3\r\n" + text +
                  "\r\n19 bytes captured to NOTES.TXT\r\n" + kPrompt);
    EXPECT_EQ(simtest::fileBytes(rig.engine->cardRoot() + QStringLiteral("/NOTES.TXT")), text);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.cardFiles.size(), 1);
    EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::Captured);
    EXPECT_EQ(m.cardFiles[0].cardPath, QStringLiteral("C:\\NOTES.TXT"));
    EXPECT_EQ(m.cardFiles[0].options, QStringLiteral("/D 3"));
    EXPECT_EQ(m.cardFiles[0].size, 19);
    // The file is listed with its size.
    rig.host.write("DIR\r");
    EXPECT_TRUE(rig.host.readUntil(kPrompt, 1000).contains("NOTES.TXT                 19 "));
}

TEST(SimConsole, CaptureWithABadNameStoresNothingAndRunsNothing)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("CAPTURE ..\\EVIL.TXT /D 3\rSKIFFER\r\x03");
    const QByteArray got = rig.host.readUntil("failed: invalid file name\r\n" + kPrompt, 1000);
    EXPECT_TRUE(got.endsWith("failed: invalid file name\r\n" + kPrompt)) << got.constData();
    EXPECT_EQ(rig.engine->mode(), SimMode::Console);
    EXPECT_TRUE(rig.engine->memory().cardFiles.isEmpty());
    EXPECT_FALSE(QFile::exists(rig.engine->cardRoot() + QStringLiteral("/../EVIL.TXT")));
}

TEST(SimConsole, CaptureAlsoFromTheMonitorSoTextNeverRunsAsCommands)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    rig.host.write("mon\r");
    rig.host.readUntil(kMonPrompt, 1000);
    const QByteArray text = "LOAD 1C200 10000 10\r\nG\r\n";
    rig.host.write("\rCAPTURE RUN.BAT /D 3\r" + text + "\x03");
    const QByteArray got = rig.host.readUntil("RUN.BAT\r\n" + kMonPrompt, 1000);
    EXPECT_TRUE(got.endsWith(text + "\r\n24 bytes captured to RUN.BAT\r\n" + kMonPrompt))
        << got.constData();
    EXPECT_EQ(simtest::fileBytes(rig.engine->cardRoot() + QStringLiteral("/RUN.BAT")), text);
    const MemoryModel m = rig.engine->memory();
    EXPECT_TRUE(m.loads.isEmpty());
    EXPECT_TRUE(m.programs.isEmpty());
}

TEST(SimMonitor, BadLoadCommandsAreRefusedWithAMessage)
{
    struct Row {
        const char* name;
        QByteArray command;
        QByteArray reply;
    };
    // The monitor reads its LOAD line by position: anything but exactly
    // "LOAD %08X %08X %08X" CR is not a LOAD and gets "?".
    const Row rows[] = {
        {"two fields", "LOAD 1C200 10000\r", "LOAD 1C200 10000\r\n?\r\n"},
        {"short fields", "LOAD 1C200 10000 10\r", "LOAD 1C200 10000 10\r\n?\r\n"},
        {"not hex", "LOAD 0001C200 0000XYZ0 00000010\r",
         "LOAD 0001C200 0000XYZ0 00000010\r\n?\r\n"},
        {"lower case", "load 0001c200 00010000 00000010\r",
         "load 0001c200 00010000 00000010\r\n?\r\n"},
        {"lower-case hex", "LOAD 0001c200 00010000 00000010\r",
         "LOAD 0001c200 00010000 00000010\r\n?\r\n"},
        {"two blanks", "LOAD  0001C200 00010000 00000010\r",
         "LOAD  0001C200 00010000 00000010\r\n?\r\n"},
        {"a TAB", "LOAD\t0001C200 00010000 00000010\r", "LOAD 0001C200 00010000 00000010\r\n?\r\n"},
        {"trailing blank", "LOAD 0001C200 00010000 00000010 \r",
         "LOAD 0001C200 00010000 00000010 \r\n?\r\n"},
        {"more than memory", "LOAD 0001C200 00010000 01000001\r",
         "LOAD 0001C200 00010000 01000001\r\nLOAD: count 01000001 is larger than the memory\r\n"},
        {"address + count pass FFFFFFFF", "LOAD 0001C200 FFFFFF00 00000101\r",
         "LOAD 0001C200 FFFFFF00 00000101\r\nLOAD: address + count pass FFFFFFFF\r\n"},
    };
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        rig.host.write(r.command);
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), r.reply + kPrompt);
    }
    const MemoryModel m = rig.engine->memory();
    EXPECT_TRUE(m.loads.isEmpty());
    // Every refusal but the memory size is the host's fault.
    EXPECT_EQ(m.violations.size(), 9);
    // Up to FFFFFFFF itself is fine.
    rig.host.write("LOAD 0001C200 FFFFFF00 00000100\r");
    EXPECT_TRUE(rig.host.readUntil("+", 1000).endsWith("+"));
}
