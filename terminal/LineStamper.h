// Line timestamps: "[HH:MM:SS.mmm] " in front of each line, the PC's time of the
// line's first byte (the moment the delivery holding it was handed over).
//
// The view puts the same text in front of each line it shows; LineStamper does it for
// the capture file, on the translated runs (line breaks CR LF), so a line that arrives
// in pieces is stamped once, with the time of its first piece.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

QString lineStamp(const QDateTime& localTime);
constexpr int kLineStampChars = 15; // "[12:34:56.789] "

class LineStamper
{
public:
    using Clock = std::function<QDateTime()>;

    LineStamper();
    void setClock(Clock now) { clock = std::move(now); } // the PC's clock but for tests
    QDateTime now() const { return clock(); }

    // The run with a stamp before each line that starts in it.
    QByteArray stamped(const char* bytes, int count);
    // The next byte starts a line (or not: text already written ended mid-line).
    void setAtLineStart(bool start) { atLineStart = start; }

private:
    Clock clock;
    bool atLineStart = true;
};
