// One entry of a Skiffer directory listing. Lines are fixed columns:
//   0-14 name, 15-19 "<DIR>" for a directory, 15-27 the size of a file
//   (right-aligned, ',' every three digits), 29-36 MM-dd-yy, 37-43 the time
//   right-aligned as h:mm followed by a or p.
// Header and summary lines begin with a blank or CR and are not entries.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>

namespace listing
{

struct Parsed {
    QStringList entries; // entry texts, in order, as shown in the file list
    QStringList others;  // header/summary lines, decoded, without line ends
    bool anyLines = false;
};

// Splits a whole listing reply at LF; keeps a trailing CR in the entry text.
Parsed parseListing(const QByteArray& reply);

// Columns 15-19 read exactly "<DIR>".
bool isDirectory(const QString& line);
// Text before the first blank (the name as the request uses it).
QString firstField(const QString& line);
// Second blank-separated field with ',' removed, as a 32-bit decimal; -1 when it is
// not such a number.
qint64 sizeField(const QString& line);
// The name, date and time fields read from the right, so that names with
// blanks or longer than the column still come out whole.
struct Fields {
    QString name;
    bool directory = false;
    qint64 size = -1; // -1 for a directory or an unreadable size
    QString date;     // "MM-dd-yy"
    QString time;     // "h:mma" / "h:mmp"
};
bool readFields(const QString& line, Fields* out);
// The line keeps to the columns: readFields works and its name is the first
// field, so a request by first field names the listed file.
bool fitsColumns(const QString& line);

// "MM-dd-" + "20" + "yy  h:mm" + "a" + "m", pairs of blanks made single:
// the listing's date and time as text, e.g. "01-05-2019 3:45pm".
QString fileTimeText(const QString& line);
// The listing's wall-clock time as UTC; invalid when the columns do not hold one.
QDateTime fileTime(const QString& line);
// The same from fields read from the right (a name that shifted the columns).
QDateTime fileTimeOf(const Fields& fields);

// A card name that is safe as a local file name: not empty, no '/' or '\',
// not "." or "..", no NUL, not absolute, no drive.
bool isSafeLocalName(const QString& name);

} // namespace listing
