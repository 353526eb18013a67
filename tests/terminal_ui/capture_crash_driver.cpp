// A brennock window that captures while text keeps arriving, for the crash check:
//   capture_crash_driver CONFIG_INI CAPTURE_FILE
// Capture starts to CAPTURE_FILE without questions; then every 20 ms a line
// "line N" is shown in the terminal, and N is printed on stdout once it is shown.
// The test kills the process and looks at the file.
#include "BrennockDoc.h"
#include "CaptureController.h"
#include "MainFrame.h"
#include "RecordingFeedback.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char* argv[])
{
    QApplication app(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: capture_crash_driver CONFIG_INI CAPTURE_FILE\n");
        return 2;
    }
    SettingsStore settings(QString::fromLocal8Bit(argv[1]));
    writeStartDefaults(settings);
    CaptureChoices choices;
    choices.promptForFilename = 2;
    choices.pathName = QString::fromLocal8Bit(argv[2]);
    choices.writeMode = 2;
    choices.includeBuffer = 3;
    choices.store(settings);

    RecordingFeedback feedback;
    CMainFrame frame(settings, &feedback);
    frame.captureController().onStart();
    if (!frame.capturing()) {
        std::fprintf(stderr, "capture did not start\n");
        return 1;
    }
    int line = 0;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        const QByteArray text = "line " + QByteArray::number(++line) + "\n";
        frame.document().DeliverToViews(text.constData(), text.size());
        std::printf("%d\n", line);
        std::fflush(stdout);
    });
    ticker.start(20);
    return app.exec();
}
