// harbrooklink: the window, or with a command (ls, get, put, settime) the same
// link code for scripts, without a display.
#include "AppIdentity.h"
#include "LinkCli.h"
#include "LinkCommandHelp.h"
#include "MainWindow.h"

#include <QApplication>
#include <QCoreApplication>
#include <QLoggingCategory>

#include <cstdio>

namespace
{
QStringList argumentsOf(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args.append(QString::fromLocal8Bit(argv[i]));
    return args;
}

// The window needs a display; say so plainly instead of letting the platform abort.
bool haveDisplay(const QStringList& args)
{
    return qEnvironmentVariableIsSet("DISPLAY") || qEnvironmentVariableIsSet("WAYLAND_DISPLAY") ||
           qEnvironmentVariableIsSet("QT_QPA_PLATFORM") ||
           args.contains(QStringLiteral("-platform"));
}

int usageError(const QString& error)
{
    fprintf(stderr, "harbrooklink: %s\nTry 'harbrooklink --help'.\n",
            error.toLocal8Bit().constData());
    return linkcli::Usage;
}
} // namespace

int main(int argc, char** argv)
{
    if (linkcli::isCommandLine(argumentsOf(argc, argv))) {
        QCoreApplication app(argc, argv);
        applyAppIdentity();
        // The link's diagnostic lines are for developers; scripts see the log lines.
        if (!qEnvironmentVariableIsSet("HARBROOKLINK_DEBUG"))
            QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
        linkcli::Request request;
        QString error;
        if (!linkcli::parse(app.arguments().mid(1), &request, &error))
            return usageError(error);
        if (request.kind == linkcli::Request::Help) {
            fprintf(stdout, "%s", linkcli::helpText().toLocal8Bit().constData());
            return linkcli::Success;
        }
        if (request.kind == linkcli::Request::Version) {
            fprintf(stdout, "%s", manual::versionText(linkCommandHelp()).toLocal8Bit().constData());
            return linkcli::Success;
        }
        return linkcli::run(request);
    }

    if (!haveDisplay(argumentsOf(argc, argv))) {
        fprintf(stderr, "harbrooklink: no display (neither DISPLAY nor WAYLAND_DISPLAY is set).\n"
                        "The window needs a desktop session; without one use a command "
                        "(see 'harbrooklink --help').\n");
        return linkcli::Failure;
    }
    QApplication app(argc, argv);
    applyAppIdentity();
    // Matches the installed harbrooklink.desktop, for the desktop's icon and grouping.
    QGuiApplication::setDesktopFileName(QStringLiteral("harbrooklink"));
    linkcli::Request request;
    QString error;
    // Qt has taken its own options (-platform, -style ...) out of the list.
    if (!linkcli::parse(app.arguments().mid(1), &request, &error))
        return usageError(error);
    MainWindowOptions options;
    options.extraPorts = request.ports;
    MainWindow window(options);
    window.show();
    return app.exec();
}
