// Everything that shapes one run of the simulated instrument: where the link
// is, the card, the log, the pacing, and the faults a test asks for.
#pragma once

#include "CommandHelp.h"

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
    // A second byte this soon after the answer to '&' is a doubled answer.
    int ampGuardMs = 50;
    // After a failed LOAD the monitor drops everything until the line has been
    // quiet this long, then reports the failure with its prompt.
    int failDrainMs = 100;
    // A CR after this much quiet starts a new wake-up (for --answer-on-cr).
    int wakeResetMs = 1000;
};

struct SimOptions {
    QString linkPath;     // symlink to the slave device; empty = none
    QString cardDir;      // empty = sample card in a temporary folder
    bool skiffer = false; // start with the link server running
    QString logPath;      // conversation log; empty = none
    QString saveLoadsDir; // every LOAD's received bytes are written here; empty = not
    // Bits per second for pacing; 0 = as fast as the pty goes; kClientRate = at
    // the baud rate the client has set, phase by phase.
    qint64 lineRate = 0;
    static constexpr qint64 kClientRate = -1;
    // The instrument's terminal rate: console and monitor talk at it; the
    // block load switches to the LOAD line's rate after '+', "lo" to 57,600.
    qint64 terminalBaud = 9600;
    // Forgive what a real instrument does not: inexact LOAD lines, bytes before
    // a handshake, wrong block lengths, CR in link commands, loose tdate, the
    // host at another baud rate. For demos only.
    bool lenient = false;
    // Time between the last byte of a host message and the first of the answer.
    int turnaroundMs = 0;

    // Faults.
    bool noPrompt = false;           // never print a prompt
    int promptDelayMs = 0;           // print every prompt this late
    bool noPlus = false;             // swallow LOAD without '+'
    int wrongAck = -1;               // send this byte instead of the first '='
    int stallAfterBlocks = -1;       // after this many blocks send no more '='
    bool noMinus = false;            // end a load without '-'
    int extraAmp = 0;                // send this many '&' before '-'
    int chunkSize = 0;               // listing in pieces of this many bytes ...
    int chunkGapMs = 0;              // ... with this gap between them
    bool crlfListing = false;        // listing lines end in CR LF
    qint64 stallDownloadAfter = -1;  // send only this many bytes of a file
    bool silent = false;             // never send anything
    bool oddNames = false;           // list names with blanks or too long for the column
    bool promptSpace = false;        // the prompt ends in "> "
    int answerOnCr = 0;              // silent until the Nth CR of a wake-up (0, 1: the first)
    bool noEcho = false;             // typed characters are not echoed
    bool programWaitsForEtx = false; // a started program ignores everything until ETX
    QStringList programLines;        // what a started program prints
    int noiseBeforePlus = 0;         // this many other bytes before LOAD's '+'
    int wrongAckBlock = 1;           // --wrong-ack replaces the '=' of this block (1 = first)
    bool equalsAfterLast = false;    // '=' also after the last block
    bool noPercentAfterLo = false;   // "lo" gets no '%'
    bool noPercentAfterData = false; // the end of a lo download gets no '%'
    int listingDelayMs = 0;          // a listing's first byte comes this late
    int tdateDelayMs = 0;            // the set-clock reply comes this late
    int downloadPauseMs = 0;         // a download pauses this long in the middle
    bool nulInListing = false;       // every entry line of a listing carries a NUL
    bool nulInClockReply = false;    // the set-clock reply carries a NUL
    bool missingFileText = false;    // "s" of a missing file is answered with text
    QString uploadText;              // "during" or "after": server text around an upload
    qint64 uploadStallAfter = -1;    // stop reading an upload after this many bytes
    qint64 vanishAfterBytes = -1;    // the device disappears after this many received bytes
    int vanishAfterMs = -1;          // ... or this long after the start
    int comeBackMs = -1;             // ... and comes back at the same link after this long
    bool hostileNames = false;       // listings add files whose names leave a client's folder
    bool badDates = false;           // listings give every file a date that does not exist
    bool controlNames = false;       // listings add files whose names hold control bytes
    QString growPattern;             // files matching this wildcard grow before each "s" ...
    qint64 growBytes = 0;            // ... by this many bytes (a log being written)
    int noiseAfterSend = 0;          // this many bytes of line noise follow each file sent

    SimTiming timing;
};

// Parses the arguments (without the program name). Returns false with a
// message for the user on bad input; *help is set for --help / -h.
bool parseSimOptions(const QStringList& args, SimOptions* out, QString* error, bool* help);

// The command line as one table, every switch with its meaning: the --help text
// and the man page are both made from it.
manual::CommandHelp simCommandHelp();
QString simHelpText();

} // namespace qx2sim
