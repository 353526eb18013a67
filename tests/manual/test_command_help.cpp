// Each program's --help, its man page and its bash completion name the same options,
// and --version prints the project's version: the real programs and the pages the
// build generated.
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>

#include <gtest/gtest.h>

namespace
{

struct Program {
    const char* name;
    const char* path;
    bool hasCompletion;
};

void PrintTo(const Program& p, std::ostream* os)
{
    *os << p.name;
}

QString output(const Program& p, const QString& option)
{
    QProcess process;
    process.start(QString::fromLatin1(p.path), {option});
    if (!process.waitForFinished(10000) || process.exitCode() != 0)
        return QString();
    return QString::fromLocal8Bit(process.readAllStandardOutput());
}

QString fileText(const QString& path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? QString::fromUtf8(f.readAll()) : QString();
}

// Every "--word" and "-x" that stands alone (not the hyphen of "S-records").
QSet<QString> optionsIn(const QString& text)
{
    static const QRegularExpression option(QStringLiteral("(?<![\\w-])--?[a-zA-Z][\\w-]*"));
    QSet<QString> found;
    auto it = option.globalMatch(text);
    while (it.hasNext())
        found.insert(it.next().captured());
    return found;
}

// The page as a reader sees it: minus signs as hyphens, no font changes.
QString roffToText(QString page)
{
    page.replace(QStringLiteral("\\-"), QStringLiteral("-"));
    page.remove(QRegularExpression(QStringLiteral("\\\\f[BIRP]")));
    return page.replace(QStringLiteral("\\e"), QStringLiteral("\\"));
}

std::string joined(QSet<QString> set)
{
    QStringList list = set.values();
    list.sort();
    return list.join(QLatin1Char(' ')).toStdString();
}

class CommandHelp : public testing::TestWithParam<Program>
{
};

TEST_P(CommandHelp, HelpAndManPageNameTheSameOptions)
{
    const Program& p = GetParam();
    const QSet<QString> help = optionsIn(output(p, QStringLiteral("--help")));
    const QString page = fileText(QStringLiteral(MAN_DIR "/%1.1").arg(QLatin1String(p.name)));
    ASSERT_FALSE(page.isEmpty()) << "no man page for " << p.name;
    EXPECT_TRUE(help.contains(QStringLiteral("--help")) &&
                help.contains(QStringLiteral("--version")))
        << joined(help);
    EXPECT_EQ(joined(help), joined(optionsIn(roffToText(page))));
}

TEST_P(CommandHelp, CompletionOffersEveryOptionOfHelp)
{
    const Program& p = GetParam();
    if (!p.hasCompletion)
        GTEST_SKIP() << p.name << " has no bash completion";
    const QSet<QString> help = optionsIn(output(p, QStringLiteral("--help")));
    const QSet<QString> completion =
        optionsIn(fileText(QStringLiteral(COMPLETION_DIR "/%1").arg(QLatin1String(p.name))));
    EXPECT_EQ(joined(help - completion), "") << "missing from the completion";
}

TEST_P(CommandHelp, VersionIsTheProjectVersion)
{
    const Program& p = GetParam();
    EXPECT_EQ(output(p, QStringLiteral("--version")).toStdString(),
              std::string(p.name) + " " PROJECT_VERSION_TEXT "\n");
}

INSTANTIATE_TEST_SUITE_P(Programs, CommandHelp,
                         testing::Values(Program{"brennock", BRENNOCK_PATH, true},
                                         Program{"harbrooklink", HARBROOKLINK_PATH, true},
                                         Program{"qx2sim", QX2SIM_PATH, false}),
                         [](const testing::TestParamInfo<Program>& info) {
                             return std::string(info.param.name);
                         });

} // namespace
