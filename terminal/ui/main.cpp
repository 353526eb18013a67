// brennock: the terminal and program loader of the Vantrel QX2.
//   brennock [FILE]               the terminal window; FILE is opened as a document
//   brennock --postlink ...       the post-link converter, without a window
//   brennock --load FILE ...      a load into the instrument, without a window
//   brennock --send/--expect ...  a console script, after the load, without a window
#include "BrennockApp.h"
#include "ConsoleScript.h"
#include "HeadlessScript.h"
#include "LoadCli.h"
#include "PostLinkCli.h"

#include <QApplication>
#include <QIcon>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[])
{
    // The converter and the load run headless: decide before any display is touched.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--postlink") == 0)
            return postLinkMain(argc, argv);
        if (isHeadlessRunOption(argv[i]))
            return headlessRunMain(argc, argv);
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("usage:\n"
                        "  brennock [FILE]\n"
                        "        the terminal window; FILE is opened and loaded like a recent "
                        "file\n"
                        "  brennock --postlink FILE.BIN [FILE.BIN ...]\n"
                        "        convert linker outputs without a window\n"
                        "%s%s",
                        qPrintable(loadUsageText()), qPrintable(consoleScriptUsageText()));
            return 0;
        }
    }
    if (*missingDisplayMessage()) {
        std::fputs(missingDisplayMessage(), stderr);
        return 2;
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationName(QStringLiteral("Brennock"));
    QApplication::setDesktopFileName(QStringLiteral("brennock"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/brennock/brennock.png")));
    return runBrennock(app);
}
