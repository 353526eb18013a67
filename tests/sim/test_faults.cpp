// The switches that produce the faults and readings a host must survive,
// each observed over a real pty.
#include "SimHost.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <gtest/gtest.h>

#include <cerrno>
#include <ctime>
#include <poll.h>
#include <unistd.h>

using namespace qx2sim;
using simtest::SimRig;

namespace
{

const QByteArray kPrompt = "C:\\>";

SimOptions linkOptions()
{
    SimOptions o = simtest::fastOptions();
    o.skiffer = true;
    return o;
}

void writeCardFile(SimRig& rig, const QString& name, const QByteArray& bytes)
{
    QFile f(rig.engine->cardRoot() + QLatin1Char('/') + name);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

// Time until the first byte arrives, and what arrived until the line was quiet.
qint64 firstByteAfter(simtest::HostPort& host, const QByteArray& send, QByteArray* got)
{
    const auto t = std::chrono::steady_clock::now();
    host.write(send);
    *got = host.readExactly(1, 3000);
    const qint64 ms = simtest::msSince(t);
    *got += host.readUntilQuiet(150, 3000);
    return ms;
}

} // namespace

TEST(SimFaults, PromptEchoAndWakeUp)
{
    {
        SCOPED_TRACE("--prompt-space");
        SimOptions o = simtest::fastOptions();
        o.promptSpace = true;
        SimRig rig;
        QByteArray hello;
        ASSERT_TRUE(rig.start(o, &hello));
        EXPECT_EQ(rig.host.readFor(50), QByteArray(" "));
        rig.host.write("\r");
        EXPECT_EQ(rig.host.readUntilQuiet(80, 1000), "\r\nC:\\> ");
    }
    {
        SCOPED_TRACE("--no-echo");
        SimOptions o = simtest::fastOptions();
        o.noEcho = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("VER\r");
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000),
                  "\r\nZelkon DOS 3.1 on Vantrel QX2 (qx2sim)\r\n" + kPrompt);
    }
    {
        SCOPED_TRACE("--answer-on-cr 3");
        SimOptions o = simtest::fastOptions();
        o.answerOnCr = 3;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        std::this_thread::sleep_for(std::chrono::milliseconds(350));
        for (int round = 0; round < 2; ++round) {
            SCOPED_TRACE(round);
            rig.host.write("\b.\r");
            EXPECT_EQ(rig.host.readFor(75), QByteArray());
            rig.host.write("\r");
            EXPECT_EQ(rig.host.readFor(75), QByteArray());
            rig.host.write("\r");
            EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
            // Commands are answered at once within the same wake-up.
            rig.host.write("\r");
            EXPECT_EQ(rig.host.readUntil(kPrompt, 500), "\r\n" + kPrompt);
            // After quiet a new wake-up is deaf again.
            std::this_thread::sleep_for(std::chrono::milliseconds(350));
        }
    }
    {
        SCOPED_TRACE("--turnaround 120");
        SimOptions o = simtest::fastOptions();
        o.turnaroundMs = 120;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        QByteArray got;
        const qint64 ms = firstByteAfter(rig.host, "\r", &got);
        EXPECT_GE(ms, 115);
        EXPECT_LT(ms, 400);
        EXPECT_EQ(got, "\r\n" + kPrompt);
    }
}

TEST(SimFaults, LoadReplies)
{
    const QByteArray data = simtest::testPattern(2048, 5);
    {
        SCOPED_TRACE("--noise-before-plus 120");
        SimOptions o = simtest::fastOptions();
        o.noiseBeforePlus = 120;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        const QByteArray cmd = simtest::loadLine(0x1C200, 0x10000, 16);
        rig.host.write(cmd);
        EXPECT_EQ(rig.host.readUntil("+", 1000), cmd + "\n" + QByteArray(120, '*') + "+");
    }
    {
        SCOPED_TRACE("--wrong-ack X --wrong-ack-block 2");
        SimOptions o = simtest::fastOptions();
        o.wrongAck = 'X';
        o.wrongAckBlock = 2;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 2048), QByteArray("="));
        rig.host.write(simtest::loadBlock(data.left(1024)));
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("X"));
        const MemoryModel m = rig.engine->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_FALSE(m.loads[0].complete);
        EXPECT_EQ(m.loads[0].data, data.left(1024));
    }
    {
        SCOPED_TRACE("--equals-after-last");
        SimOptions o = simtest::fastOptions();
        o.equalsAfterLast = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 2048), QByteArray("="));
        rig.host.write(simtest::loadBlock(data.left(1024)));
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
        rig.host.write(simtest::loadBlock(data.mid(1024)));
        EXPECT_EQ(rig.host.readExactly(1, 1000), QByteArray("="));
        rig.host.write(QByteArray(2, '\0'));
        EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "-\r\n" + kPrompt);
        EXPECT_TRUE(rig.engine->memory().loads.value(0).complete);
    }
    {
        SCOPED_TRACE("--program-waits-for-etx");
        SimOptions o = simtest::fastOptions();
        o.programWaitsForEtx = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        ASSERT_EQ(simtest::beginCorrectLoad(rig, 0x10000, 4), QByteArray("="));
        rig.host.write(simtest::loadBlock("abcd") + QByteArray(2, '\0'));
        rig.host.readUntil(kPrompt, 1000);
        ASSERT_TRUE(rig.host.setLine(9600, 8, 'N', 1));
        rig.host.write("G");
        EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), "G\r\nQX2 program at 010000 running\r\n");
        // The wake-up goes unanswered until the ETX of attempt 1.
        rig.host.write("\b.\r\r\r.\r");
        EXPECT_EQ(rig.host.readFor(150), QByteArray());
        rig.host.write("\x03\r");
        EXPECT_EQ(rig.host.readUntil("ended\r\n" + kPrompt + "\r\n" + kPrompt, 1000),
                  "^C\r\nQX2 program ended\r\n" + kPrompt + "\r\n" + kPrompt);
    }
}

TEST(SimFaults, LoDownloadWithoutPercent)
{
    struct Row {
        const char* name;
        bool afterLo;
        bool afterData;
        QByteArray firstReply;
        QByteArray endReply;
    };
    const Row rows[] = {
        {"--no-percent-after-lo", true, false, "lo ;B3+\r\n", "%"},
        {"--no-percent-after-data", false, true, "lo ;B3+\r\n%", ""},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        SimOptions o = simtest::fastOptions();
        o.noPercentAfterLo = r.afterLo;
        o.noPercentAfterData = r.afterData;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("mon\r");
        rig.host.readUntil("QX2>", 1000);
        rig.host.write("lo ;B3+\r");
        EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), r.firstReply);
        ASSERT_TRUE(rig.host.setLine(57600, 8, 'N', 1));
        rig.host.write("S9030000FC\r\n");
        EXPECT_EQ(rig.host.readUntilQuiet(100, 1000), r.endReply);
        ASSERT_TRUE(rig.engine->waitUntil(
            [](const MemoryModel& m) { return !m.hexLoads.isEmpty(); }, 1000));
        EXPECT_TRUE(rig.engine->memory().hexLoads[0].endSeen);
    }
}

TEST(SimFaults, LinkReplies)
{
    {
        SCOPED_TRACE("--listing-delay 250");
        SimOptions o = linkOptions();
        o.listingDelayMs = 250;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        QByteArray got;
        EXPECT_GE(firstByteAfter(rig.host, "cC:\\\nd", &got), 245);
        EXPECT_TRUE(got.startsWith(" Volume in drive C is QX2CARD\n"));
        EXPECT_TRUE(got.endsWith("bytes free\n"));
    }
    {
        SCOPED_TRACE("--tdate-delay 250 --nul-in-clock-reply");
        SimOptions o = linkOptions();
        o.tdateDelayMs = 250;
        o.nulInClockReply = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        QByteArray got;
        EXPECT_GE(firstByteAfter(rig.host, "tdate 01-01-2020 12:05:09 a\n", &got), 245);
        EXPECT_TRUE(got.contains(QByteArray("\r\n\0Clock now 01-01-2020 00:05:09\r\n", 33)))
            << got.toHex().constData();
    }
    {
        SCOPED_TRACE("--nul-in-listing");
        SimOptions o = linkOptions();
        o.nulInListing = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("cC:\\\nd");
        const QByteArray got = rig.host.readUntilQuiet(150, 2000);
        EXPECT_TRUE(
            got.contains(QByteArray("README.TXT               104 07-04-20 12:00p\0\n", 46)));
        EXPECT_TRUE(got.startsWith(" Volume in drive C is QX2CARD\n"));
    }
    {
        SCOPED_TRACE("--missing-file-text");
        SimOptions o = linkOptions();
        o.missingFileText = true;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("sNOPE.TXT\n");
        EXPECT_EQ(rig.host.readUntilQuiet(150, 1000), QByteArray(" File not found\r\n"));
    }
    {
        SCOPED_TRACE("--download-pause 300");
        SimOptions o = linkOptions();
        o.downloadPauseMs = 300;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        const QByteArray file = simtest::testPattern(2000, 2);
        writeCardFile(rig, QStringLiteral("P.DAT"), file);
        rig.host.write("sP.DAT\n");
        const QByteArray first = rig.host.readUntilQuiet(150, 2000);
        EXPECT_EQ(first, file.left(1000));
        const auto t = std::chrono::steady_clock::now();
        const QByteArray rest = rig.host.readExactly(1000, 2000);
        EXPECT_GE(simtest::msSince(t), 100); // the pause went on after the 150 ms quiet
        EXPECT_EQ(rest, file.mid(1000));
    }
}

TEST(SimFaults, UploadTextAndStall)
{
    struct Row {
        const char* when;
        QByteArray text;
    };
    const Row rows[] = {{"during", " Receiving C:\\U.TXT\r\n"}, {"after", " C:\\U.TXT stored\r\n"}};
    for (const Row& r : rows) {
        SCOPED_TRACE(r.when);
        SimOptions o = linkOptions();
        o.uploadText = QLatin1String(r.when);
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        rig.host.write("rU.TXT\t10\n12345");
        const QByteArray mid = rig.host.readUntilQuiet(100, 1000);
        rig.host.write("67890");
        const QByteArray end = rig.host.readUntilQuiet(100, 1000);
        EXPECT_EQ(mid + end, r.text);
        EXPECT_EQ(QByteArray(r.when) == "during" ? mid : end, r.text);
        EXPECT_EQ(simtest::fileBytes(rig.engine->cardRoot() + QStringLiteral("/U.TXT")),
                  QByteArray("1234567890"));
    }
    {
        SCOPED_TRACE("--upload-stall-after 1000");
        SimOptions o = linkOptions();
        o.uploadStallAfter = 1000;
        o.timing.uploadIdleMs = 400;
        SimRig rig;
        ASSERT_TRUE(rig.start(o));
        const qint64 size = 1 << 20;
        rig.host.write("rBIG.DAT\t" + QByteArray::number(size) + "\n");
        // The host writes until the pty is full; then its writes stall.
        const QByteArray piece(4096, 'u');
        qint64 written = 0;
        const auto t = std::chrono::steady_clock::now();
        bool stalled = false;
        while (simtest::msSince(t) < 250) {
            const ssize_t n = ::write(rig.host.handle(), piece.constData(), size_t(piece.size()));
            if (n > 0) {
                written += n;
            } else if (n < 0 && errno == EAGAIN) {
                stalled = true;
                pollfd p{rig.host.handle(), POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        }
        EXPECT_TRUE(stalled);
        EXPECT_LT(written, size);
        // After the upload time-out the upload is discarded and reading goes on.
        ASSERT_TRUE(rig.engine->waitUntil(
            [](const MemoryModel& m) { return !m.cardFiles.isEmpty(); }, 2000));
        const MemoryModel m = rig.engine->memory();
        EXPECT_EQ(m.cardFiles[0].kind, CardFileRecord::UploadDiscarded);
        EXPECT_EQ(m.cardFiles[0].size, 1000);
        EXPECT_FALSE(QFileInfo::exists(rig.engine->cardRoot() + QStringLiteral("/BIG.DAT")));
    }
}

TEST(SimFaults, DeviceVanishesAndComesBack)
{
    SimOptions o = simtest::fastOptions();
    o.vanishAfterBytes = 4;
    o.comeBackMs = 300;
    SimRig rig;
    ASSERT_TRUE(rig.start(o));
    const QString firstDevice = rig.engine->deviceName();
    rig.host.write("VER\r");
    // The host's descriptor hangs up: poll reports it, the link is gone.
    pollfd p{rig.host.handle(), POLLIN, 0};
    bool hungUp = false;
    const auto t = std::chrono::steady_clock::now();
    while (!hungUp && simtest::msSince(t) < 1000) {
        p.revents = 0;
        ::poll(&p, 1, 50);
        char buf[256];
        hungUp = (p.revents & (POLLHUP | POLLERR)) ||
                 ((p.revents & POLLIN) && ::read(rig.host.handle(), buf, sizeof buf) <= 0);
    }
    EXPECT_TRUE(hungUp);
    EXPECT_FALSE(QFileInfo(rig.linkPath()).isSymLink());
    // Back after the pause, a new device at the same link path.
    const auto back = std::chrono::steady_clock::now();
    while (!QFileInfo(rig.linkPath()).isSymLink() && simtest::msSince(back) < 2000)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(QFileInfo(rig.linkPath()).isSymLink());
    rig.host.close();
    ASSERT_TRUE(rig.host.open(rig.linkPath()));
    rig.host.write("\r");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "\r\n" + kPrompt);
    EXPECT_NE(rig.engine->deviceName(), firstDevice);
}

TEST(SimFaults, DeviceVanishesAfterATime)
{
    SimOptions o = simtest::fastOptions();
    o.vanishAfterMs = 200;
    SimRig rig;
    ASSERT_TRUE(rig.start(o));
    rig.host.write("\r");
    EXPECT_EQ(rig.host.readUntil(kPrompt, 1000), "\r\n" + kPrompt);
    const auto t = std::chrono::steady_clock::now();
    pollfd p{rig.host.handle(), POLLIN, 0};
    while (!(p.revents & (POLLHUP | POLLERR)) && simtest::msSince(t) < 2000) {
        p.revents = 0;
        ::poll(&p, 1, 50);
    }
    EXPECT_TRUE(p.revents & (POLLHUP | POLLERR));
    EXPECT_FALSE(QFileInfo(rig.linkPath()).isSymLink());
    // It stays away without --come-back.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(QFileInfo(rig.linkPath()).isSymLink());
}

// Faults of the simulator itself, found by attacking it.
TEST(SimOwnFaults, BigSendsCostTheSamePerByteAndStopOnAbort)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(linkOptions()));
    // Both sizes stay within a processor cache's reach, so that cache sharing
    // with other processes does not bend the ratio.
    const int small = 2 << 20;
    const int big = 8 << 20;
    writeCardFile(rig, QStringLiteral("S.DAT"), QByteArray(small, 's'));
    writeCardFile(rig, QStringLiteral("B.DAT"), QByteArray(big, 'b'));
    // The processor time of this process (the simulator's threads and the
    // reader): a shared machine stretches the wall clock, not the work done.
    auto cpuMs = [] {
        timespec ts{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
        return qint64(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
    };
    auto timeOf = [&](const QByteArray& request, int size) {
        const qint64 t = cpuMs();
        rig.host.write(request);
        const QByteArray got = rig.host.readExactly(size, 20000);
        EXPECT_EQ(got.size(), size);
        return qMax<qint64>(1, cpuMs() - t);
    };
    // Best of three each, against what noise is left.
    auto bestOf = [&](const QByteArray& request, int size) {
        return qMin(qMin(timeOf(request, size), timeOf(request, size)), timeOf(request, size));
    };
    const qint64 smallMs = qMax(bestOf("sS.DAT\n", small), qint64(5));
    const qint64 bigMs = bestOf("sB.DAT\n", big);
    // Four times the bytes: about four times the time, where a cost per piece
    // that grew with the size gave twelve and more.
    EXPECT_LT(double(bigMs) / double(smallMs), 8.0) << smallMs << " ms vs " << bigMs << " ms";
    EXPECT_LT(bigMs, 10000);

    // 'a' in the middle of a big send: the rest stops at once.
    rig.host.write("sB.DAT\n");
    ASSERT_EQ(rig.host.readExactly(1 << 20, 5000).size(), 1 << 20);
    const auto t = std::chrono::steady_clock::now();
    rig.host.write("a");
    QByteArray after;
    // Read until the line has been quiet for 50 ms.
    after = rig.host.readUntilQuiet(50, 5000);
    EXPECT_LT(simtest::msSince(t), 250);
    EXPECT_LT(after.size(), big / 2);
    ASSERT_TRUE(rig.engine->waitUntil(
        [](const MemoryModel& m) {
            return !m.cardFiles.isEmpty() && m.cardFiles.last().kind == CardFileRecord::SendAborted;
        },
        1000));
}

TEST(SimOwnFaults, UploadNameWithANulIsRefused)
{
    SimRig rig;
    ASSERT_TRUE(rig.start(linkOptions()));
    const QString root = rig.engine->cardRoot();
    const QStringList before = QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    rig.host.write(QByteArray("rAB\0CD.TXT\t3\nxyz", 16));
    ASSERT_TRUE(
        rig.engine->waitUntil([](const MemoryModel& m) { return !m.cardFiles.isEmpty(); }, 1000));
    EXPECT_EQ(rig.engine->memory().cardFiles[0].kind, CardFileRecord::UploadDiscarded);
    EXPECT_EQ(QDir(root).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), before);
    // The link still answers.
    rig.host.write("cC:\\\nd");
    EXPECT_TRUE(rig.host.readUntilQuiet(150, 2000).endsWith("bytes free\n"));
}
