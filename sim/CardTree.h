// The instrument's CF card, kept as an ordinary host directory. Names on the
// wire are matched without regard to letter case, as the card's DOS file
// system does, and can never reach outside the root. Listings follow the
// fixed columns that the link client reads:
//
//   columns 0-14   the name, padded with blanks (longer names push the rest right)
//   columns 15-19  "<DIR>" for a directory
//   columns 15-27  for a file: the size, right-aligned, with "," thousands separators
//   column  28     blank
//   columns 29-36  the date, MM-dd-yy
//   columns 37-43  the time, right-aligned: hour (1-12), colon, minutes, a or p
//
// Header and summary lines begin with a blank, so clients skip them.
#pragma once

#include <QDateTime>
#include <QString>
#include <QStringList>

namespace qx2sim
{

struct ListingEntry {
    QString name;
    bool isDir = false;
    qint64 size = 0;
    QDateTime stamp; // wall-clock time of the card (kept as UTC)
};

// One line in the columns above, without a line end.
QString formatListingLine(const ListingEntry& entry);
// "12,345"
QString withThousands(qint64 value);

// True for a name that fits the listing columns: no blanks, at most 14 characters.
bool isListableName(const QString& name);
// True for a single name that may be created on the card: no separators,
// no control characters, not "." or "..".
bool isPlainName(const QString& name);

// The names a hostile link server lists (--hostile-names): each would put a
// client's file outside its destination folder, or is no file name at all.
QStringList hostileCardNames();
// What such a server sends for any of them.
inline QByteArray hostileFileBytes()
{
    return QByteArrayLiteral("hostile");
}

// The names a link server lists with --control-names: control bytes inside.
QStringList controlCardNames();
inline QByteArray controlFileBytes()
{
    return QByteArrayLiteral("control");
}

class CardTree
{
public:
    explicit CardTree(const QString& rootPath = QString(), bool showOddNames = false);

    QString root() const { return rootPath; }
    void setRoot(const QString& path) { rootPath = path; }
    bool showsOddNames() const { return oddNames; }

    // Resolves a client path such as "C:\DATA\OLD" (or "\DATA", "DATA" relative to
    // current) to card components with their stored spelling. False when a part
    // does not exist as a directory.
    bool resolveDirectory(const QString& path, const QStringList& current, QStringList* out) const;
    // Host path of a directory given by components.
    QString hostPath(const QStringList& components) const;
    // "C:\DATA\OLD"
    static QString cardPath(const QStringList& components);
    // The stored spelling of name in directory dir (case-insensitive), or empty.
    QString findEntry(const QStringList& dir, const QString& name, bool wantDir) const;

    QList<ListingEntry> entries(const QStringList& dir) const;
    // Complete listing text of a directory; lineEnd is "\n" or "\r\n".
    QByteArray listing(const QStringList& dir, const QByteArray& lineEnd) const;

    // Bytes in all files of the card, for the "bytes free" summary.
    qint64 usedBytes() const;

    // Fills an empty folder with the sample card. The odd names (a blank in a
    // name, a name longer than the name column) are added only when asked.
    static bool createSample(const QString& path, bool withOddNames, QString* error);

private:
    QString rootPath;
    bool oddNames = false;
};

// A file's or folder's modification time in UTC (the epoch when it cannot be read).
QDateTime modifiedUtc(const QString& path);
// Sets a file's or folder's modification time; false when the host refuses.
bool setModificationTime(const QString& path, const QDateTime& stamp);

// A small CPM68K RAM application (magic 0x601A, 28-byte big-endian header):
// text size at offset 2, data size at 6, text start at 22, image after it.
QByteArray sampleRunImage(quint32 loadAddress, const QByteArray& message);

} // namespace qx2sim
