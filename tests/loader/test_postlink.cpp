// PostLink on real files: outputs and their names, the lookup in any letter
// case, the reports of failures, atomic writing, and the S-record files as
// the srecord tools read them.
#include "PostLink.h"
#include "PostLinkCli.h"
#include "TestSupport.h"

#include <QProcess>
#include <QStandardPaths>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

using namespace binfixture;
using namespace postlink;

namespace
{

// Records the progress calls and the messages in one sequence.
class EventLog : public UserFeedback
{
public:
    QStringList events;

    MessageResult message(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons, MessageResult defaultResult) override
    {
        events << QStringLiteral("message %1%2: %3")
                      .arg(caption,
                           icon == MessageIcon::Warning ? QStringLiteral(" (warning)") : QString(),
                           text);
        return defaultResult;
    }
    void beep() override {}
    void setStatusText(const QString&) override {}

    LoadProgressFactory progress()
    {
        return [this] { return std::make_unique<Recorder>(events); };
    }

    QStringList messages() const { return events.filter(QStringLiteral("message ")); }

private:
    class Recorder : public LoadProgress
    {
    public:
        explicit Recorder(QStringList& log) : log_(log) {}
        ~Recorder() override { log_ << QStringLiteral("close"); }

    protected:
        bool openView() override
        {
            log_ << QStringLiteral("open");
            return true;
        }
        void showTitle() override { log_ << QStringLiteral("title ") + title(); }
        void showText() override { log_ << QStringLiteral("text ") + text(); }
        void showRange() override
        {
            log_ << QStringLiteral("range %1-%2").arg(rangeLow()).arg(rangeHigh());
        }
        void showPosition() override { log_ << QStringLiteral("pos %1").arg(position()); }

    private:
        QStringList& log_;
    };
};

class PostLinkFiles : public ::testing::Test
{
protected:
    QTemporaryDir tmp;
    QString dir;

    void SetUp() override
    {
        ASSERT_TRUE(tmp.isValid());
        dir = tmp.path();
    }

    QString at(const QString& name) const { return dir + QLatin1Char('/') + name; }

    void writeProgram(const Program& p, const QString& name, const QByteArray& map = sampleMap())
    {
        ASSERT_TRUE(binfixture::writeProgram(p, map, dir, name));
    }
};

Program flashOnly()
{
    return sampleProgram({2});
}

} // namespace

TEST_F(PostLinkFiles, AllTypesWriteTheirOutputs)
{
    writeProgram(sampleProgram({1, 2, 3}), QStringLiteral("APP"));
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("APP.BIN")), log, log.progress());

    EXPECT_TRUE(r.succeeded);
    EXPECT_EQ(r.basePath, at(QStringLiteral("APP")));
    EXPECT_EQ(log.events,
              QStringList(
                  {QStringLiteral("open"), QStringLiteral("title Brennock PostLink"),
                   QStringLiteral("text ") + at(QStringLiteral("APP")), QStringLiteral("range 0-3"),
                   QStringLiteral("pos 0"), QStringLiteral("pos 1"), QStringLiteral("pos 2"),
                   QStringLiteral("pos 3"), QStringLiteral("pos 3"), QStringLiteral("close")}));
    const QStringList expected = {
        QStringLiteral("APP.RMP"), QStringLiteral("APP.SRN"), QStringLiteral("APP.RUN"),
        QStringLiteral("APP.AMP"), QStringLiteral("APP.SAP"), QStringLiteral("APP.APP"),
        QStringLiteral("APP.FMP"), QStringLiteral("APP.SFL"), QStringLiteral("APP.FLA")};
    QStringList written;
    for (const QString& f : r.written())
        written << QFileInfo(f).fileName();
    EXPECT_EQ(written, expected);
    QStringList onDisk = expected;
    onDisk << QStringLiteral("APP.BIN") << QStringLiteral("APP.MAP");
    onDisk.sort();
    EXPECT_EQ(filesIn(dir), onDisk) << "no temporary file is left behind";

    // The CPM68K files: magic by type, header length + image.
    const QByteArray run = readAll(at(QStringLiteral("APP.RUN")));
    const QByteArray app = readAll(at(QStringLiteral("APP.APP")));
    EXPECT_EQ(hexOf(run, 0, 2), QByteArray("60 1A"));
    EXPECT_EQ(hexOf(app, 0, 2), QByteArray("60 1B"));
    const int total = 1024 + 96 + 160;
    EXPECT_EQ(run.size(), 28 + total);
    EXPECT_EQ(app.size(), 36 + total);
    EXPECT_EQ(run.mid(28 + 152, 26), QByteArray("Tandrowel startup stamp 96"));

    // Type 1: code base = text start 0x010000, A5 = 0x010400 + 160.
    QByteArray map = sampleMap();
    map.replace("Code: 000000", "Code: 010000")
        .replace("Code: 000144", "Code: 010144")
        .replace("Code: 000200", "Code: 010200")
        .replace("Data:   -160", "Data: 010400")
        .replace("Data:    -32", "Data: 010480")
        .replace("Data:      8", "Data: 0104A8");
    EXPECT_EQ(readAll(at(QStringLiteral("APP.RMP"))), map);
}

TEST_F(PostLinkFiles, TypeTwoOnlyFileMakesOneSetAndSkipsTheOthers)
{
    writeProgram(flashOnly(), QStringLiteral("FLASH"));
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("FLASH.BIN")), log, log.progress());
    EXPECT_TRUE(r.succeeded);
    EXPECT_TRUE(log.messages().isEmpty());
    ASSERT_EQ(r.types.size(), 3);
    EXPECT_EQ(r.types[0].error, NoSuchType);
    EXPECT_EQ(r.types[1].error, Ok);
    EXPECT_EQ(r.types[2].error, NoSuchType);
    EXPECT_EQ(filesIn(dir), QStringList({QStringLiteral("FLASH.AMP"), QStringLiteral("FLASH.APP"),
                                         QStringLiteral("FLASH.BIN"), QStringLiteral("FLASH.MAP"),
                                         QStringLiteral("FLASH.SAP")}));
    EXPECT_EQ(log.events.filter(QStringLiteral("pos ")).size(), 5) << "three types and the end";
}

TEST_F(PostLinkFiles, PathIsCutAtTheFirstBinEvenInADirectoryName)
{
    ASSERT_TRUE(QDir(dir).mkdir(QStringLiteral("X.BINS")));
    writeProgram(flashOnly(), QStringLiteral("X.BINS/A"));
    writeProgram(flashOnly(), QStringLiteral("X"));
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("X.BINS/A.BIN")), log, log.progress());
    EXPECT_EQ(r.basePath, at(QStringLiteral("X")));
    EXPECT_TRUE(r.succeeded);
    EXPECT_TRUE(QFile::exists(at(QStringLiteral("X.APP"))));
    EXPECT_FALSE(QFile::exists(at(QStringLiteral("X.BINS/A.APP"))));
}

TEST_F(PostLinkFiles, BaseIsCutAtTheFirstSpellingThatOccurs)
{
    const struct {
        const char* path;
        const char* base;
    } cases[] = {
        {"/w/app.bin", "/w/app"},         {"/w/App.Bin", "/w/App"},
        {"/w/a.bin/B.BIN", "/w/a.bin/B"}, // ".BIN" is looked for first
        {"/w/a.Bin/b.bin", "/w/a.Bin/b"}, // then ".bin"
        {"/w/APP.BINARY", "/w/APP"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        const QString path = QString::fromLatin1(c.path);
        EXPECT_EQ(path.left(basePathCut(path)), QString::fromLatin1(c.base));
    }
    EXPECT_EQ(basePathCut(QStringLiteral("/w/APP.bIn")), -1);
}

TEST_F(PostLinkFiles, NameWithoutBinIsRefused)
{
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("APP.TXT")), log, log.progress());
    EXPECT_FALSE(r.nameValid);
    EXPECT_FALSE(r.succeeded);
    EXPECT_EQ(log.events,
              QStringList({QStringLiteral("message Error (warning): Invalid .BIN file!")}));
    EXPECT_TRUE(filesIn(dir).isEmpty());
}

TEST_F(PostLinkFiles, InputAndMapAreFoundInAnyLetterCase)
{
    ASSERT_TRUE(QDir(dir).mkdir(QStringLiteral("proj")));
    writeProgram(flashOnly(), QStringLiteral("proj/app"), QByteArray());
    ASSERT_TRUE(
        QFile::rename(at(QStringLiteral("proj/app.BIN")), at(QStringLiteral("proj/app.bin"))));
    ASSERT_TRUE(writeAll(at(QStringLiteral("proj/App.Map")), sampleMap()));
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("PROJ/APP.BIN")), log, log.progress());
    EXPECT_TRUE(r.succeeded) << log.events.join(QLatin1Char('\n')).toStdString();
    EXPECT_EQ(r.basePath, at(QStringLiteral("proj/APP")));
    EXPECT_EQ(r.inputPath, at(QStringLiteral("proj/app.bin")));
    // Outputs: the name as given, the extensions exactly as the table has them.
    EXPECT_EQ(filesIn(at(QStringLiteral("proj"))),
              QStringList({QStringLiteral("APP.AMP"), QStringLiteral("APP.APP"),
                           QStringLiteral("APP.SAP"), QStringLiteral("App.Map"),
                           QStringLiteral("app.bin")}));
    EXPECT_TRUE(readAll(at(QStringLiteral("proj/APP.AMP"))).contains("Code: E40144 "));
}

TEST_F(PostLinkFiles, TheNameAsGivenComesFirst)
{
    Program other = flashOnly();
    other.entries[0].words[1] = 0x050000; // another text start
    writeProgram(flashOnly(), QStringLiteral("APP"));
    writeProgram(other, QStringLiteral("app"));
    EventLog log;
    // "APP.BIN" sorts first, but "app.BIN" is the name as given.
    ASSERT_TRUE(PostLink(at(QStringLiteral("app.BIN")), log, log.progress()).succeeded);
    EXPECT_EQ(hexOf(readAll(at(QStringLiteral("app.APP"))), 22, 4), QByteArray("00 05 00 00"));
    ASSERT_TRUE(PostLink(at(QStringLiteral("APP.BIN")), log, log.progress()).succeeded);
    EXPECT_EQ(hexOf(readAll(at(QStringLiteral("APP.APP"))), 22, 4), QByteArray("00 E4 00 00"));
}

TEST_F(PostLinkFiles, SpecialFilesAreNotRead)
{
    // A FIFO named like the input would block a reader forever.
    ASSERT_EQ(::mkfifo(QFile::encodeName(at(QStringLiteral("PIPE.BIN"))).constData(), 0600), 0);
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("PIPE.BIN")), log);
    EXPECT_FALSE(r.succeeded);
    ASSERT_EQ(r.types.size(), 1);
    EXPECT_EQ(r.types[0].error, CannotOpenBin);
}

TEST_F(PostLinkFiles, MissingMapIsSkippedSilently)
{
    writeProgram(flashOnly(), QStringLiteral("NOMAP"), QByteArray());
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("NOMAP.BIN")), log, log.progress());
    EXPECT_TRUE(r.succeeded);
    EXPECT_TRUE(r.types[1].warnings.isEmpty());
    EXPECT_TRUE(log.messages().isEmpty());
    EXPECT_FALSE(QFile::exists(at(QStringLiteral("NOMAP.AMP"))));
}

TEST_F(PostLinkFiles, FailureIsReportedWithErrorAndTypeAndNothingLooksGood)
{
    // A good conversion first, then the same name with a broken data stream.
    writeProgram(sampleProgram({1, 2}), QStringLiteral("APP"));
    EventLog log;
    ASSERT_TRUE(PostLink(at(QStringLiteral("APP.BIN")), log, log.progress()).succeeded);
    const QByteArray goodRun = readAll(at(QStringLiteral("APP.RUN")));

    Program broken = sampleProgram({1, 2});
    broken.entries[0].words[1] = 0x020000;                     // type 1 changes
    broken.dataInit = DataInitWriter().block(0).end().bytes(); // the stream ends after one block
    broken.relocations = QByteArray();
    writeProgram(broken, QStringLiteral("APP"));
    log.events.clear();
    const PostLinkResult r = PostLink(at(QStringLiteral("APP.BIN")), log, log.progress());
    EXPECT_FALSE(r.succeeded);
    ASSERT_EQ(r.types.size(), 1) << "the run stops at the first failure";
    EXPECT_EQ(r.types[0].error, BadDataInit);
    ASSERT_EQ(log.messages().size(), 1);
    const QString msg = log.messages().first();
    EXPECT_TRUE(msg.startsWith(QStringLiteral("message Error (warning): PostLink of ")));
    EXPECT_TRUE(msg.contains(QStringLiteral("load type 1"))) << msg.toStdString();
    EXPECT_TRUE(msg.contains(QStringLiteral("Error 203"))) << msg.toStdString();
    EXPECT_EQ(log.events.indexOf(QStringLiteral("close")), log.events.size() - 2)
        << "the progress closes before the message";
    EXPECT_EQ(readAll(at(QStringLiteral("APP.RUN"))), goodRun) << "the old file is untouched";
}

TEST_F(PostLinkFiles, MissingInputIsErrorTwo)
{
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("GONE.BIN")), log, log.progress());
    EXPECT_TRUE(r.nameValid);
    EXPECT_FALSE(r.succeeded);
    ASSERT_EQ(r.types.size(), 1);
    EXPECT_EQ(r.types[0].error, CannotOpenBin);
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_TRUE(log.messages().first().contains(QStringLiteral("Error 2:")));
}

TEST_F(PostLinkFiles, FileWithoutAnyLoadTypeIsAFailure)
{
    writeProgram(sampleProgram({}), QStringLiteral("EMPTY"));
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("EMPTY.BIN")), log, log.progress());
    EXPECT_FALSE(r.succeeded);
    EXPECT_EQ(r.types.size(), 3);
    ASSERT_EQ(log.messages().size(), 1);
    EXPECT_TRUE(log.messages().first().contains(QStringLiteral("defines none of the load types")));
}

TEST_F(PostLinkFiles, WriteFailureReportsTheSystemErrorAndLeavesNoTemporaryFile)
{
    writeProgram(flashOnly(), QStringLiteral("APP"));
    ASSERT_TRUE(
        QDir(dir).mkdir(QStringLiteral("APP.APP"))); // the CPM68K output cannot replace a directory
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("APP.BIN")), log, log.progress());
    EXPECT_FALSE(r.succeeded);
    ASSERT_EQ(r.types.size(), 2);
    EXPECT_EQ(r.types[1].error, Ok);
    EXPECT_EQ(r.types[1].systemError, EISDIR);
    EXPECT_TRUE(log.messages().first().contains(QStringLiteral("load type 2")));
    EXPECT_EQ(filesIn(dir), QStringList({QStringLiteral("APP.AMP"), QStringLiteral("APP.BIN"),
                                         QStringLiteral("APP.MAP"), QStringLiteral("APP.SAP")}));
}

TEST_F(PostLinkFiles, OutputsGetTheUsualPermissions)
{
    writeProgram(flashOnly(), QStringLiteral("APP"));
    const mode_t old = ::umask(027);
    EventLog log;
    ASSERT_TRUE(PostLink(at(QStringLiteral("APP.BIN")), log).succeeded);
    ::umask(old);
    struct stat st;
    ASSERT_EQ(::stat(QFile::encodeName(at(QStringLiteral("APP.APP"))).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
}

namespace
{

// Runs a tool of the srecord package; empty optional when it is not installed.
bool runTool(const QString& tool, const QStringList& args, QByteArray* out = nullptr)
{
    QProcess p;
    p.start(tool, args);
    if (!p.waitForFinished(20000))
        return false;
    if (out)
        *out = p.readAllStandardOutput() + p.readAllStandardError();
    return p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
}

} // namespace

TEST_F(PostLinkFiles, SRecordToolsReadTheOutputBackToTheImage)
{
    if (QStandardPaths::findExecutable(QStringLiteral("srec_cat")).isEmpty())
        GTEST_SKIP() << "srecord is not installed (scripts/packages.txt lists it)";

    const struct {
        const char* name;
        quint32 textStart;
        int codeSize;
        const char* range;
    } cases[] = {
        {"aligned at 0xE40000", 0xE40000, 1024, "E40000 - E4040F"},
        {"340 bytes at 0x0002FF", 0x0002FF, 324, "0200 - 0452"},
        {"unaligned at 0x001234", 0x001234, 400, "1200 - 13D3"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Program p = flashOnly();
        p.codeSize = c.codeSize;
        p.tableOffset = 180;
        p.aboveA5 = 8;
        p.belowA5 = 8;
        p.dataInit = DataInitWriter::empty();
        p.relocations = RelocationWriter::empty();
        p.entries[0].words[1] = c.textStart;
        writeProgram(p, QStringLiteral("S"));
        EventLog log;
        ASSERT_TRUE(PostLink(at(QStringLiteral("S.BIN")), log).succeeded);

        QByteArray info;
        EXPECT_TRUE(runTool(QStringLiteral("srec_info"), {at(QStringLiteral("S.SAP"))}, &info))
            << info.toStdString();
        EXPECT_TRUE(info.contains("Motorola S-Record")) << info.toStdString();
        EXPECT_TRUE(info.contains(QByteArray(c.range))) << info.toStdString();
        EXPECT_TRUE(
            info.contains(QByteArray("Execution Start Address: ") +
                          QByteArray::number(c.textStart, 16).toUpper().rightJustified(8, '0')))
            << info.toStdString();

        // Back to binary from the 256-byte boundary below the text start.
        const quint32 boundary = c.textStart & ~0xFFu;
        QByteArray log2;
        ASSERT_TRUE(
            runTool(QStringLiteral("srec_cat"),
                    {at(QStringLiteral("S.SAP")), QStringLiteral("-motorola"),
                     QStringLiteral("-offset"), QStringLiteral("-0x%1").arg(boundary, 0, 16),
                     QStringLiteral("-o"), at(QStringLiteral("S.raw")), QStringLiteral("-binary")},
                    &log2))
            << log2.toStdString();
        const QByteArray image = readAll(at(QStringLiteral("S.APP"))).mid(36);
        ASSERT_EQ(image.size(), c.codeSize + 16);
        const QByteArray raw = readAll(at(QStringLiteral("S.raw")));
        const int fill = int(c.textStart - boundary);
        EXPECT_EQ(raw.left(fill), QByteArray(fill, char(0xFF)));
        EXPECT_EQ(raw.mid(fill), image);
    }
}

// A write that fails, with each errno that a real disk or file system gives. Several of
// them (EPERM 1, ENOENT 2, ESRCH 3, EIO 5) are also converter codes by number; none may
// read as "no such type", which would skip the type and report success.
class PostLinkWriteFailure : public PostLinkFiles, public ::testing::WithParamInterface<int>
{
protected:
    void TearDown() override { setOutputWriteFault({}); }
};

TEST_P(PostLinkWriteFailure, IsAFailureNamedByTheSystemError)
{
    const int error = GetParam();
    writeProgram(sampleProgram({1, 2, 3}), QStringLiteral("APP"));
    const QString failing = at(QStringLiteral("APP.RUN")); // type 1's image, after its S-records
    setOutputWriteFault([&](const QString& target) { return target == failing ? error : 0; });
    EventLog log;
    const PostLinkResult r = PostLink(at(QStringLiteral("APP.BIN")), log, log.progress());

    EXPECT_FALSE(r.succeeded);
    ASSERT_EQ(r.types.size(), 1) << "the conversion stops at the failed type";
    EXPECT_EQ(r.types[0].error, Ok);
    EXPECT_EQ(r.types[0].systemError, error);
    EXPECT_TRUE(r.types[0].failed());
    EXPECT_FALSE(r.types[0].missingType());
    ASSERT_EQ(log.messages().size(), 1);
    const QString message = log.messages().first();
    EXPECT_TRUE(message.contains(QStringLiteral("load type 1"))) << message.toStdString();
    EXPECT_TRUE(message.contains(QStringLiteral("System error %1: %2")
                                     .arg(error)
                                     .arg(QString::fromLocal8Bit(std::strerror(error)))))
        << message.toStdString();
    EXPECT_FALSE(message.contains(errorText(NoSuchType))) << message.toStdString();
    EXPECT_FALSE(QFile::exists(failing));
    for (const QString& name : filesIn(dir))
        EXPECT_FALSE(name.contains(QStringLiteral(".tmp-"))) << name.toStdString();
}

TEST_P(PostLinkWriteFailure, GivesTheHeadlessRunANonZeroStatus)
{
    const int error = GetParam();
    writeProgram(sampleProgram({1, 2, 3}), QStringLiteral("APP"));
    setOutputWriteFault(
        [&](const QString& target) { return target.endsWith(QStringLiteral(".RUN")) ? error : 0; });
    QByteArray program("brennock"), option("--postlink");
    QByteArray file = QFile::encodeName(at(QStringLiteral("APP.BIN")));
    char* argv[] = {program.data(), option.data(), file.data(), nullptr};
    EXPECT_EQ(postLinkMain(3, argv), 1);
}

INSTANTIATE_TEST_SUITE_P(Errno, PostLinkWriteFailure,
                         ::testing::Values(EPERM, ENOENT, ESRCH, EIO, ENXIO, EACCES, EFBIG, ENOSPC,
                                           EROFS, EDQUOT),
                         [](const ::testing::TestParamInfo<int>& info) {
                             return std::string(strerrorname_np(info.param));
                         });
