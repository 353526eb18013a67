// The loads through a port server: qx2sim's device behind a real ser2net, reached as
// rfc2217://. What the strict instrument sees of the rates and formats is what counts.
#include "LineSettings.h"
#include "SimLoadRig.h"

namespace
{

QByteArray pattern(int n, int seed)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 37 + seed) & 0xFF);
    return b;
}

class RemoteLoad : public ::testing::Test
{
protected:
    void SetUp() override
    {
        if (Ser2netServer::program().isEmpty())
            GTEST_SKIP() << "ser2net is not installed";
        ASSERT_TRUE(rig.startRemote());
    }
    bool waitFor(const std::function<bool(const qx2sim::MemoryModel&)>& pred)
    {
        return rig.sim->waitUntil(pred, 5000);
    }
    SimLoadRig rig;
};

} // namespace

TEST_F(RemoteLoad, BlockLoadDataPhaseAt115200With2StopBits)
{
    const QByteArray image = pattern(3000, 5);
    const QString file = rig.writeImage(QStringLiteral("demo.run"), 0x601A, 0x10000, image);
    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    ASSERT_TRUE(waitFor([](const qx2sim::MemoryModel& m) { return !m.programs.isEmpty(); }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    EXPECT_EQ(m.violations, QStringList()) << "the strict instrument's view";
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_TRUE(m.loads[0].complete);
    EXPECT_EQ(m.loads[0].commandSettings.toString(), QStringLiteral("9600 8N2"));
    EXPECT_EQ(m.loads[0].dataSettings.toString(), QStringLiteral("115200 8N2"));
    EXPECT_EQ(m.read(0x10000, image.size()), image);
    EXPECT_EQ(rig.sim->lineSettings().toString(), QStringLiteral("9600 8N1")) << "put back";
}

TEST_F(RemoteLoad, HexFileAt57600)
{
    QByteArray text;
    for (int i = 0; i < 8; ++i) {
        const QByteArray bytes =
            QByteArray::fromHex(QByteArray::number(0x20000 + i * 16, 16).rightJustified(6, '0')) +
            pattern(16, i);
        uchar sum = uchar(bytes.size() + 1);
        for (char b : bytes)
            sum = uchar(sum + uchar(b));
        text += "S2" + QByteArray::number(bytes.size() + 1, 16).toUpper().rightJustified(2, '0') +
                bytes.toHex().toUpper() +
                QByteArray::number(uchar(~sum), 16).toUpper().rightJustified(2, '0') + "\r\n";
    }
    text += "S804000000FB\r\n";
    const QString file = rig.path(QStringLiteral("prog.s19"));
    writeAll(file, text);
    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    ASSERT_TRUE(waitFor([](const qx2sim::MemoryModel& m) {
        return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
    }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    EXPECT_EQ(m.violations, QStringList());
    EXPECT_EQ(m.hexLoads[0].raw, text);
    EXPECT_EQ(m.hexLoads[0].dataSettings.toString(), QStringLiteral("57600 8N1"));
    EXPECT_EQ(m.read(0x20000 + 16, 16), pattern(16, 1));
    EXPECT_EQ(rig.sim->lineSettings().toString(), QStringLiteral("9600 8N1"));
}
