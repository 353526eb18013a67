#include "BrennockApp.h"

#include "PortBindings.h"
#include "SettingsStore.h"
#include "MainFrame.h"
#include "ShellDefaults.h"
#include "SingleInstance.h"

#include <QApplication>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

QString commandLineFile(const QStringList& arguments)
{
    bool optionsEnded = false;
    for (int i = 1; i < arguments.size(); ++i) {
        const QString& argument = arguments.at(i);
        if (!optionsEnded && argument == QLatin1String("--")) {
            optionsEnded = true;
            continue;
        }
        if (!optionsEnded && argument.startsWith(QLatin1Char('-')))
            continue;
        return argument;
    }
    return QString();
}

int runBrennock(QApplication& app)
{
    // A name relative to this start's folder means nothing to the running instance.
    QString file = commandLineFile(app.arguments());
    if (!file.isEmpty())
        file = QFileInfo(file).absoluteFilePath();

    SingleInstance instance(SingleInstance::defaultName());
    switch (instance.start(file)) {
    case SingleInstance::Role::HandedOver:
        return 0;
    case SingleInstance::Role::Failed:
        // Still usable on its own; only the hand-over of a second start is lost.
        std::fprintf(stderr,
                     "brennock: cannot listen on \"%s\"; a second start will open another window\n",
                     qPrintable(instance.name()));
        break;
    case SingleInstance::Role::Primary:
        break;
    }

    SettingsStore settings(brennockSettingsPath());
    writeStartDefaults(settings);

    CMainFrame frame(settings);
    QObject::connect(&instance, &SingleInstance::fileHandedOver, &frame,
                     &CMainFrame::handOverFromSecondStart);
    frame.show();
    // The document opens once the window is up, so a port error shows over it.
    QTimer::singleShot(0, &frame, [&frame, file] { frame.startDocument(file); });
    return app.exec();
}
