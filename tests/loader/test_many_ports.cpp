// `brennock --load FILE --port A --port B ...` end to end: the real program against four
// qx2sim instances on ptys, one of which may vanish halfway through its load.
#include "Crc32.h"
#include "SimLoadRig.h"

#include <array>

using namespace monitor;

namespace
{

constexpr int kPorts = 4;
constexpr int kImageBytes = 32 * 1024;

struct ManyPortRun {
    std::array<SimLoadRig, kPorts> rigs;
    QStringList args;
    QByteArray image;

    // Starts the instruments (the one at vanishing, if any, goes away after half the
    // image) and names every port to the program.
    bool start(int vanishing)
    {
        for (int i = 0; i < kPorts; ++i) {
            qx2sim::SimOptions o = SimLoadRig::options();
            if (i == vanishing)
                o.vanishAfterBytes = kImageBytes / 2;
            if (!rigs[i].start(o))
                return false;
            rigs[i].host.port.reset(); // the program opens the device itself
            args << QStringLiteral("--port") << link(i);
        }
        for (int i = 0; i < kImageBytes; ++i)
            image += char((i * 7 + i / 509) & 0xFF);
        args << QStringLiteral("--load")
             << rigs[0].writeImage(QStringLiteral("RACK.RUN"), 0x601A, 0x10000, image);
        return true;
    }
    QString link(int i) const { return rigs[i].dir.path() + QStringLiteral("/link"); }
    ProgramRun run() const { return runBrennock(args, rigs[0].path(QStringLiteral("config"))); }
};

// The table's line of a port, empty when there is none.
QByteArray tableLine(const QByteArray& out, const QString& port)
{
    for (const QByteArray& line : out.split('\n')) {
        if (line.startsWith(port.toLocal8Bit() + ' '))
            return line;
    }
    return QByteArray();
}

} // namespace

TEST(ManyPortLoad, EveryPortLoadsOnItsOwnAndTheTableNamesTheFailure)
{
    const struct {
        const char* name;
        int vanishing;
        int wantExit;
    } cases[] = {
        {"every instrument there", -1, 0},
        {"the third goes away halfway", 2, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ManyPortRun rack;
        ASSERT_TRUE(rack.start(c.vanishing));
        const ProgramRun r = rack.run();
        EXPECT_EQ(r.exitCode, c.wantExit) << r.err.toStdString();
        EXPECT_TRUE(r.out.startsWith("PORT ")) << r.out.toStdString();
        const QByteArray wantCrc =
            crcReportLine(0x10000, kImageBytes,
                          Crc32Update(reinterpret_cast<const uchar*>(rack.image.constData()),
                                      rack.image.size(), 0))
                .trimmed();
        for (int i = 0; i < kPorts; ++i) {
            SCOPED_TRACE(i);
            const QByteArray line = tableLine(r.out, rack.link(i));
            const qx2sim::MemoryModel m = rack.rigs[i].sim->memory();
            if (i == c.vanishing) {
                EXPECT_TRUE(line.contains(" failed ")) << line.toStdString();
                EXPECT_FALSE(line.contains("###BK"));
                EXPECT_TRUE(r.err.contains(QFile::encodeName(rack.link(i)) +
                                           ": Error: The serial port stopped working"))
                    << r.err.toStdString();
                EXPECT_TRUE(r.err.contains("brennock: the load failed on " +
                                           QFile::encodeName(rack.link(i)) + " (1 of 4 ports)"));
                continue;
            }
            EXPECT_TRUE(line.contains(" ok ")) << line.toStdString();
            EXPECT_TRUE(line.contains(wantCrc)) << line.toStdString();
            ASSERT_EQ(m.loads.size(), 1);
            EXPECT_TRUE(m.loads[0].complete);
            EXPECT_EQ(m.loads[0].data, rack.image);
        }
        // Not a terminal: plain progress lines, each naming its port.
        EXPECT_TRUE(r.err.contains(QFile::encodeName(rack.link(1)) + ": Sending CPM68K File: "))
            << r.err.toStdString();
    }
}

TEST(ManyPortLoad, WhatSeveralPortsCannotDoIsAUsageError)
{
    ManyPortRun rack;
    ASSERT_TRUE(rack.start(-1));
    const struct {
        const char* name;
        QStringList extra;
        const char* wantErr;
    } cases[] = {
        {"a console script",
         {QStringLiteral("--expect"), QStringLiteral("running")},
         "the script steps (--send, --expect, ...) talk to one port"},
        {"a port named twice", {QStringLiteral("--port"), rack.link(1)}, "are the same port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const ProgramRun r =
            runBrennock(rack.args + c.extra, rack.rigs[0].path(QStringLiteral("config")));
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_TRUE(r.err.contains(c.wantErr)) << r.err.toStdString();
        EXPECT_TRUE(r.out.isEmpty());
    }
    for (const SimLoadRig& rig : rack.rigs)
        EXPECT_TRUE(rig.sim->memory().loads.isEmpty()) << "nothing was loaded";
}
