#include "CardTree.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <fcntl.h>
#include <sys/stat.h>

namespace qx2sim
{

namespace
{

constexpr qint64 kCardCapacity = 128LL * 1024 * 1024;

void putBe16(QByteArray& a, int at, quint16 v)
{
    a[at] = static_cast<char>(v >> 8);
    a[at + 1] = static_cast<char>(v);
}

void putBe32(QByteArray& a, int at, quint32 v)
{
    a[at] = static_cast<char>(v >> 24);
    a[at + 1] = static_cast<char>(v >> 16);
    a[at + 2] = static_cast<char>(v >> 8);
    a[at + 3] = static_cast<char>(v);
}

QString timeText(const QTime& t)
{
    int hour = t.hour() % 12;
    if (hour == 0)
        hour = 12;
    return QStringLiteral("%1:%2%3")
        .arg(hour)
        .arg(t.minute(), 2, 10, QLatin1Char('0'))
        .arg(t.hour() < 12 ? QLatin1Char('a') : QLatin1Char('p'));
}

} // namespace

// Straight from the file system, with no time-zone conversion (and no tzset
// from the engine's thread) on the way.
QDateTime modifiedUtc(const QString& path)
{
    struct stat st {
    };
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QDateTime::fromMSecsSinceEpoch(0, Qt::UTC);
    const qint64 ms = qint64(st.st_mtim.tv_sec) * 1000 + st.st_mtim.tv_nsec / 1000000;
    return QDateTime::fromMSecsSinceEpoch(ms, Qt::UTC);
}

bool setModificationTime(const QString& path, const QDateTime& stamp)
{
    const qint64 ms = stamp.toMSecsSinceEpoch();
    timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = static_cast<time_t>(ms / 1000);
    times[1].tv_nsec = static_cast<long>((ms % 1000) * 1000000);
    return utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

QString withThousands(qint64 value)
{
    QString digits = QString::number(value < 0 ? -value : value);
    for (int i = digits.size() - 3; i > 0; i -= 3)
        digits.insert(i, QLatin1Char(','));
    return value < 0 ? QLatin1Char('-') + digits : digits;
}

QString formatListingLine(const ListingEntry& e)
{
    QString line = e.name;
    if (line.size() < 15)
        line = line.leftJustified(15, QLatin1Char(' '));
    else
        line += QLatin1Char(' ');
    if (e.isDir)
        line += QLatin1String("<DIR>") + QString(9, QLatin1Char(' '));
    else
        line += withThousands(e.size).rightJustified(13, QLatin1Char(' ')) + QLatin1Char(' ');
    const QDateTime t = e.stamp.toUTC();
    line += t.date().toString(QStringLiteral("MM-dd-yy"));
    line += timeText(t.time()).rightJustified(7, QLatin1Char(' '));
    return line;
}

bool isListableName(const QString& name)
{
    return !name.isEmpty() && name.size() <= 14 && !name.contains(QLatin1Char(' '));
}

bool isPlainName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    if (name.size() > 255)
        return false;
    for (QChar c : name) {
        if (c.unicode() < 0x20 || c == QLatin1Char('/') || c == QLatin1Char('\\') ||
            c == QLatin1Char(':') || c.unicode() == 0x7F)
            return false;
    }
    return true;
}

CardTree::CardTree(const QString& rootPath, bool showOddNames)
    : rootPath(rootPath), oddNames(showOddNames)
{
}

QString CardTree::hostPath(const QStringList& components) const
{
    QString p = rootPath;
    for (const QString& c : components)
        p += QLatin1Char('/') + c;
    return p;
}

QString CardTree::cardPath(const QStringList& components)
{
    return QLatin1String("C:\\") + components.join(QLatin1Char('\\'));
}

QString CardTree::findEntry(const QStringList& dir, const QString& name, bool wantDir) const
{
    if (!isPlainName(name))
        return QString();
    QDir d(hostPath(dir));
    const QFileInfoList list =
        d.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    QString match;
    for (const QFileInfo& fi : list) {
        if (fi.isDir() != wantDir)
            continue;
        if (fi.fileName() == name)
            return name;
        if (match.isEmpty() && fi.fileName().compare(name, Qt::CaseInsensitive) == 0)
            match = fi.fileName();
    }
    return match;
}

QStringList hostileCardNames()
{
    return {QStringLiteral("../EVIL.TXT"),
            QStringLiteral("..\\EVIL.TXT"),
            QStringLiteral("/tmp/EVIL.TXT"),
            QStringLiteral("C:\\EVIL.TXT"),
            QStringLiteral("\\EVIL.TXT"),
            QStringLiteral("SUB/EVIL.TXT"),
            QStringLiteral("."),
            QStringLiteral("..")};
}

QStringList controlCardNames()
{
    return {QStringLiteral("\x1b[31mRED.TXT"), QStringLiteral("BEL\x07.TXT"),
            QStringLiteral("CR\rOVER.TXT"), QStringLiteral("TAB\tNAME.TXT"),
            QStringLiteral("LF\nNAME.TXT")};
}

bool CardTree::resolveDirectory(const QString& path, const QStringList& current,
                                QStringList* out) const
{
    QString p = path.trimmed();
    QStringList result = current;
    if (p.size() >= 2 && p.at(1) == QLatin1Char(':')) {
        if (p.at(0).toUpper() != QLatin1Char('C'))
            return false;
        p = p.mid(2);
        result.clear();
    }
    if (p.startsWith(QLatin1Char('\\')) || p.startsWith(QLatin1Char('/')))
        result.clear();
    const QStringList parts =
        p.split(QRegularExpression(QStringLiteral("[\\\\/]")), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!result.isEmpty())
                result.removeLast();
            continue;
        }
        const QString found = findEntry(result, part, true);
        if (found.isEmpty())
            return false;
        result.append(found);
    }
    *out = result;
    return true;
}

QList<ListingEntry> CardTree::entries(const QStringList& dir) const
{
    QList<ListingEntry> out;
    QDir d(hostPath(dir));
    const QFileInfoList list =
        d.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QFileInfo& fi : list) {
        const QString name = fi.fileName();
        // Hidden host files (our own partial uploads among them) are not on the card.
        if (name.startsWith(QLatin1Char('.')))
            continue;
        if (!isListableName(name) && !oddNames)
            continue;
        ListingEntry e;
        e.name = name;
        e.isDir = fi.isDir();
        e.size = e.isDir ? 0 : fi.size();
        e.stamp = modifiedUtc(fi.absoluteFilePath());
        out.append(e);
    }
    return out;
}

QByteArray CardTree::listing(const QStringList& dir, const QByteArray& lineEnd) const
{
    QByteArray out;
    auto line = [&](const QString& text) {
        out += text.toUtf8();
        out += lineEnd;
    };
    line(QStringLiteral(" Volume in drive C is QX2CARD"));
    line(QStringLiteral(" Directory of ") + cardPath(dir));
    line(QString());
    int files = 0;
    int dirs = 0;
    qint64 bytes = 0;
    if (!dir.isEmpty()) {
        const QDateTime stamp = modifiedUtc(hostPath(dir));
        for (const char* dots : {".", ".."}) {
            ListingEntry e;
            e.name = QString::fromLatin1(dots);
            e.isDir = true;
            e.stamp = stamp;
            line(formatListingLine(e));
            ++dirs;
        }
    }
    const QList<ListingEntry> list = entries(dir);
    for (const ListingEntry& e : list) {
        line(formatListingLine(e));
        if (e.isDir) {
            ++dirs;
        } else {
            ++files;
            bytes += e.size;
        }
    }
    line(QStringLiteral(" %1 File(s) %2 bytes").arg(files, 8).arg(withThousands(bytes), 14));
    line(QStringLiteral(" %1 Dir(s)  %2 bytes free")
             .arg(dirs, 8)
             .arg(withThousands(qMax<qint64>(0, kCardCapacity - usedBytes())), 14));
    return out;
}

qint64 CardTree::usedBytes() const
{
    qint64 total = 0;
    QDirIterator it(rootPath, QDir::Files | QDir::Hidden | QDir::System,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        it.next();
        total += it.fileInfo().size();
    }
    return total;
}

QByteArray sampleRunImage(quint32 loadAddress, const QByteArray& message)
{
    // Text: moveq #0,d0 ; rts, then the message as data.
    QByteArray text;
    text.append(char(0x70)).append(char(0x00)).append(char(0x4E)).append(char(0x75));
    QByteArray data = message;
    data.append('\0');
    if (data.size() % 2)
        data.append('\0');
    QByteArray header(28, '\0');
    putBe16(header, 0, 0x601A);
    putBe32(header, 2, static_cast<quint32>(text.size()));
    putBe32(header, 6, static_cast<quint32>(data.size()));
    putBe32(header, 22, loadAddress);
    return header + text + data;
}

bool CardTree::createSample(const QString& path, bool withOddNames, QString* error)
{
    struct Sample {
        const char* path;
        QByteArray content;
        QDateTime stamp;
    };
    auto at = [](int y, int mo, int d, int h, int mi) {
        return QDateTime(QDate(y, mo, d), QTime(h, mi), Qt::UTC);
    };
    auto pattern = [](int size, int seed) {
        QByteArray a(size, '\0');
        quint32 x = 0x12345678u + static_cast<quint32>(seed);
        for (int i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            a[i] = static_cast<char>(x >> 16);
        }
        return a;
    };
    auto lines = [](const char* prefix, int count) {
        QByteArray a;
        for (int i = 1; i <= count; ++i)
            a += QByteArray(prefix) + ' ' + QByteArray::number(i).rightJustified(4, '0') +
                 " 23.5 C ok\r\n";
        return a;
    };
    QList<Sample> samples = {
        {"AUTOEXEC.BAT", QByteArray("ECHO OFF\r\nSKIFFER\r\n"), at(2019, 1, 5, 15, 45)},
        {"SETUP.CFG", QByteArray("[instrument]\r\nmodel=QX2\r\nchannels=4\r\nrate=100\r\n"),
         at(2018, 12, 31, 23, 59)},
        {"README.TXT",
         QByteArray("Sample card of the qx2sim simulated instrument.\r\n"
                    "DATA holds measurement logs, PROGRAMS a demo program.\r\n"),
         at(2020, 7, 4, 12, 0)},
        {"DATA001.DAT", pattern(12345, 1), at(2020, 2, 29, 0, 5)},
        {"EMPTY.TXT", QByteArray(), at(2021, 3, 1, 9, 7)},
        {"DEMO.RUN", sampleRunImage(0x010000, "QX2 demo program"), at(2021, 10, 11, 8, 30)},
        {"DATA/LOG0001.TXT", lines("LOG0001", 40), at(2021, 11, 2, 10, 15)},
        {"DATA/LOG0002.TXT", lines("LOG0002", 75), at(2021, 11, 3, 22, 40)},
        {"DATA/OLD/ARCHIVE.DAT", pattern(100000, 2), at(2017, 6, 30, 13, 1)},
        {"PROGRAMS/HELLO.RUN", sampleRunImage(0x020000, "Hello from the QX2"),
         at(2022, 1, 14, 16, 20)},
    };
    if (withOddNames) {
        samples.append(
            {"MY NOTES.TXT", QByteArray("a name with a blank\r\n"), at(2022, 5, 6, 7, 8)});
        samples.append({"LONGFILENAME.TEXT", QByteArray("a name longer than the column\r\n"),
                        at(2022, 5, 6, 7, 9)});
    }
    QDir root(path);
    for (const Sample& s : samples) {
        const QString rel = QString::fromLatin1(s.path);
        const QString full = root.filePath(rel);
        if (!QDir().mkpath(QFileInfo(full).path())) {
            if (error)
                *error = QStringLiteral("cannot create folder %1").arg(QFileInfo(full).path());
            return false;
        }
        QFile f(full);
        if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            f.write(s.content) != s.content.size()) {
            if (error)
                *error = QStringLiteral("cannot write %1: %2").arg(full, f.errorString());
            return false;
        }
        f.close();
        setModificationTime(full, s.stamp);
    }
    // Folders get their dates last, as writing their files changed them.
    const QList<QPair<const char*, QDateTime>> dirs = {
        {"DATA/OLD", at(2017, 6, 30, 13, 0)},
        {"DATA", at(2021, 11, 1, 8, 0)},
        {"PROGRAMS", at(2022, 1, 14, 16, 0)},
    };
    for (const auto& d : dirs)
        setModificationTime(root.filePath(QString::fromLatin1(d.first)), d.second);
    return true;
}

} // namespace qx2sim
