// Everything that shapes one run of the simulated instrument: where the link
// is, the card, the log, the pacing, and the faults a test asks for.
#pragma once

#include <QString>
#include <QStringList>

namespace qx2sim
{

// Waits of the instrument, in one place. The program keeps these values;
// tests shorten them through SimOptions::timing.
struct SimTiming {
    // A LOAD data phase that hears nothing for this long is abandoned, so that
    // the host's later wake-up bytes are not taken as block data.
    int loadIdleMs = 3000;
    // An upload that hears nothing for this long is discarded (the client sends
    // nothing more when its user cancels).
    int uploadIdleMs = 3000;
    // A "lo" download without an end record ends after this much quiet.
    int hexIdleMs = 300;
    // After its closing '%' the monitor waits this long for the host's '%'.
    int hexClosingMs = 2000;
};

struct SimOptions {
    QString linkPath;     // symlink to the slave device; empty = none
    QString cardDir;      // empty = sample card in a temporary folder
    bool skiffer = false; // start with the link server running
    QString logPath;      // conversation log; empty = none
    // Bits per second for pacing; 0 = as fast as the pty goes; kClientRate = at
    // the baud rate the client has set, phase by phase.
    qint64 lineRate = 0;
    static constexpr qint64 kClientRate = -1;

    // Faults.
    bool noPrompt = false;          // never print a prompt
    int promptDelayMs = 0;          // print every prompt this late
    bool noPlus = false;            // swallow LOAD without '+'
    int wrongAck = -1;              // send this byte instead of the first '='
    int stallAfterBlocks = -1;      // after this many blocks send no more '='
    bool noMinus = false;           // end a load without '-'
    int extraAmp = 0;               // send this many '&' before '-'
    int chunkSize = 0;              // listing in pieces of this many bytes ...
    int chunkGapMs = 0;             // ... with this gap between them
    bool crlfListing = false;       // listing lines end in CR LF
    qint64 stallDownloadAfter = -1; // send only this many bytes of a file
    bool silent = false;            // never send anything
    bool oddNames = false;          // list names with blanks or too long for the column

    SimTiming timing;
};

// Parses the arguments (without the program name). Returns false with a
// message for the user on bad input; *help is set for --help / -h.
bool parseSimOptions(const QStringList& args, SimOptions* out, QString* error, bool* help);

// The --help text: every switch with its meaning.
QString simHelpText();

} // namespace qx2sim
