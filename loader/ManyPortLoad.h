// `brennock --load FILE --port A --port B ...`: the same file into every port at once.
//
// Every port has a thread of its own, with its own open port, load commands and
// session. The conversations block on their own port's reads and writes, so a port that
// fails or vanishes ends its own thread (after its own time-outs) while the others go on
// at their pace. Threads rather than a process per port: the file is read, and a .BIN
// converted, once before any port is opened; the settings file keeps one writer; the
// table is made from the results in memory rather than parsed from children's output.
// The threads share only what they read (the path, the rates, the line format) and the
// progress board, which has its lock.
//
// Progress and each port's messages go to stderr through a LoadBoard; at the end the
// table (port, result, CRC line, seconds) goes to stdout. The instruments' own text is
// not printed. The Load command's paths are remembered once, when at least one port
// took the file.
#pragma once

#include "LoadCli.h"
#include "MonitorSession.h"

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QVector>

struct LoadPortTarget {
    QString name;   // as the user gave it
    QString device; // what it resolved to
};

struct PortLoadResult {
    QString port;
    bool ok = false;
    QByteArray crcLine; // the CRC report line without its line ends; empty when none
    double seconds = 0;
};

// Resolves every --port; false with the reason when a name names no device or two name
// the same one.
bool resolveLoadPorts(const QStringList& names, const LoadCliEnvironment& env,
                      QVector<LoadPortTarget>* targets, QString* problem);

// The closing table: a heading line, then one line per port in the order given.
QByteArray loadResultTable(const QVector<PortLoadResult>& results);

// Loads file (an absolute path) into every port at once; the exit status: 0 when every
// port took it, 1 when any did not (named on stderr) or a .BIN could not be converted.
int loadManyPorts(const QString& file, const QVector<LoadPortTarget>& ports,
                  MonitorSession::Rates rates, const LoadCliEnvironment& env);
