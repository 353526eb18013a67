// harbrooklink's command line for scripts: the same link code as the window,
// without a window or a display.
//
//   harbrooklink --port DEVICE ls [DIR]
//   harbrooklink --port DEVICE get [--from DIR] [--to LOCALDIR] NAME...
//   harbrooklink --port DEVICE put [--to DIR] FILE [--name NAME] [FILE [--name NAME]]...
//   harbrooklink --port DEVICE settime
//
// Listings go to standard output, log lines and progress to standard error.
// Exit status: 0 success, 1 the instrument did not answer, refused, or a file
// did not arrive whole; 2 a usage error.
#pragma once

#include "LinkTiming.h"

#include <QString>
#include <QStringList>

namespace linkcli
{

enum ExitCode { Success = 0, Failure = 1, Usage = 2 };

struct Request {
    enum Kind { Window, Help, Version, List, Get, Put, SetTime } kind = Window;
    QStringList ports;     // every --port, in order
    QStringList cardPath;  // ls DIR, get --from, put --to (names below C:\)
    QString localDir;      // get --to
    QStringList operands;  // get: card names; put: local files
    QStringList cardNames; // put: --name per file, empty where none was given
};

// True when args (without the program name) hold one of the commands or
// --help or --version, so the program needs no display.
bool isCommandLine(const QStringList& args);
// Parses the arguments; false with a message for a usage error.
bool parse(const QStringList& args, Request* out, QString* error);
// "DATA/OLD", "\DATA\OLD", "C:\DATA\OLD" -> {"DATA", "OLD"}; "" or "C:\" -> {}.
QStringList cardPathFrom(const QString& text);
// The --help text, from the table that also gives the man page (LinkCommandHelp).
QString helpText();

// Runs a command against the instrument; returns the exit status.
int run(const Request& request, const LinkTiming& timing = LinkTiming());

} // namespace linkcli
