// The host against the readings of a monitor that the protocol leaves open, and
// against the strict instrument's faults: an echo or none, a prompt ending "> ",
// a prompt only after several wake-up CRs, text before '+', '=' after the last
// block, a wrong byte at a later block, a slow turnaround, a device that vanishes.
#include "Crc32.h"
#include "LineSettings.h"
#include "LoadImage.h"
#include "SimLoadRig.h"

#include <QElapsedTimer>

using namespace monitor;

namespace
{
QByteArray bytesOf(int n)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 5 + i / 300) & 0xFF);
    return b;
}
} // namespace

TEST(LoadRobust, EveryReadingOfTheMonitorLoads)
{
    struct Case {
        const char* name;
        std::function<void(qx2sim::SimOptions&)> reading;
    };
    const Case cases[] = {
        {"strict instrument as it comes", [](qx2sim::SimOptions&) {}},
        {"prompt ends in \"> \"", [](qx2sim::SimOptions& o) { o.promptSpace = true; }},
        {"no echo", [](qx2sim::SimOptions& o) { o.noEcho = true; }},
        {"prompt only after the second CR", [](qx2sim::SimOptions& o) { o.answerOnCr = 2; }},
        {"prompt only after the fifth CR", [](qx2sim::SimOptions& o) { o.answerOnCr = 5; }},
        {"text before '+'", [](qx2sim::SimOptions& o) { o.noiseBeforePlus = 40; }},
        {"'=' after the last block", [](qx2sim::SimOptions& o) { o.equalsAfterLast = true; }},
        {"'&' twice before '-'", [](qx2sim::SimOptions& o) { o.extraAmp = 2; }},
        {"20 ms turnaround", [](qx2sim::SimOptions& o) { o.turnaroundMs = 20; }},
        {"paced at the client's rates",
         [](qx2sim::SimOptions& o) { o.lineRate = qx2sim::SimOptions::kClientRate; }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoadRig rig;
        qx2sim::SimOptions o = SimLoadRig::options();
        c.reading(o);
        ASSERT_TRUE(rig.start(o));
        const QByteArray image = bytesOf(2500);
        const QString file = rig.writeImage(QStringLiteral("R.RUN"), 0x601A, 0x10000, image);
        EXPECT_TRUE(rig.commands->OnLoadAny(file));
        EXPECT_TRUE(rig.feedback.messages.isEmpty())
            << rig.feedback.messages.value(0).text.toStdString();
        EXPECT_EQ(rig.sim->memory().violations, QStringList());
        ASSERT_TRUE(rig.sim->waitUntil(
            [](const qx2sim::MemoryModel& m) { return !m.programs.isEmpty(); }, 3000));
        const qx2sim::MemoryModel m = rig.sim->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_EQ(m.loads[0].outcome, QStringLiteral("complete"));
        EXPECT_EQ(m.read(0x10000, image.size()), image);
        EXPECT_EQ(rig.host.shown, crcReportLine(0x10000, uint32_t(image.size()), m.loads[0].crc));
        EXPECT_EQ(qx2sim::readLineSettings(rig.host.port->descriptor()).toString(),
                  QStringLiteral("9600 8N1"));
    }
}

TEST(LoadRobust, HexAndStagedFlashWithAPromptEndingInASpace)
{
    SimLoadRig rig;
    qx2sim::SimOptions o = SimLoadRig::options();
    o.promptSpace = true;
    ASSERT_TRUE(rig.start(o));
    const QString file = rig.writeImage(QStringLiteral("LOW.APP"), 0x601B, 0x2000, bytesOf(700));
    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    ASSERT_TRUE(rig.sim->waitUntil(
        [](const qx2sim::MemoryModel& m) {
            return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
        },
        3000));
    EXPECT_EQ(rig.sim->memory().hexLoads[0].raw, loadimage::sRecordTail(0x2000, 0x2000 + 700));
}

TEST(LoadRobust, WrongByteAtALaterBlock)
{
    SimLoadRig rig;
    qx2sim::SimOptions o = SimLoadRig::options();
    o.wrongAck = 'Q';
    o.wrongAckBlock = 3;
    ASSERT_TRUE(rig.start(o));
    const QString file = rig.writeImage(QStringLiteral("W.RUN"), 0x601A, 0x10000, bytesOf(5000));
    EXPECT_FALSE(rig.commands->OnLoadAny(file));
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_EQ(rig.feedback.messages[0].text, QStringLiteral("81 reply expecting '='"));
    EXPECT_EQ(rig.sim->memory().loads[0].blockLengths.size(), 2);
}

TEST(LoadRobust, DeviceVanishingMidLoadEndsItOnce)
{
    SimLoadRig rig;
    qx2sim::SimOptions o = SimLoadRig::options();
    o.vanishAfterBytes = 3000;
    ASSERT_TRUE(rig.start(o));
    const QString file = rig.writeImage(QStringLiteral("V.RUN"), 0x601A, 0x10000, bytesOf(20000));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(rig.commands->OnLoadAny(file));
    EXPECT_LT(t.elapsed(), 5000);
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_TRUE(rig.feedback.messages[0].text.startsWith(
        QStringLiteral("The serial port stopped working during the load")))
        << rig.feedback.messages[0].text.toStdString();
    EXPECT_EQ(rig.host.restarts, 1);
}
