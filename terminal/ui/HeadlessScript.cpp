#include "HeadlessScript.h"

#include "ConsoleScript.h"
#include "ConsoleScriptRun.h"
#include "HeadlessLoad.h"
#include "LoadCli.h"
#include "PortBindings.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"

#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace
{

class ScriptFollowUp : public LoadCliFollowUp
{
public:
    explicit ScriptFollowUp(ConsoleScriptRun& run) : script(run) {}
    void consoleText(const QByteArray& bytes) override
    {
        script.consoleText(bytes.constData(), bytes.size());
    }
    int run(SerialPort& port) override
    {
        ran = true;
        return script.run(port);
    }
    bool ran = false;

private:
    ConsoleScriptRun& script;
};

bool unset(const char* name)
{
    const char* value = std::getenv(name);
    return !value || !*value;
}

} // namespace

bool isHeadlessRunOption(const char* arg)
{
    return std::strcmp(arg, "--load") == 0 || isConsoleScriptOption(QString::fromLatin1(arg));
}

int headlessRunMain(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QFile::decodeName(QByteArray(argv[i]));

    ConsoleScript script;
    QStringList rest;
    QString error;
    if (!parseConsoleScript(args, &script, &rest, &error)) {
        std::fprintf(stderr, "brennock: %s\n%s", qPrintable(error),
                     qPrintable(consoleScriptUsageText()));
        return 2;
    }
    SettingsStore settings(brennockSettingsPath());
    LoadCliEnvironment env = storedLoadEnvironment(settings);
    if (script.empty())
        return loadMain(rest, env);

    ConsoleScriptRun run(script, stdout, stderr, ::isatty(STDOUT_FILENO) == 1);
    const QString delay = QStringLiteral("Delay");
    run.setPacing({clampedDelay(settings.readInt(delay, QStringLiteral("DelayChar"), 0)),
                   clampedDelay(settings.readInt(delay, QStringLiteral("DelayLF"), 0))});
    if (!run.openCapture())
        return 1;
    ScriptFollowUp followUp(run);
    env.followUp = &followUp;
    const int status = loadMain(rest, env);
    // A run that ended before its steps still leaves its capture: the failed load's
    // text. A port that never opened leaves an earlier file as it was.
    if (!followUp.ran && !run.finishCapture(false))
        return std::max(status, 1);
    return status;
}

const char* missingDisplayMessage()
{
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    const bool defaultPlatform = !platform || !*platform || std::strncmp(platform, "xcb", 3) == 0 ||
                                 std::strncmp(platform, "wayland", 7) == 0;
    if (!defaultPlatform || !unset("DISPLAY") || !unset("WAYLAND_DISPLAY"))
        return "";
    return "brennock: The terminal window needs a display (DISPLAY is not set); --load and "
           "the script options (--send, --expect, ...) run without one.\n";
}
