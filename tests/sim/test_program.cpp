// The qx2sim program itself: its switches, READY, the link, the log, and a
// clean end on SIGTERM and SIGINT.
#include "Crc32.h"
#include "SimHost.h"
#include "SimLog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <csignal>

using namespace qx2sim;

namespace
{

const QString kProgram = QStringLiteral(QX2SIM_PATH);

// Starts qx2sim and waits for its READY line; returns the device it names.
QString startAndWaitReady(QProcess& p, const QStringList& args)
{
    p.setProgram(kProgram);
    p.setArguments(args);
    p.start();
    if (!p.waitForStarted(5000))
        return QString();
    QByteArray out;
    const auto t = std::chrono::steady_clock::now();
    while (!out.contains('\n') && simtest::msSince(t) < 5000) {
        if (!p.waitForReadyRead(100) && p.state() != QProcess::Running)
            break;
        out += p.readAllStandardOutput();
    }
    if (!out.startsWith("READY ") || !out.endsWith("\n"))
        return QString();
    return QString::fromLocal8Bit(out.mid(6).trimmed());
}

} // namespace

TEST(SimProgram, HelpListsEverySwitch)
{
    QProcess p;
    p.start(kProgram, {QStringLiteral("--help")});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 0);
    const QString help = QString::fromLocal8Bit(p.readAllStandardOutput());
    const char* switches[] = {
        "--link PATH",
        "--card DIR",
        "--skiffer",
        "--log FILE",
        "--line-rate BPS",
        "--no-prompt",
        "--prompt-delay MS",
        "--no-plus",
        "--wrong-ack BYTE",
        "--stall-after-blocks N",
        "--no-minus",
        "--extra-amp K",
        "--chunked-listing SIZE:GAPMS",
        "--crlf-listing",
        "--stall-download-after N",
        "--silent",
        "--odd-names",
        "--baud N",
        "--save-loads DIR",
        "--lenient",
        "--turnaround MS",
        "--wrong-ack-block N",
        "--equals-after-last",
        "--noise-before-plus N",
        "--no-percent-after-lo",
        "--no-percent-after-data",
        "--prompt-space",
        "--answer-on-cr N",
        "--no-echo",
        "--program-waits-for-etx",
        "--listing-delay MS",
        "--tdate-delay MS",
        "--download-pause MS",
        "--nul-in-listing",
        "--nul-in-clock-reply",
        "--missing-file-text",
        "--upload-text WHEN",
        "--upload-stall-after N",
        "--upload-timeout MS",
        "--vanish-after-bytes N",
        "--vanish-after-ms MS",
        "--come-back MS",
        "--help",
    };
    for (const char* s : switches)
        EXPECT_TRUE(help.contains(QLatin1String(s))) << s;
    // The commands that start the server and enter the monitor are named.
    EXPECT_TRUE(help.contains(QLatin1String("SKIFFER")));
    EXPECT_TRUE(help.contains(QLatin1String("MON")));
}

TEST(SimProgram, BadSwitchIsRefusedWithAReason)
{
    QProcess p;
    p.start(kProgram, {QStringLiteral("--line-rate"), QStringLiteral("fast")});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 2);
    EXPECT_TRUE(p.readAllStandardError().contains("--line-rate"));
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());
}

TEST(SimProgram, ServesUntilSigtermAndRemovesTheLink)
{
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    const QString logPath = dir.path() + QStringLiteral("/sim.log");
    QProcess p;
    const QString device =
        startAndWaitReady(p, {QStringLiteral("--link"), link, QStringLiteral("--skiffer"),
                              QStringLiteral("--log"), logPath});
    ASSERT_FALSE(device.isEmpty());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);
    // Exactly one line on standard output.
    EXPECT_TRUE(p.readAllStandardOutput().isEmpty());

    simtest::HostPort host;
    ASSERT_TRUE(host.open(link));
    host.readUntil("\r\n", 1000);
    ASSERT_TRUE(host.setLine(115200, 8, 'N', 1));
    host.write("cC:\\\nd");
    const QByteArray listing = host.readUntilQuiet(150, 3000);
    EXPECT_TRUE(listing.startsWith(" Volume in drive C is QX2CARD\n"));
    EXPECT_TRUE(listing.contains("\nDATA           <DIR>  "));
    host.close();

    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(3000));
    EXPECT_EQ(p.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_FALSE(QFileInfo::exists(link) || QFileInfo(link).isSymLink());

    // The log holds the request and the reply, with the client's line settings.
    bool ok = false;
    const QList<LogRecord> records = readLogFile(logPath, &ok);
    ASSERT_TRUE(ok);
    QByteArray rx;
    QByteArray tx;
    bool sawEvent = false;
    for (const LogRecord& r : records) {
        if (r.kind == LogRecord::Rx) {
            rx += r.bytes;
            EXPECT_EQ(r.settings.toString(), QStringLiteral("115200 8N1"));
        } else if (r.kind == LogRecord::Tx) {
            tx += r.bytes;
        } else if (r.event.startsWith(QLatin1String("link: d C:\\"))) {
            sawEvent = true;
        }
    }
    EXPECT_EQ(rx, QByteArray("cC:\\\nd"));
    EXPECT_TRUE(tx.endsWith(listing));
    EXPECT_TRUE(sawEvent);
}

TEST(SimProgram, SigintEndsItTooAndAStaleLinkIsReplaced)
{
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    // A link left behind by a run that was killed.
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/pts/nonexistent"), link));
    QProcess p;
    const QString device = startAndWaitReady(p, {QStringLiteral("--link"), link});
    ASSERT_FALSE(device.isEmpty());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);
    simtest::HostPort host;
    ASSERT_TRUE(host.open(link));
    EXPECT_TRUE(host.readUntil("C:\\>", 1000).endsWith("C:\\>"));
    host.write("\b.\r");
    EXPECT_EQ(host.readUntil("C:\\>", 1000), QByteArray(".\r\nC:\\>"));
    ::kill(pid_t(p.processId()), SIGINT);
    ASSERT_TRUE(p.waitForFinished(3000));
    EXPECT_EQ(p.exitCode(), 0);
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(SimProgram, RefusesToReplaceAnOrdinaryFile)
{
    QTemporaryDir dir;
    const QString path = dir.path() + QStringLiteral("/precious");
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write("keep me");
    f.close();
    QProcess p;
    p.start(kProgram, {QStringLiteral("--link"), path});
    ASSERT_TRUE(p.waitForFinished(5000));
    EXPECT_EQ(p.exitCode(), 1);
    EXPECT_TRUE(p.readAllStandardError().contains("not a symbolic link"));
    EXPECT_EQ(simtest::fileBytes(path), QByteArray("keep me"));
}

TEST(SimProgram, ASecondInstrumentDoesNotTakeOverALiveLink)
{
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    QProcess first;
    const QString device = startAndWaitReady(first, {QStringLiteral("--link"), link});
    ASSERT_FALSE(device.isEmpty());
    QProcess second;
    second.start(kProgram, {QStringLiteral("--link"), link});
    ASSERT_TRUE(second.waitForFinished(5000));
    EXPECT_EQ(second.exitCode(), 1);
    EXPECT_TRUE(second.readAllStandardError().contains("in use"));
    // The first still owns the link and answers there.
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);
    simtest::HostPort host;
    ASSERT_TRUE(host.open(link));
    host.write("\r");
    EXPECT_TRUE(host.readUntil("C:\\>", 1000).endsWith("C:\\>"));
    ::kill(pid_t(first.processId()), SIGTERM);
    ASSERT_TRUE(first.waitForFinished(3000));
}

TEST(SimProgram, AStaleLinkToAReusedDeviceIsReplaced)
{
    // A killed instrument leaves its link behind, and its pty number soon belongs to
    // another program: a device that exists behind the link is not a live instrument.
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    ASSERT_TRUE(QFile::link(QStringLiteral("/dev/null"), link));
    QProcess p;
    const QString device = startAndWaitReady(p, {QStringLiteral("--link"), link});
    ASSERT_FALSE(device.isEmpty());
    EXPECT_EQ(QFileInfo(link).symLinkTarget(), device);
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(3000));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
}

TEST(SimProgram, SigtermEndsItQuicklyDuringABigSend)
{
    QTemporaryDir dir;
    const QString card = dir.path() + QStringLiteral("/card");
    ASSERT_TRUE(QDir().mkpath(card));
    {
        QFile f(card + QStringLiteral("/HUGE.DAT"));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        ASSERT_TRUE(f.resize(48 << 20));
    }
    const QString link = dir.path() + QStringLiteral("/qx2");
    QProcess p;
    ASSERT_FALSE(startAndWaitReady(p, {QStringLiteral("--link"), link, QStringLiteral("--card"),
                                       card, QStringLiteral("--skiffer")})
                     .isEmpty());
    simtest::HostPort host;
    ASSERT_TRUE(host.open(link));
    host.readUntil("\r\n", 1000);
    host.write("sHUGE.DAT\n");
    // The host reads a little and then stops reading: the sender has a full line.
    ASSERT_EQ(host.readExactly(100000, 3000).size(), 100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto t = std::chrono::steady_clock::now();
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(3000));
    EXPECT_LT(simtest::msSince(t), 500);
    EXPECT_EQ(p.exitCode(), 0);
}

TEST(SimProgram, ALoadReadsBackFromTheLogAndTheSavedBytes)
{
    QTemporaryDir dir;
    const QString link = dir.path() + QStringLiteral("/qx2");
    const QString logPath = dir.path() + QStringLiteral("/sim.log");
    QProcess p;
    ASSERT_FALSE(startAndWaitReady(p, {QStringLiteral("--link"), link, QStringLiteral("--log"),
                                       logPath, QStringLiteral("--save-loads"), dir.path()})
                     .isEmpty());
    simtest::HostPort host;
    ASSERT_TRUE(host.open(link));
    host.readUntil("C:\\>", 1000);
    const QByteArray data = simtest::testPattern(1500, 3);
    const QByteArray cmd = simtest::loadLine(0x1C200, 0x10000, 1500);
    host.write(cmd);
    ASSERT_TRUE(host.readUntil("+", 1000).endsWith("+"));
    ASSERT_TRUE(host.setLine(115200, 8, 'N', 2));
    host.write("+");
    ASSERT_EQ(host.readExactly(1, 1000), QByteArray("="));
    host.write(simtest::loadBlock(data.left(1024)));
    ASSERT_EQ(host.readExactly(1, 1000), QByteArray("="));
    host.write(simtest::loadBlock(data.mid(1024)) + QByteArray(2, '\0'));
    EXPECT_TRUE(host.readUntil("C:\\>", 1000).startsWith("-"));
    ::kill(pid_t(p.processId()), SIGTERM);
    ASSERT_TRUE(p.waitForFinished(3000));

    EXPECT_EQ(simtest::fileBytes(dir.path() + QStringLiteral("/load-1-00010000.bin")), data);
    QString done;
    QString end;
    for (const LogRecord& r : readLogFile(logPath)) {
        if (r.event.startsWith(QLatin1String("LOAD done")))
            done = r.event;
        if (r.event.startsWith(QLatin1String("session end")))
            end = r.event;
    }
    const quint32 crc = Crc32Update(data.constData(), std::size_t(data.size()), 0);
    const QString crcField =
        QStringLiteral("crc=") + QStringLiteral("%1 ").arg(crc, 8, 16, QLatin1Char('0')).toUpper();
    EXPECT_TRUE(done.contains(crcField)) << qPrintable(done);
    EXPECT_TRUE(done.contains(QLatin1String("received=1500 blocks=2")));
    EXPECT_TRUE(done.contains(QLatin1String("data-settings=115200 8N2 command-settings=9600 8N1")));
    EXPECT_TRUE(done.endsWith(QLatin1String("violations=none")));
    EXPECT_TRUE(end.contains(QLatin1String("all-violations=0")));
}
