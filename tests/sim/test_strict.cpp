// The instrument is as strict as the real one: for every rule a host that
// breaks it fails the way it would on the line, leaves a violation in the
// record and the log, and the correct host passes.
#include "SimHost.h"
#include "SimLog.h"

#include <QDir>
#include <QFile>

#include <gtest/gtest.h>

using namespace qx2sim;
using simtest::SimRig;

namespace
{

const QByteArray kPrompt = "C:\\>";

bool anyViolation(const QStringList& list, const char* part)
{
    for (const QString& v : list)
        if (v.contains(QLatin1String(part)))
            return true;
    return false;
}

} // namespace

TEST(SimStrict, CorrectHostLeavesNoViolation)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(simtest::fastOptions()));
    const QByteArray data = simtest::testPattern(2500, 4);
    ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 2500), QByteArray("="));
    for (int at = 0; at < data.size(); at += 1024) {
        rig.host.write(simtest::loadBlock(data.mid(at, 1024)));
        if (at + 1024 < data.size()) {
            ASSERT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
        }
    }
    rig.host.write(QByteArray(2, '\0'));
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
    // Back at the terminal rate right after '-', as the loader does.
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write("\r");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "\r\n" + kPrompt);
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_TRUE(m.loads[0].complete);
    EXPECT_EQ(m.loads[0].data, data);
    EXPECT_TRUE(m.violations.isEmpty()) << qPrintable(m.violations.join(QLatin1String(" | ")));
}

TEST(SimStrict, BrokenBlockConversationsFailTheLoad)
{
    const QByteArray data = simtest::testPattern(3000, 7);
    struct Row {
        const char* name;
        quint32 count;
        // Everything the host sends after its '+', in one write.
        QByteArray afterPlus;
        const char* violation;
    };
    QByteArray allBlocks;
    for (int at = 0; at < data.size(); at += 1024)
        allBlocks += simtest::loadBlock(data.mid(at, 1024));
    const Row rows[] = {
        {"all blocks without waiting for '='", 3000, allBlocks + QByteArray(2, '\0'),
         "before the instrument's '='"},
        {"a short first block", 3000, simtest::loadBlock(data.left(1000)), "announces 1000 bytes"},
        {"a zero length before the end", 3000, QByteArray(2, '\0'), "zero length after 0 of 3000"},
        {"a block without 00 00", 3000, simtest::loadBlock(data.left(1024)).left(1026) + "\x01\x00",
         "ends with 0x01 instead of 00 00"},
        {"1 byte announced, a 64 KiB block sent", 1,
         QByteArray("\xFF\xFF", 2) + QByteArray(65535, 'x') + QByteArray(2, '\0'),
         "announces 65535 bytes, expected 1"},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, r.count), QByteArray("="));
        rig.host.write(r.afterPlus);
        // No '-' ever comes; the failure is reported at the terminal rate later.
        const QByteArray reply = rig.host.readUntilQuiet(300, 2000);
        EXPECT_FALSE(reply.contains('-')) << reply.toHex().constData();
        ASSERT_TRUE(
            rig.engine->waitUntil([](const MemoryModel& m) { return !m.loads.isEmpty(); }, 1500));
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_FALSE(m.loads[0].complete);
        EXPECT_NE(m.loads[0].outcome, QStringLiteral("complete"));
        EXPECT_TRUE(anyViolation(m.loads[0].violations, r.violation))
            << qPrintable(m.loads[0].violations.join(QLatin1String(" | ")));
        // Never more than announced.
        EXPECT_LE(m.loads[0].data.size(), int(r.count));
        // The monitor takes commands again at the terminal rate.
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        rig.host.write("\r");
        EXPECT_TRUE(rig.host.readUntil(kPrompt, 1000).endsWith(kPrompt));
    }
}

TEST(SimStrict, LenientKeepsTheOldForgivingLoad)
{
    SimOptions o = simtest::fastOptions();
    o.lenient = true;
    SimRig rig;
    ASSERT_TRUE(rig.start(o));
    const QByteArray data = simtest::testPattern(3000, 7);
    QByteArray all;
    for (int at = 0; at < data.size(); at += 1024)
        all += simtest::loadBlock(data.mid(at, 1024));
    rig.host.write("load 1c200 10000 bb8\r");
    rig.host.readUntil("+", 1000);
    rig.host.write("+" + all + QByteArray(2, '\0'));
    EXPECT_TRUE(rig.host.readUntil(kPrompt, 1000).endsWith("-\r\n" + kPrompt));
    const MemoryModel m = rig.engine->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_TRUE(m.loads[0].complete);
    EXPECT_EQ(m.loads[0].data, data);
    EXPECT_TRUE(m.violations.isEmpty());

    // Even lenient, a load never keeps more than it announced.
    ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
    rig.host.write(simtest::loadLine(0x1C200, 0x30000, 1));
    rig.host.readUntil("+", 1000);
    QByteArray flood = "+";
    for (int i = 0; i < 20; ++i)
        flood += QByteArray("\xFF\xFF", 2) + QByteArray(65535, char(i)) + QByteArray(2, '\0');
    rig.host.write(flood + QByteArray(2, '\0'));
    ASSERT_TRUE(
        rig.engine->waitUntil([](const MemoryModel& mm) { return mm.loads.size() == 2; }, 3000));
    EXPECT_EQ(rig.engine->memory().loads[1].data.size(), 1);
    EXPECT_EQ(rig.engine->memory().read(0x30000, 2), QByteArray("\x00\xFF", 2));
}

TEST(SimStrict, HandshakeBytesTheHostMustWaitFor)
{
    {
        SCOPED_TRACE("CR LF after the LOAD line: the LF comes before '+'");
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        const QByteArray cmd = simtest::loadLine(0x1C200, 0x10000, 4);
        rig.host.write(cmd + "\n");
        rig.host.readUntil("+", 1000);
        ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 2));
        rig.host.write("+");
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
        EXPECT_TRUE(anyViolation(rig.engine->memory().violations, "before the instrument's '+'"));
    }
    {
        SCOPED_TRACE("'+' sent with the LOAD line, before the instrument's '+'");
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        rig.host.write(simtest::loadLine(0x1C200, 0x10000, 4) + "+");
        rig.host.readUntil("+", 1000);
        ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 2));
        // The early '+' is lost: no '=' comes, and the load is given up.
        EXPECT_EQ(rig.host.readFor(150), QByteArray());
        ASSERT_TRUE(
            rig.engine->waitUntil([](const MemoryModel& m) { return m.loads.size() == 1; }, 1500));
        EXPECT_FALSE(rig.engine->memory().loads[0].complete);
    }
    {
        SCOPED_TRACE("text before the '%' of lo");
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        rig.host.write("mon\r");
        rig.host.readUntil("QX2>", 1000);
        rig.host.write("lo ;B3+\rS9030000FC\r");
        EXPECT_TRUE(rig.host.readUntil("%", 1000).endsWith("%"));
        EXPECT_TRUE(anyViolation(rig.engine->memory().violations, "before the instrument's '%'"));
    }
}

TEST(SimStrict, ExactlyOneZeroAnswersEachAmpersand)
{
    struct Row {
        const char* name;
        QByteArray answer;
        bool ok;
    };
    const Row rows[] = {
        {"one 0x00", QByteArray(1, '\0'), true},
        {"two 0x00", QByteArray(2, '\0'), false},
        {"0x01", "\x01", false},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimOptions o = simtest::fastOptions();
        o.extraAmp = 1;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 4), QByteArray("="));
        rig.host.write(simtest::loadBlock("abcd") + QByteArray(2, '\0'));
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("&"));
        rig.host.write(r.answer);
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
        // The record is final once a doubled answer can no longer come.
        ASSERT_TRUE(
            rig.engine->waitUntil([](const MemoryModel& m) { return m.loads.size() == 1; }, 1000));
        std::this_thread::sleep_for(std::chrono::milliseconds(120));
        const MemoryModel m = rig.engine->memory();
        EXPECT_TRUE(m.loads[0].complete);
        EXPECT_EQ(m.loads[0].ampAnswersOk, r.ok);
        EXPECT_EQ(m.loads[0].violations.isEmpty(), r.ok)
            << qPrintable(m.loads[0].violations.join(QLatin1String(" | ")));
    }
}

TEST(SimStrict, WrongBaudRateTurnsBytesIntoGarbage)
{
    {
        SCOPED_TRACE("command at 115200 while the instrument is at 9600");
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 1));
        rig.host.write(simtest::loadLine(0x1C200, 0x10000, 4));
        const QByteArray got = rig.host.readUntilQuiet(150, 1000);
        EXPECT_FALSE(got.contains('+'));
        EXPECT_TRUE(rig.engine->memory().loads.isEmpty());
        EXPECT_TRUE(anyViolation(rig.engine->memory().violations, "arrive as 0xFE"));
        // Even its CR is lost: nothing answers.
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntilQuiet(150, 1000), QByteArray());
    }
    {
        SCOPED_TRACE("host switched away before the answer came");
        SimOptions o = simtest::fastOptions();
        o.promptDelayMs = 150;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readExactly(2, 1000), QByteArray("\r\n"));
        ASSERT_TRUE(rig.host.setLine(115200, 8, 'N', 1));
        // The prompt left at 9600 and reaches a host at 115200 as garbage.
        EXPECT_EQ(rig.host.readExactly(4, 1000), QByteArray(4, char(0xFE)));
        // Not the host's fault by itself: only logged.
        EXPECT_TRUE(rig.engine->memory().violations.isEmpty());
    }
    {
        SCOPED_TRACE("data phase left at the terminal rate");
        SimRig rig;
        ASSERT_TRUE(rig.start(simtest::fastOptions()));
        rig.host.write(simtest::loadLine(0x1C200, 0x10000, 4));
        rig.host.readUntil("+", 1000);
        rig.host.write("+");
        EXPECT_EQ(rig.host.readFor(150), QByteArray());
        EXPECT_TRUE(anyViolation(rig.engine->memory().violations, "at 9600 8N1 while the "
                                                                  "instrument is at 115200"));
    }
    {
        SCOPED_TRACE("--baud 19200: a host at 19200 is right");
        SimOptions o = simtest::fastOptions();
        o.terminalBaud = 19200;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        ASSERT_TRUE(rig.host.setLine(19200, 8, 'N', 1));
        rig.host.flushInput();
        // The greeting may have met the host's first 9600; what follows is clean.
        const int before = rig.engine->memory().violations.size();
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "\r\n" + kPrompt);
        EXPECT_EQ(rig.engine->memory().violations.size(), before);
    }
}

TEST(SimStrict, LinkCommandsEndInOneLineFeed)
{
    struct Row {
        const char* name;
        QByteArray send;
        QByteArray expectStart; // start of the reply
        int clockSets;
    };
    const Row rows[] = {
        {"cd with CR LF names a folder that does not exist", "cC:\\DATA\r\nd",
         " Volume in drive C is QX2CARD\n Directory of C:\\DATA?\n\n File not found", 0},
        {"cd with LF", "cC:\\DATA\nd", " Volume in drive C is QX2CARD\n Directory of C:\\DATA\n",
         0},
        {"tdate correct", "tdate 05-13-2019 07:50:37 p\n", "\r\nClock was ", 1},
        {"tdate with CR LF", "tdate 05-13-2019 07:50:37 p\r\n", " Bad date", 0},
        {"tdate pm", "tdate 05-13-2019 07:50:37 pm\n", " Bad date", 0},
        {"tdate upper case", "tdate 05-13-2019 07:50:37 P\n", " Bad date", 0},
        {"tdate unpadded hour", "tdate 05-13-2019 7:50:37 p\n", " Bad date", 0},
        {"tdate unpadded month", "tdate 5-13-2019 07:50:37 p\n", " Bad date", 0},
        {"tdate no blank before the letter", "tdate 05-13-2019 07:50:37p\n", " Bad date", 0},
        {"tdate hour 13", "tdate 05-13-2019 13:50:37 p\n", " Bad date", 0},
        {"s with CR LF sends nothing", "sREADME.TXT\r\n", "", 0},
        {"r with CR LF is no upload", "rX.TXT\t3\r\nxyz", "", 0},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimOptions o = simtest::fastOptions();
        o.skiffer = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write(r.send);
        const QByteArray reply = rig.host.readUntilQuiet(150, 2000);
        EXPECT_TRUE(reply.startsWith(r.expectStart)) << reply.constData();
        if (r.expectStart.isEmpty()) {
            EXPECT_TRUE(reply.isEmpty());
        }
        const MemoryModel m = rig.engine->memory();
        EXPECT_EQ(m.clockSets.size(), r.clockSets);
        const bool good = QByteArray(r.name).contains("correct") || r.send == "cC:\\DATA\nd";
        EXPECT_EQ(m.violations.isEmpty(), good)
            << qPrintable(m.violations.join(QLatin1String(" | ")));
    }
}

TEST(SimStrict, EveryConversationSummaryCarriesItsViolations)
{
    QTemporaryDir dir;
    SimOptions o = simtest::fastOptions();
    o.logPath = dir.path() + QStringLiteral("/sim.log");
    {
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        // A good load, then one whose host does not wait for '='.
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 4), QByteArray("="));
        rig.host.write(simtest::loadBlock("abcd") + QByteArray(2, '\0'));
        rig.host.readUntil(kPrompt, 1000);
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x20000, 2048), QByteArray("="));
        rig.host.write(simtest::loadBlock(QByteArray(1000, 'a')));
        ASSERT_TRUE(
            rig.engine->waitUntil([](const MemoryModel& m) { return m.loads.size() == 2; }, 1500));
        rig.engine->stop();
    }
    QStringList summaries;
    for (const LogRecord& r : readLogFile(o.logPath))
        if (r.kind == LogRecord::Event && r.event.contains(QLatin1String(" violations=")))
            summaries << r.event;
    ASSERT_EQ(summaries.size(), 3) << qPrintable(summaries.join(QLatin1Char('\n')));
    EXPECT_TRUE(summaries[0].startsWith(QLatin1String("LOAD done address=00010000")));
    EXPECT_TRUE(summaries[0].contains(QLatin1String("data-settings=115200 8N2")));
    EXPECT_TRUE(summaries[0].endsWith(QLatin1String("violations=none")));
    EXPECT_TRUE(summaries[1].startsWith(QLatin1String("LOAD failed:")));
    EXPECT_TRUE(summaries[1].contains(QLatin1String("violations=")));
    EXPECT_FALSE(summaries[1].contains(QLatin1String("violations=none")));
    EXPECT_TRUE(summaries[2].startsWith(QLatin1String("session end: loads=2")));
}
