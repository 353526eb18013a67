// Every load path end to end against qx2sim on a pty: what arrives in the
// instrument's memory, at which rate and format, what the user is told, and the
// line put back after every exit.
#include "Crc32.h"
#include "LineSettings.h"
#include "LoadImage.h"
#include "SimLoadRig.h"
#include "SimLog.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>

#include <thread>

using namespace monitor;

QString SimLoadRig::deviceSettings() const
{
    return qx2sim::readLineSettings(host.port->descriptor()).toString();
}

namespace
{

QByteArray pattern(int n, int seed = 1)
{
    QByteArray b(n, '\0');
    for (int i = 0; i < n; ++i)
        b[i] = char((i * 31 + seed + i / 251) & 0xFF);
    return b;
}

quint32 crcOf(const QByteArray& d)
{
    return Crc32Update(reinterpret_cast<const uchar*>(d.constData()), d.size(), 0);
}

bool waitFor(const SimLoadRig& rig, const std::function<bool(const qx2sim::MemoryModel&)>& pred)
{
    return rig.sim->waitUntil(pred, 3000);
}

} // namespace

TEST(LoadSim, RunFileLoadsAtItsAddressAndStarts)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    const QByteArray image = pattern(5000);
    const QString file = rig.writeImage(QStringLiteral("demo.run"), 0x601A, 0x10000, image);

    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) { return !m.programs.isEmpty(); }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    ASSERT_EQ(m.loads.size(), 1);
    const qx2sim::LoadRecord& load = m.loads[0];
    EXPECT_EQ(load.commandLine, QStringLiteral("LOAD 0001C200 00010000 00001388"));
    EXPECT_TRUE(load.complete);
    EXPECT_TRUE(load.trailersOk);
    EXPECT_EQ(load.blockLengths, (QList<int>{1024, 1024, 1024, 1024, 904}));
    EXPECT_EQ(m.read(0x10000, image.size()), image);
    EXPECT_EQ(load.crc, crcOf(image));
    // Load mode (8N2) from the wake-up on; the command at the terminal rate, the data
    // at the download rate.
    EXPECT_EQ(load.commandSettings.toString(), QStringLiteral("9600 8N2"));
    EXPECT_EQ(load.dataSettings.baud, 115200);
    EXPECT_EQ(load.dataSettings.dataBits, 8);
    EXPECT_EQ(load.dataSettings.parity, 'N');
    EXPECT_EQ(load.dataSettings.stopBits, 2);
    EXPECT_EQ(m.programs.constFirst().how, QStringLiteral("G"));
    EXPECT_EQ(m.programs.constFirst().address, 0x10000u);
    // The report line carries the instrument's CRC.
    EXPECT_EQ(rig.host.shown, crcReportLine(0x10000, uint32_t(image.size()), load.crc));
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
    EXPECT_EQ(rig.host.stops, 1);
    EXPECT_EQ(rig.host.restarts, 1);
    EXPECT_EQ(rig.host.recent, QStringList{file});
    EXPECT_EQ(rig.commands->readPath("PostLinkSpec"), file);
    EXPECT_EQ(rig.commands->readPath("LastLoad"), file);
    EXPECT_EQ(rig.commands->readPath("LastDir"), rig.dir.path() + QLatin1Char('/'));
}

TEST(LoadSim, FlashApplicationTrailerCases)
{
    const struct {
        const char* name;
        quint32 address;
        int size;
        bool withTrailer;
        int wantCount;
    } cases[] = {
        {"boundary with trailer: as read", 0xE40000, 0x10000, true, 0x10000},
        {"boundary without: +64 KiB", 0xE40000, 0x10000, false, 0x20000},
        {"17 bytes below a boundary: +32", 0xE50000, 0x10000 - 17, false, 0x10000 - 17 + 32},
        {"0xE41000: no trailer", 0xE41000, 3000, false, 3000},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoadRig rig;
        ASSERT_TRUE(rig.start());
        QByteArray image = pattern(c.size, c.size);
        if (c.withTrailer)
            image.replace(c.size - 32, 32, loadimage::trailerBytes(0xCAFEF00D, quint32(c.size)));
        const QString file = rig.writeImage(QStringLiteral("flash.app"), 0x601B, c.address, image);
        EXPECT_TRUE(rig.commands->OnLoadAny(file));
        EXPECT_TRUE(rig.feedback.messages.isEmpty());
        EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
        EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
        const qx2sim::MemoryModel m = rig.sim->memory();
        ASSERT_EQ(m.loads.size(), 1);
        EXPECT_EQ(m.loads[0].address, c.address);
        EXPECT_EQ(int(m.loads[0].count), c.wantCount);
        const QByteArray stored = m.read(c.address, c.wantCount);
        EXPECT_EQ(stored.left(c.size), image);
        EXPECT_EQ(m.loads[0].crc, crcOf(stored));
        if (c.address % 0x10000 == 0) {
            const auto* t = reinterpret_cast<const uchar*>(stored.constData()) + c.wantCount - 32;
            EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(t), 4), QByteArray("AppB"));
            const quint32 wantCrc =
                c.withTrailer ? 0xCAFEF00D : crcOf(stored.left(c.wantCount - 32));
            EXPECT_EQ(getBe32(t + 20), wantCrc);
            EXPECT_EQ(getBe32(t + 28), quint32(c.wantCount));
        }
        EXPECT_TRUE(rig.host.shown.contains(
            crcReportLine(c.address, uint32_t(c.wantCount), m.loads[0].crc)));
        EXPECT_EQ(rig.commands->readPath("LoadCPMSpec"), file);
    }
}

TEST(LoadSim, LowFlashImageIsStagedThenPlacedByTheSRecordTail)
{
    SimLoadRig rig;
    qx2sim::SimOptions o = SimLoadRig::options();
    o.logPath = rig.path(QStringLiteral("sim.log"));
    ASSERT_TRUE(rig.start(o));
    const QByteArray image = pattern(2000);
    const QString file = rig.writeImage(QStringLiteral("BOOT.APP"), 0x601B, 0x1000, image);
    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) {
        return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
    }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_EQ(m.loads[0].address, 0x2D0000u);
    EXPECT_EQ(m.read(0x2D0000, image.size()), image);
    ASSERT_EQ(m.hexLoads.size(), 1);
    EXPECT_EQ(m.hexLoads[0].command, QStringLiteral("lo ;3"));
    EXPECT_EQ(m.hexLoads[0].raw, loadimage::sRecordTail(0x1000, 0x1000 + 2000));
    EXPECT_EQ(m.hexLoads[0].dataSettings.baud, 57600);
    EXPECT_TRUE(m.programs.isEmpty()) << "no G after a staged image";
    // After the staged load: BS "mon" CR, then "tom8" and "lo ;3" for the tail.
    QByteArray received;
    for (const qx2sim::LogRecord& r : qx2sim::readLogFile(o.logPath))
        if (r.kind == qx2sim::LogRecord::Rx)
            received += r.bytes;
    const QByteArray afterData = received.mid(received.lastIndexOf(QByteArray(2, '\0')) + 2);
    EXPECT_TRUE(afterData.startsWith("\bmon\rtom8\rlo ;3\r")) << afterData.toStdString();
    EXPECT_TRUE(rig.host.shown.isEmpty()) << "no CRC line for a staged image";
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
}

TEST(LoadSim, HexFileGoesThroughTom8AndLoAt57600)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    QByteArray text;
    for (int i = 0; i < 40; ++i) {
        QByteArray rec = QByteArray::number(0x20000 + i * 16, 16).toUpper().rightJustified(6, '0');
        QByteArray bytes = QByteArray::fromHex(rec) + pattern(16, i);
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
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) {
        return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
    }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    EXPECT_EQ(m.hexLoads[0].command, QStringLiteral("lo ;B3+"));
    EXPECT_EQ(m.hexLoads[0].raw, text);
    EXPECT_EQ(m.hexLoads[0].dataSettings.toString(), QStringLiteral("57600 8N1"));
    EXPECT_EQ(m.hexLoads[0].badLines, 0);
    EXPECT_EQ(m.read(0x20000 + 16, 16), pattern(16, 1));
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
    EXPECT_EQ(rig.host.restarts, 1);
    EXPECT_EQ(rig.commands->readPath("LastLoad"), file);
}

TEST(LoadSim, PxeLoadRunsItWithGs)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    const QByteArray image = pattern(3000);
    const QString file = rig.path(QStringLiteral("longprogram.pxe"));
    writeAll(file, image);
    EXPECT_TRUE(rig.commands->OnLoadAny(file));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) { return !m.programs.isEmpty(); }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    EXPECT_EQ(m.loads[0].address, 0x10000u);
    EXPECT_EQ(m.read(0x10000, image.size()), image);
    EXPECT_EQ(m.programs[0].how, QStringLiteral("GS"));
    EXPECT_EQ(m.programs[0].name, QStringLiteral("LONGPROG.PXE"));
    EXPECT_EQ(rig.commands->readPath("LastLoad"), file);
}

TEST(LoadSim, CaptureSendMakesAnEightThreeFileAndStopsAtTextEnd)
{
    const struct {
        const char* name;
        QString file;
        QByteArray content;
        QString wantCard;
        int wantSize;
    } cases[] = {
        {"lower-case name is upper-cased", QStringLiteral("notes.txt"), "hello\r\nworld\r\n",
         QStringLiteral("C:\\NOTES.TXT"), 14},
        {"long name cut to 8.3, ETX stops", QStringLiteral("LongFileName.bat"),
         "echo one\x03 never", QStringLiteral("C:\\LONGFILE.BAT"), 8},
        {"blank becomes '_', bit 7 stops", QStringLiteral("my file.txt"), "abc\x80xyz",
         QStringLiteral("C:\\MY_FILE.TXT"), 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoadRig rig;
        ASSERT_TRUE(rig.start());
        const QString file = rig.path(c.file);
        writeAll(file, c.content);
        EXPECT_TRUE(rig.commands->OnLoadAny(file));
        EXPECT_TRUE(rig.feedback.messages.isEmpty());
        EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
        EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
        ASSERT_TRUE(
            waitFor(rig, [](const qx2sim::MemoryModel& m) { return !m.cardFiles.isEmpty(); }));
        const qx2sim::MemoryModel m = rig.sim->memory();
        EXPECT_EQ(m.cardFiles[0].kind, qx2sim::CardFileRecord::Captured);
        EXPECT_EQ(m.cardFiles[0].cardPath, c.wantCard);
        EXPECT_EQ(m.cardFiles[0].size, c.wantSize);
        EXPECT_EQ(m.cardFiles[0].options, QStringLiteral("/D 3"));
        EXPECT_EQ(rig.host.stops, 0) << "the reader keeps running during a capture send";
        EXPECT_EQ(rig.commands->readPath("LastLoad"), file);
    }
}

TEST(LoadSim, EveryFailureMessageAndTheLineRestored)
{
    const QByteArray image = pattern(4000);
    struct Case {
        const char* name;
        std::function<void(qx2sim::SimOptions&)> fault;
        bool cancel;
        QString want;
    };
    const Case cases[] = {
        {"no prompt", [](qx2sim::SimOptions& o) { o.noPrompt = true; }, false,
         QString::fromLatin1(kNoPromptText)},
        {"no '+'", [](qx2sim::SimOptions& o) { o.noPlus = true; }, false,
         QString::fromLatin1(kNoPlusText)},
        {"wrong byte for '='", [](qx2sim::SimOptions& o) { o.wrongAck = 'X'; }, false,
         QStringLiteral("88 reply expecting '='")},
        {"stall after one block", [](qx2sim::SimOptions& o) { o.stallAfterBlocks = 1; }, false,
         QStringLiteral("=timeout,reply=-1,rem=2976")},
        {"no '-'", [](qx2sim::SimOptions& o) { o.noMinus = true; }, false,
         QString::fromLatin1(kNoMinusText)},
        {"Cancel", [](qx2sim::SimOptions&) {}, true, QString::fromLatin1(kAbortedText)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoadRig rig;
        qx2sim::SimOptions o = SimLoadRig::options();
        c.fault(o);
        ASSERT_TRUE(rig.start(o));
        if (c.cancel) {
            rig.progress = [] {
                struct CancelAfterFirstBlock : LoadProgress {
                    int pumps = 0;
                    void pumpEvents() override
                    {
                        if (++pumps == 3) // the first block's step, then the next poll
                            requestCancel();
                    }
                };
                return std::unique_ptr<LoadProgress>(new CancelAfterFirstBlock);
            };
        }
        const QString file = rig.writeImage(QStringLiteral("fail.run"), 0x601A, 0x10000, image);
        QElapsedTimer t;
        t.start();
        EXPECT_FALSE(rig.commands->OnLoadAny(file));
        EXPECT_LT(t.elapsed(), 10000);
        ASSERT_EQ(rig.feedback.messages.size(), 1);
        EXPECT_EQ(rig.feedback.messages[0].text, c.want);
        EXPECT_EQ(rig.feedback.messages[0].caption, QStringLiteral("Error"));
        EXPECT_TRUE(rig.host.shown.isEmpty()) << "no CRC line after a failed load";
        EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
        EXPECT_EQ(rig.host.restarts, 1);
        // No 'G' follows a failed load.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_TRUE(rig.sim->memory().programs.isEmpty());
    }
}

TEST(LoadSim, RedoLastLoadConvertsTheBinAgain)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    ASSERT_TRUE(binfixture::writeProgram(binfixture::sampleProgram({1}), QByteArray(),
                                         rig.dir.path(), QStringLiteral("APP")));
    const QString bin = rig.path(QStringLiteral("APP.BIN"));
    EXPECT_FALSE(rig.commands->redoLastLoad());
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_EQ(rig.feedback.messages[0].text, QString::fromLatin1(loadcmd::kRedoLoadEmptyText));
    EXPECT_EQ(rig.feedback.messages[0].caption, QStringLiteral("Brennock"));
    rig.feedback.clear();

    EXPECT_TRUE(rig.commands->OnLoadAny(bin));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    const QString run = rig.path(QStringLiteral("APP.RUN"));
    ASSERT_TRUE(QFile::exists(run));
    ASSERT_TRUE(QFile::remove(run));
    EXPECT_TRUE(rig.commands->redoLastLoad());
    EXPECT_TRUE(QFile::exists(run)) << "F5 converted the .BIN again";
    const qx2sim::MemoryModel m = rig.sim->memory();
    ASSERT_EQ(m.loads.size(), 2);
    EXPECT_EQ(m.loads[1].data, m.loads[0].data);
    EXPECT_EQ(rig.commands->readPath("LastLoad"), bin);
}

TEST(LoadSim, FailedConversionDoesNotLoadTheOldRun)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    const QString bin = rig.path(QStringLiteral("OLD.BIN"));
    writeAll(bin, "not a linker output");
    rig.writeImage(QStringLiteral("OLD.RUN"), 0x601A, 0x10000, pattern(100));
    EXPECT_FALSE(rig.commands->OnLoadAny(bin));
    EXPECT_FALSE(rig.feedback.messages.isEmpty()) << "the conversion's failure is told";
    EXPECT_EQ(rig.host.stops, 0);
    EXPECT_TRUE(rig.sim->memory().loads.isEmpty());
}

TEST(LoadSim, NoPortSaysNotConnected)
{
    SimLoadRig rig;
    rig.settings = std::make_unique<SettingsStore>(rig.path(QStringLiteral("b.ini")));
    rig.makeCommands();
    const QString run = rig.writeImage(QStringLiteral("x.run"), 0x601A, 0x10000, pattern(10));
    const QString txt = rig.path(QStringLiteral("x.txt"));
    writeAll(txt, "text");
    for (const QString& file : {run, txt, rig.path(QStringLiteral("x.hex"))}) {
        if (!QFile::exists(file))
            writeAll(file, "S804000000FB\r");
        rig.feedback.clear();
        EXPECT_FALSE(rig.commands->OnLoadAny(file));
        ASSERT_EQ(rig.feedback.messages.size(), 1) << file.toStdString();
        EXPECT_EQ(rig.feedback.messages[0].text, QStringLiteral("Not connected"));
    }
    EXPECT_EQ(rig.host.stops, 0);
}

TEST(LoadSim, DeviceVanishingDuringTheLoadEndsItOnce)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    qx2sim::SimEngine* sim = rig.sim.get();
    rig.progress = [sim] {
        struct StopSimAfterFirstBlock : LoadProgress {
            qx2sim::SimEngine* sim;
            int steps = 0;
            explicit StopSimAfterFirstBlock(qx2sim::SimEngine* s) : sim(s) {}
            void pumpEvents() override
            {
                if (++steps == 3)
                    sim->stop(); // the far end goes away: the pty hangs up
            }
        };
        return std::unique_ptr<LoadProgress>(new StopSimAfterFirstBlock(sim));
    };
    const QString file =
        rig.writeImage(QStringLiteral("gone.run"), 0x601A, 0x10000, pattern(20000));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(rig.commands->OnLoadAny(file));
    EXPECT_LT(t.elapsed(), 5000) << "no waiting out every time-out of a dead device";
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_TRUE(rig.feedback.messages[0].text.startsWith(
        QStringLiteral("The serial port stopped working during the load")))
        << rig.feedback.messages[0].text.toStdString();
    EXPECT_EQ(rig.host.restarts, 1);
}

TEST(LoadSim, HeadlessLoadExitCodes)
{
    const struct {
        const char* name;
        bool noPrompt;
        int file; // 0 good .RUN, 1 missing, 2 none given, 3 an empty .HEX
        QStringList extra;
        int wantExit;
        QByteArray wantOut;
        QByteArray wantErr;
    } cases[] = {
        {"a good load prints the report and the answer to G",
         false,
         0,
         {},
         0,
         "QX2 program at 010000 running",
         ""},
        {"download rate given",
         false,
         0,
         {QStringLiteral("--download-baud"), QStringLiteral("57600")},
         0,
         "###BK Load: CRC 010000",
         ""},
        {"no prompt: the message on stderr", true, 0, {}, 1, "", kNoPromptText},
        {"missing file", false, 1, {}, 1, "", "Can't open CPM68K file"},
        {"no file named", false, 2, {}, 2, "", "--load needs a value"},
        {"unknown option", false, 0, {QStringLiteral("--speed")}, 2, "", "unknown argument"},
        {"a rate that is no number",
         false,
         0,
         {QStringLiteral("--baud"), QStringLiteral("abc")},
         2,
         "",
         "--baud needs a rate in baud, such as 9600, not \"abc\""},
        {"a hex file that is empty", false, 3, {}, 1, "", "is empty: nothing was sent"},
        {"device that does not exist",
         false,
         0,
         {QStringLiteral("--port"), QStringLiteral("/nonexistent/tty")},
         1,
         "",
         "Can't open port"},
        {"a port server nobody listens at",
         false,
         0,
         {QStringLiteral("--port"), QStringLiteral("rfc2217://127.0.0.1:1")},
         1,
         "",
         "Can't open port rfc2217://127.0.0.1:1: Nothing answers at 127.0.0.1:1"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        SimLoadRig rig;
        qx2sim::SimOptions o = SimLoadRig::options();
        o.noPrompt = c.noPrompt;
        ASSERT_TRUE(rig.start(o));
        rig.host.port.reset(); // the program opens the device itself
        const QString run = rig.writeImage(QStringLiteral("H.RUN"), 0x601A, 0x10000, pattern(3000));
        QStringList args{QStringLiteral("--load")};
        if (c.file == 0)
            args << run;
        else if (c.file == 1)
            args << rig.path(QStringLiteral("missing.run"));
        else if (c.file == 3 && writeAll(rig.path(QStringLiteral("E.HEX")), QByteArray()))
            args << rig.path(QStringLiteral("E.HEX"));
        if (!c.extra.contains(QStringLiteral("--port")))
            args << QStringLiteral("--port") << rig.dir.path() + QStringLiteral("/link");
        args << c.extra;
        const ProgramRun r = runBrennock(args, rig.path(QStringLiteral("config")));
        EXPECT_EQ(r.exitCode, c.wantExit) << r.err.toStdString();
        EXPECT_TRUE(r.out.contains(c.wantOut)) << r.out.toStdString();
        EXPECT_TRUE(r.err.contains(c.wantErr)) << r.err.toStdString();
        if (c.wantExit == 0) {
            const qx2sim::MemoryModel m = rig.sim->memory();
            ASSERT_EQ(m.loads.size(), 1);
            EXPECT_TRUE(r.out.contains(crcReportLine(0x10000, 3000, m.loads[0].crc)));
            EXPECT_EQ(m.loads[0].dataSettings.baud,
                      c.extra.contains(QStringLiteral("57600")) ? 57600 : 115200);
        }
    }
}

TEST(LoadSim, CommandsWithoutAMenuEntryRememberTheirPaths)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    const QString sub = rig.path(QStringLiteral("sub"));
    ASSERT_TRUE(QDir().mkpath(sub));
    ASSERT_TRUE(binfixture::writeProgram(binfixture::sampleProgram({1}), QByteArray(), sub,
                                         QStringLiteral("P")));
    const QString bin = sub + QStringLiteral("/P.BIN");

    EXPECT_TRUE(rig.commands->postLinkOnly(bin));
    EXPECT_EQ(rig.commands->readPath("LastDir"), sub + QLatin1Char('/'));
    EXPECT_TRUE(rig.sim->memory().loads.isEmpty()) << "PostLink alone loads nothing";

    EXPECT_TRUE(rig.commands->postLinkAndLoad(bin));
    EXPECT_EQ(rig.commands->readPath("PostLinkSpec"), sub + QStringLiteral("/P.RUN"));
    EXPECT_EQ(rig.sim->memory().loads.size(), 1);

    const QString app = rig.writeImage(QStringLiteral("F.APP"), 0x601B, 0xE41000, pattern(100));
    EXPECT_TRUE(rig.commands->sendCpm68kFileCommand(app));
    EXPECT_EQ(rig.commands->readPath("LoadCPM"), rig.dir.path() + QLatin1Char('/'));
    EXPECT_EQ(rig.commands->readPath("LoadCPMSpec"), app);
    EXPECT_EQ(rig.sim->memory().loads.size(), 2);

    const QString hex = sub + QStringLiteral("/H.HEX");
    writeAll(hex, ":0400000001020304F2\r\n:00000001FF\r\n");
    EXPECT_TRUE(rig.commands->sendHexFileCommand(hex));
    EXPECT_EQ(rig.commands->readPath("LoadHex"), sub + QLatin1Char('/'));
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) {
        return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
    }));
    EXPECT_EQ(rig.sim->memory().read(0, 4), QByteArray("\x01\x02\x03\x04", 4));
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
}

TEST(LoadSim, SendBinaryFileSendsEveryByteAsItIs)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    // The bytes reach the console as typed: a capture made by the file itself shows
    // that they went out unchanged, ETX included.
    const QString file = rig.path(QStringLiteral("raw.bin"));
    writeAll(file, QByteArray("\rCAPTURE RAW.TXT\rbinary \xE9 text\x03", 33));
    EXPECT_TRUE(rig.commands->sendBinaryFile(file));
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) { return !m.cardFiles.isEmpty(); }));
    const qx2sim::MemoryModel m = rig.sim->memory();
    EXPECT_EQ(m.cardFiles[0].cardPath, QStringLiteral("C:\\RAW.TXT"));
    EXPECT_EQ(m.cardFiles[0].size, 13);
    EXPECT_TRUE(rig.feedback.messages.isEmpty());
    EXPECT_EQ(rig.sim->memory().violations, QStringList()) << "the strict instrument's view";
    EXPECT_FALSE(rig.commands->sendBinaryFile(rig.path(QStringLiteral("none"))));
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_EQ(rig.feedback.messages[0].text, QStringLiteral("Cannot open file"));
    EXPECT_EQ(rig.feedback.messages[0].caption, QStringLiteral("LOAD"));
}

TEST(LoadSim, LowLatencyIsAskedForSilently)
{
    // A pty has no serial driver settings: the request is refused without a word.
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    LowLatencyGuard onPty(rig.host.port->descriptor());
    EXPECT_FALSE(onPty.engaged());
    LowLatencyGuard none(-1);
    EXPECT_FALSE(none.engaged());
}

namespace
{
// S2 records of 16 bytes from address, and the S8 end: about 46 bytes per record.
QByteArray sRecords(quint32 address, int records)
{
    QByteArray text;
    for (int i = 0; i < records; ++i) {
        const QByteArray rec =
            QByteArray::number(address + i * 16, 16).toUpper().rightJustified(6, '0');
        const QByteArray bytes = QByteArray::fromHex(rec) + pattern(16, i);
        uchar sum = uchar(bytes.size() + 1);
        for (char b : bytes)
            sum = uchar(sum + uchar(b));
        text += "S2" + QByteArray::number(bytes.size() + 1, 16).toUpper().rightJustified(2, '0') +
                bytes.toHex().toUpper() +
                QByteArray::number(uchar(~sum), 16).toUpper().rightJustified(2, '0') + "\r\n";
    }
    return text + "S804000000FB\r\n";
}
} // namespace

// Through a line paced at the rates the host sets, nothing may still be on its way
// when the host changes the rate: a 20,000-byte hex file and a block load arrive whole.
TEST(LoadSim, AThrottledLineCarriesEverythingBeforeTheRateChanges)
{
    SimLoadRig rig;
    qx2sim::SimOptions o = SimLoadRig::options();
    o.lineRate = qx2sim::SimOptions::kClientRate;
    ASSERT_TRUE(rig.start(o));
    const QByteArray text = sRecords(0x20000, 440);
    ASSERT_GT(text.size(), 20000);
    const QString hex = rig.path(QStringLiteral("big.s19"));
    writeAll(hex, text);
    EXPECT_TRUE(rig.commands->OnLoadAny(hex));
    EXPECT_TRUE(rig.feedback.messages.isEmpty())
        << rig.feedback.messages.value(0).text.toStdString();
    ASSERT_TRUE(waitFor(rig, [](const qx2sim::MemoryModel& m) {
        return !m.hexLoads.isEmpty() && m.hexLoads.constLast().closed;
    }));
    EXPECT_EQ(rig.sim->memory().hexLoads[0].raw, text);

    const QByteArray image = pattern(3000);
    const QString run = rig.writeImage(QStringLiteral("p.run"), 0x601A, 0x10000, image);
    EXPECT_TRUE(rig.commands->OnLoadAny(run));
    EXPECT_TRUE(rig.feedback.messages.isEmpty())
        << rig.feedback.messages.value(0).text.toStdString();
    const qx2sim::MemoryModel m = rig.sim->memory();
    ASSERT_EQ(m.loads.size(), 1);
    EXPECT_TRUE(m.loads[0].complete);
    EXPECT_EQ(m.loads[0].data, image);
    EXPECT_EQ(m.violations, QStringList()) << "the strict instrument's view";
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
}

TEST(LoadSim, ImagesTheInstrumentCannotTakeSayWhy)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    // Past FFFFFFFF: refused before a byte is sent.
    const QString wraps =
        rig.writeImage(QStringLiteral("wrap.run"), 0x601A, 0xFFFFFF00, pattern(0x200));
    EXPECT_FALSE(rig.commands->OnLoadAny(wraps));
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_TRUE(
        rig.feedback.messages[0].text.contains(QLatin1String("would pass address FFFFFFFF")))
        << rig.feedback.messages[0].text.toStdString();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(rig.sim->memory().loads.isEmpty());
    EXPECT_TRUE(rig.sim->memory().violations.isEmpty());

    // Above the instrument's memory: the monitor's own words, at once.
    rig.feedback.clear();
    const QString huge =
        rig.writeImage(QStringLiteral("huge.run"), 0x601A, 0x10000, QByteArray(20 << 20, 'h'));
    QElapsedTimer t;
    t.start();
    EXPECT_FALSE(rig.commands->OnLoadAny(huge));
    EXPECT_LT(t.elapsed(), 5000);
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    EXPECT_TRUE(rig.feedback.messages[0].text.startsWith(
        QStringLiteral("The monitor refused the load: LOAD: count 01400000 is larger")))
        << rig.feedback.messages[0].text.toStdString();
    EXPECT_EQ(rig.deviceSettings(), QStringLiteral("9600 8N1"));
}

TEST(LoadSim, DeviceVanishingDuringAHexLoadSaysWhy)
{
    SimLoadRig rig;
    ASSERT_TRUE(rig.start());
    qx2sim::SimEngine* sim = rig.sim.get();
    rig.progress = [sim] {
        struct StopSimAfterThreePieces : LoadProgress {
            qx2sim::SimEngine* sim;
            int steps = 0;
            explicit StopSimAfterThreePieces(qx2sim::SimEngine* s) : sim(s) {}
            void pumpEvents() override
            {
                if (++steps == 3)
                    sim->stop(); // the far end goes away: the pty hangs up
            }
        };
        return std::unique_ptr<LoadProgress>(new StopSimAfterThreePieces(sim));
    };
    const QString hex = rig.path(QStringLiteral("gone.s19"));
    writeAll(hex, sRecords(0x20000, 200));
    EXPECT_FALSE(rig.commands->OnLoadAny(hex));
    ASSERT_EQ(rig.feedback.messages.size(), 1);
    // The reason, not an empty line after the first.
    EXPECT_TRUE(rig.feedback.messages[0].text.contains(QLatin1String("Input/output error")))
        << rig.feedback.messages[0].text.toStdString();
}
