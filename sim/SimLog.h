// The conversation log: one text line per chunk that crossed the line, and
// one per notable event of the instrument (a load, a stored file, a clock
// change). Every record carries the line settings in force when it was
// written, so a reader can see, for example, that a block went at 115200 8N2.
//
//   <seconds> <kind> <baud> <format> n=<count> hex=<bytes> text="<printable>"
//   <seconds> EV <baud> <format> <event text>
//
// <seconds> counts from the start of qx2sim with microseconds; <kind> is RX
// (host to instrument) or TX (instrument to host); <bytes> are upper-case hex
// pairs without separators; <printable> shows the same bytes with C escapes.
// Lines beginning with '#' are comments.
#pragma once

#include "LineSettings.h"

#include <QByteArray>
#include <QFile>
#include <QList>
#include <QString>

#include <mutex>

namespace qx2sim
{

struct LogRecord {
    enum Kind { Rx, Tx, Event };
    double seconds = 0;
    Kind kind = Rx;
    LineSettings settings;
    QByteArray bytes; // Rx and Tx
    QString event;    // Event: the text after the settings
};

// Printable form used in the text= field: 0x20..0x7E as they are (backslash
// and quote escaped), \r \n \t \b, everything else as \xNN.
QString escapeBytes(const QByteArray& bytes);

QString formatLogRecord(const LogRecord& record);
// Parses one line; false for comments, blank lines and malformed lines.
bool parseLogLine(const QString& line, LogRecord* out);
// Every record of a log file, in order; comment lines are skipped.
QList<LogRecord> readLogFile(const QString& path, bool* ok = nullptr);

// Appends records to a file and flushes each, so a reader sees them at once.
class LogWriter
{
public:
    // Opens path for writing (truncating); false with a reason on failure.
    bool open(const QString& path, QString* error);
    bool isOpen() const { return file.isOpen(); }
    void write(const LogRecord& record);
    void comment(const QString& text);

private:
    std::mutex mutex;
    QFile file;
};

} // namespace qx2sim
