// What an answer on the link is: a directory listing, a clock reply, or the
// instrument's console echoing our command because no link server runs. The
// window shows listings as they come; the command line succeeds only for an
// answer that is what it asked for.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace replycheck
{

struct ListingCheck {
    int entries = 0;        // entry lines that keep to the listing's columns
    QStringList strayLines; // entry lines that do not, decoded, without line end
    bool fitsNoLine = true; // not one line is an entry or a line the listing skips
    bool echo = false;      // the answer begins with the echo of the command
};

// Judges a whole listing reply to command (the bytes that asked for it).
ListingCheck checkListing(const QByteArray& reply, const QByteArray& command);

// The answer begins with command as a console echoes it: the same bytes with
// line ends and NULs left out.
bool isEchoOf(const QByteArray& reply, const QByteArray& command);

// A clock reply as one line: NULs dropped, whitespace runs made one blank.
QString clockReplyText(const QByteArray& reply);

} // namespace replycheck
