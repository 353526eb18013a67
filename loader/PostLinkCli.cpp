#include "PostLinkCli.h"

#include "ConsoleFeedback.h"
#include "PostLink.h"

#include <QFile>

#include <cstdio>
#include <cstring>

int postLinkMain(int argc, char** argv)
{
    QStringList files;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--postlink") != 0)
            files << QFile::decodeName(QByteArray(argv[i]));
    }
    if (files.isEmpty()) {
        std::fputs("usage: brennock --postlink FILE.BIN [FILE.BIN ...]\n", stderr);
        return 2;
    }

    ConsoleFeedback feedback(stderr);
    const LoadProgressFactory progress = [] {
        return std::make_unique<ConsoleLoadProgress>(stderr);
    };
    bool allConverted = true;
    for (const QString& file : files) {
        const postlink::PostLinkResult result = postlink::PostLink(file, feedback, progress);
        for (const postlink::LoadTypeOutcome& t : result.types) {
            for (const QString& warning : t.warnings)
                std::fprintf(stderr, "Warning: %s\n", qPrintable(warning));
        }
        for (const QString& written : result.written())
            std::printf("%s\n", QFile::encodeName(written).constData());
        std::fflush(stdout);
        allConverted = allConverted && result.succeeded;
    }
    return allConverted ? 0 : 1;
}
