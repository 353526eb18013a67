// qx2sim: the simulated Vantrel QX2 on a pseudo-terminal. Parses the switches,
// starts the engine, says "READY <device>" and serves until SIGTERM or SIGINT.
#include "SimEngine.h"
#include "SimOptions.h"

#include <QStringList>

#include <csignal>
#include <cstdio>
#include <pthread.h>

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 1; i < argc; ++i)
        args << QString::fromLocal8Bit(argv[i]);

    if (args.contains(QStringLiteral("--version"))) {
        std::fputs(manual::versionText(qx2sim::simCommandHelp()).toLocal8Bit().constData(), stdout);
        return 0;
    }
    qx2sim::SimOptions options;
    QString error;
    bool help = false;
    if (!qx2sim::parseSimOptions(args, &options, &error, &help)) {
        std::fprintf(stderr, "qx2sim: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    if (help) {
        std::fputs(qx2sim::simHelpText().toLocal8Bit().constData(), stdout);
        return 0;
    }

    // The signals are taken by sigwait below; the engine's thread inherits the mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    qx2sim::SimEngine engine(options);
    if (!engine.start(&error)) {
        std::fprintf(stderr, "qx2sim: %s\n", error.toLocal8Bit().constData());
        return 1;
    }
    std::fprintf(stderr, "qx2sim: card %s%s%s\n", engine.cardRoot().toLocal8Bit().constData(),
                 options.linkPath.isEmpty() ? "" : ", link ",
                 options.linkPath.toLocal8Bit().constData());
    std::printf("READY %s\n", engine.deviceName().toLocal8Bit().constData());
    std::fflush(stdout);

    int sig = 0;
    sigwait(&stopSignals, &sig);
    engine.stop();
    return 0;
}
