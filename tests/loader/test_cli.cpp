// The headless post-link end to end: a separate process on real files, its
// exit status, the files it lists on stdout, progress and errors on stderr.
#include "TestSupport.h"

#include <QProcess>

using namespace binfixture;

namespace
{

struct CliRun {
    int exitCode = -1;
    QByteArray out, err;
};

CliRun runCli(const QStringList& args)
{
    // No display at all: the converter must not need one.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM"})
        env.remove(QString::fromLatin1(name));
    QProcess p;
    p.setProcessEnvironment(env);
    p.start(QStringLiteral(BRENNOCK_PROGRAM), args);
    CliRun r;
    if (!p.waitForFinished(30000))
        return r;
    r.exitCode = p.exitStatus() == QProcess::NormalExit ? p.exitCode() : -1;
    r.out = p.readAllStandardOutput();
    r.err = p.readAllStandardError();
    return r;
}

} // namespace

TEST(PostLinkCli, ConvertsEveryFileAndListsWhatItWrote)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    ASSERT_TRUE(writeProgram(sampleProgram({1}), sampleMap(), tmp.path(), QStringLiteral("RAM")));
    ASSERT_TRUE(
        writeProgram(sampleProgram({2}), QByteArray(), tmp.path(), QStringLiteral("FLASH")));
    const QString d = tmp.path() + QLatin1Char('/');

    const CliRun r = runCli({QStringLiteral("--postlink"), d + QStringLiteral("RAM.BIN"),
                             d + QStringLiteral("FLASH.BIN")});
    EXPECT_EQ(r.exitCode, 0) << r.err.toStdString();
    EXPECT_EQ(QString::fromLocal8Bit(r.out),
              QStringList({d + QStringLiteral("RAM.RMP"), d + QStringLiteral("RAM.SRN"),
                           d + QStringLiteral("RAM.RUN"), d + QStringLiteral("FLASH.SAP"),
                           d + QStringLiteral("FLASH.APP"), QString()})
                  .join(QLatin1Char('\n')));
    for (const char* name : {"RAM.RUN", "RAM.SRN", "RAM.RMP", "FLASH.APP", "FLASH.SAP"})
        EXPECT_FALSE(readAll(d + QString::fromLatin1(name)).isEmpty()) << name;
    EXPECT_TRUE(r.err.contains("\rBrennock PostLink: " + QFile::encodeName(d) + "RAM ["));
    EXPECT_TRUE(r.err.endsWith("3/3\n")) << r.err.toStdString();
    EXPECT_FALSE(r.err.contains("Error"));
}

TEST(PostLinkCli, FailedConversionGivesNonZeroStatus)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QString d = tmp.path() + QLatin1Char('/');
    Program broken = sampleProgram({1});
    broken.relocations = RelocationWriter().table({}).table({}).table({4}).bytes();
    ASSERT_TRUE(writeProgram(broken, QByteArray(), tmp.path(), QStringLiteral("BAD")));
    ASSERT_TRUE(writeProgram(sampleProgram({2}), QByteArray(), tmp.path(), QStringLiteral("GOOD")));

    const CliRun r = runCli({QStringLiteral("--postlink"), d + QStringLiteral("BAD.BIN"),
                             d + QStringLiteral("GOOD.BIN")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_TRUE(r.err.contains("Error: PostLink of " + QFile::encodeName(d) +
                               "BAD.BIN failed for load type 1.\nError 205:"))
        << r.err.toStdString();
    EXPECT_EQ(r.out, QFile::encodeName(d) + "GOOD.SAP\n" + QFile::encodeName(d) + "GOOD.APP\n")
        << "the next file is still converted";
    EXPECT_FALSE(QFile::exists(d + QStringLiteral("BAD.RUN")));
}

TEST(PostLinkCli, UsageAndInvalidNames)
{
    const CliRun none = runCli({QStringLiteral("--postlink")});
    EXPECT_EQ(none.exitCode, 2);
    EXPECT_TRUE(none.err.startsWith("usage: brennock --postlink FILE.BIN"));

    const CliRun txt =
        runCli({QStringLiteral("--postlink"), QStringLiteral("/nonexistent/NOTES.TXT")});
    EXPECT_EQ(txt.exitCode, 1);
    EXPECT_EQ(txt.err, QByteArray("Error: Invalid .BIN file!\n"));
    EXPECT_TRUE(txt.out.isEmpty());
}
