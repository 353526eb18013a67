// brennock's start-up: one instance per user, the stored defaults, the main window and
// the command line's file.
#pragma once

#include <QStringList>

class QApplication;

// Runs the program in app; returns the exit code. A second start hands its file name
// (possibly empty) to the running instance and returns 0 at once.
int runBrennock(QApplication& app);

// The file named on the command line, or empty: the first argument that is not an
// option.
QString commandLineFile(const QStringList& arguments);
