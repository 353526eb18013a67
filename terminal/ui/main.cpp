// brennock: the terminal and program loader of the Vantrel QX2.
//   brennock [FILE]               the terminal window; FILE is opened as a document
//   brennock --postlink ...       the post-link converter, without a window
#include "BrennockApp.h"
#include "PostLinkCli.h"

#include <QApplication>
#include <QIcon>

#include <cstring>

int main(int argc, char* argv[])
{
    // The converter runs headless: decide before any display is touched.
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--postlink") == 0)
            return postLinkMain(argc, argv);
    }
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Vantrel"));
    QApplication::setApplicationName(QStringLiteral("Brennock"));
    QApplication::setDesktopFileName(QStringLiteral("brennock"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/brennock/brennock.png")));
    return runBrennock(app);
}
