// The load commands' pure rules (8.3 names, upper-case form, folders, the Load
// dialog's filter) and the dispatch of OnLoadAny by the last three characters,
// seen through what each path tells the user when no port is open.
#include "FakeMonitorLine.h"
#include "LoadCommands.h"
#include "SettingsStore.h"
#include "TestSupport.h"

#include <functional>

using namespace loadcmd;

TEST(LoadCommands, MakeDosName)
{
    const struct {
        const char* name;
        const char* want;
    } cases[] = {
        {"NOTES.TXT", "NOTES.TXT"},
        {"LONGFILENAME.TXT", "LONGFILE.TXT"},
        {"MY FILE.TXT", "MY_FILE.TXT"},
        {"README", "README"},
        {"TWELVECHARSX", "TWELVECH"},
        {"NINECHARS.BAT", "NINECHAR.BAT"},
        {"EIGHTCHR.TXT", "EIGHTCHR.TXT"},
        {"A.LONGEXT", "A.LONGEXT"},
        {"LONGFILENAME.LONGEXT", "LONGFILE.LONGEXT"},
        {"A B C", "A_B_C"},
        {"MANY.DOTS.IN.NAME", "MANY.DOT.NAME"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(MakeDosName(QString::fromLatin1(c.name)), QString::fromLatin1(c.want)) << c.name;
}

TEST(LoadCommands, PathForms)
{
    EXPECT_EQ(upperPathForm(QStringLiteral("/home/ann/notes.txt")),
              QStringLiteral("/HOME/ANN/NOTES.TXT"));
    EXPECT_EQ(upperPathForm(QStringLiteral("/d/\u00e9t\u00e9.bin")),
              QStringLiteral("/D/\u00e9T\u00e9.BIN"))
        << "only a to z change";
    const QString longPath = QString(300, QLatin1Char('a'));
    EXPECT_EQ(upperPathForm(longPath),
              QString(256, QLatin1Char('A')) + QString(44, QLatin1Char('a')));
    EXPECT_EQ(folderOf(QStringLiteral("/home/ann/x.run")), QStringLiteral("/home/ann/"));
    EXPECT_EQ(folderOf(QStringLiteral("x.run")), QString());
    EXPECT_EQ(folderOf(QStringLiteral("/home/ann/")), QString());
    const QStringList filters = loadNameFilters();
    ASSERT_EQ(filters.size(), 9);
    EXPECT_EQ(filters[0], QStringLiteral("Common QXx Load Files (*.bin *.run *.app)"));
    EXPECT_EQ(filters[4], QStringLiteral("Flash Card Application (*.pxe)"));
    EXPECT_EQ(filters[8], QStringLiteral("All Files (*.*)"));
    EXPECT_TRUE(defaultFolder().endsWith(QLatin1Char('/')));
}

namespace
{
class NoPortHost : public LoadHost, public ReaderControl
{
public:
    QStringList recent;
    int stops = 0;
    MonitorLine* line() override { return nullptr; }
    ReaderControl& readerControl() override { return *this; }
    MonitorSession::Rates rates() const override { return {}; }
    void showInTerminal(const QByteArray&) override {}
    void addRecentFile(const QString& path) override { recent << path; }
    bool stopReader() override
    {
        ++stops;
        return false;
    }
    bool restartReader() override { return false; }
};

// A port whose writes the test can make fail, without the device going away.
class FakeLineHost : public NoPortHost
{
public:
    FakeMonitorLine fake;
    MonitorLine* line() override { return &fake; }
};
} // namespace

TEST(LoadCommands, DispatchByTheLastThreeCharacters)
{
    QTemporaryDir dir;
    const auto file = [&](const char* name) {
        const QString p = dir.path() + QLatin1Char('/') + QString::fromLatin1(name);
        writeAll(p, "x");
        return p;
    };
    const struct {
        const char* name;
        QString path;
        const char* wantText; // the start of what the user is told
        bool wantRecent;
    } cases[] = {
        {"run file", file("a.run"), "Not connected", true},
        {"app file, any case", file("a.ApP"), "Not connected", true},
        {"hex file", file("a.s19"), "Not connected", false},
        {"pxe file", file("a.pxe"), "Not connected", false},
        {"missing pxe", dir.path() + QStringLiteral("/none.pxe"), "Cannot open file", false},
        {"text file", file("a.txt"), "Not connected", false},
        {"missing text file", dir.path() + QStringLiteral("/none.txt"),
         "Cannot open [file] [directory]: [none.txt]", false},
        {"XBIN without a dot goes to the converter", file("PROGXBIN"), "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NoPortHost host;
        RecordingFeedback feedback;
        SettingsStore settings(dir.path() + QStringLiteral("/b.ini"));
        LoadCommands commands(host, &settings, feedback);
        EXPECT_FALSE(commands.OnLoadAny(c.path));
        ASSERT_FALSE(feedback.messages.isEmpty());
        if (*c.wantText) {
            EXPECT_TRUE(
                feedback.messages.constLast().text.startsWith(QString::fromLatin1(c.wantText)))
                << feedback.messages.constLast().text.toStdString();
        } else {
            // The converter's own report, not a capture send's.
            EXPECT_NE(feedback.messages.constLast().caption, QStringLiteral("LOAD"));
        }
        EXPECT_EQ(host.recent.size(), c.wantRecent ? 1 : 0);
        EXPECT_EQ(host.stops, 0) << "nothing is paused without a port";
    }
}

TEST(LoadCommands, DefaultsOfTheRememberedValues)
{
    QTemporaryDir dir;
    NoPortHost host;
    RecordingFeedback feedback;
    SettingsStore settings(dir.path() + QStringLiteral("/b.ini"));
    LoadCommands commands(host, &settings, feedback);
    EXPECT_EQ(commands.lastDir(), defaultFolder());
    EXPECT_EQ(commands.readPath("LastDir"), defaultFolder()) << "written when empty";
    EXPECT_EQ(commands.lastExt(), QStringLiteral("*.bin"));
    commands.rememberLoadExtension(QStringLiteral("/x/prog.v2.Run"));
    EXPECT_EQ(commands.lastExt(), QStringLiteral("*.Run"));
    commands.rememberLoadExtension(QStringLiteral("/x.d/README"));
    EXPECT_EQ(commands.lastExt(), QStringLiteral("*.Run")) << "no dot in the name: unchanged";
}

TEST(LoadCommands, AFailedSendSaysWhyAndIsNotRemembered)
{
    QTemporaryDir dir;
    const QString text = dir.path() + QStringLiteral("/notes.txt");
    ASSERT_TRUE(writeAll(text, "hello"));
    const struct {
        const char* name;
        int shortWriteAt; // the write of this size gets nothing out
        std::function<bool(LoadCommands&)> send;
        const char* want;
    } cases[] = {
        {"capture command", 1, [&](LoadCommands& c) { return c.OnLoadAny(text); },
         "The CAPTURE command did not go out"},
        {"Send Binary File", 1, [&](LoadCommands& c) { return c.sendBinaryFile(text); },
         "The send stopped after 0 of 5 bytes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeLineHost host;
        host.fake.shortWriteAt = c.shortWriteAt;
        RecordingFeedback feedback;
        SettingsStore settings(dir.path() + QStringLiteral("/b.ini"));
        LoadCommands commands(host, &settings, feedback);
        commands.setSleepFunction([](int) {});
        EXPECT_FALSE(c.send(commands));
        ASSERT_EQ(feedback.messages.size(), 1);
        EXPECT_TRUE(feedback.messages[0].text.startsWith(QLatin1String(c.want)))
            << feedback.messages[0].text.toStdString();
        EXPECT_TRUE(commands.readPath("LastLoad").isEmpty());
    }
}

TEST(LoadCommands, AFailedConversionIsNotRememberedAsThePostLinkSpec)
{
    QTemporaryDir dir;
    const QString bin = dir.path() + QStringLiteral("/BAD.BIN");
    ASSERT_TRUE(writeAll(bin, QByteArray(64, 'x')));
    FakeLineHost host;
    RecordingFeedback feedback;
    SettingsStore settings(dir.path() + QStringLiteral("/b.ini"));
    LoadCommands commands(host, &settings, feedback);
    EXPECT_FALSE(commands.postLinkAndLoad(bin));
    EXPECT_FALSE(feedback.messages.isEmpty());
    EXPECT_TRUE(commands.readPath("PostLinkSpec").isEmpty());
    EXPECT_TRUE(host.fake.wire.isEmpty());
}
