#include "ListingLine.h"

#include <QRegularExpression>

namespace listing
{

namespace
{
constexpr int kDirColumn = 15;
constexpr int kDateColumn = 29;
constexpr int kDateWidth = 6;     // "MM-dd-"
constexpr int kYearTimeWidth = 9; // "yy  h:mmp"
const QString kDirMark = QStringLiteral("<DIR>");
} // namespace

static QDateTime timeFromText(const QString& text);

Parsed parseListing(const QByteArray& reply)
{
    Parsed out;
    const QList<QByteArray> lines = reply.split('\n');
    out.anyLines = !lines.isEmpty();
    for (const QByteArray& line : lines) {
        QByteArray text = line;
        const int nul = text.indexOf('\0');
        if (nul >= 0)
            text.truncate(nul);
        if (line.isEmpty() || line.at(0) == '\r' || line.at(0) == ' ') {
            QString other = QString::fromUtf8(text);
            while (other.endsWith(QLatin1Char('\r')))
                other.chop(1);
            if (!other.trimmed().isEmpty())
                out.others.append(other);
            continue;
        }
        out.entries.append(QString::fromUtf8(text));
    }
    return out;
}

bool isDirectory(const QString& line)
{
    return line.size() >= kDirColumn + kDirMark.size() &&
           line.mid(kDirColumn, kDirMark.size()) == kDirMark;
}

QString firstField(const QString& line)
{
    return line.section(QLatin1Char(' '), 0, 0);
}

qint64 sizeField(const QString& line)
{
    const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (fields.size() < 2)
        return -1;
    QString digits = fields.at(1);
    digits.remove(QLatin1Char(','));
    bool ok = false;
    const int value = digits.toInt(&ok, 10);
    return ok && value >= 0 ? value : -1;
}

bool readFields(const QString& line, Fields* out)
{
    static const QRegularExpression tail(
        QStringLiteral("^(.*\\S)\\s+(<DIR>|[0-9][0-9,]*)\\s+(\\d\\d-\\d\\d-\\d\\d)\\s+(\\d{1,2}:"
                       "\\d\\d[ap])\\s*$"));
    const QRegularExpressionMatch m = tail.match(line);
    if (!m.hasMatch())
        return false;
    Fields f;
    f.name = m.captured(1).trimmed();
    f.directory = m.captured(2) == kDirMark;
    if (!f.directory) {
        QString digits = m.captured(2);
        digits.remove(QLatin1Char(','));
        bool ok = false;
        f.size = digits.toLongLong(&ok);
        if (!ok)
            f.size = -1;
    }
    f.date = m.captured(3);
    f.time = m.captured(4);
    *out = f;
    return true;
}

bool fitsColumns(const QString& line)
{
    Fields f;
    return readFields(line, &f) && f.name == firstField(line) && f.name.size() < kDirColumn &&
           isDirectory(line) == f.directory && line.mid(kDateColumn, 8) == f.date;
}

QString fileTimeText(const QString& line)
{
    QString text = line.mid(kDateColumn, kDateWidth) + QStringLiteral("20") +
                   line.mid(kDateColumn + kDateWidth, kYearTimeWidth) + QStringLiteral("m");
    // Pairs of blanks become one, left to right, pairs not overlapping.
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        if (text.at(i) == QLatin1Char(' ') && i + 1 < text.size() &&
            text.at(i + 1) == QLatin1Char(' ')) {
            out.append(QLatin1Char(' '));
            ++i;
            continue;
        }
        out.append(text.at(i));
    }
    return out;
}

QDateTime fileTimeOf(const Fields& fields)
{
    const QString text = fields.date.left(6) + QStringLiteral("20") + fields.date.mid(6) +
                         QLatin1Char(' ') + fields.time + QLatin1Char('m');
    return timeFromText(text);
}

QDateTime fileTime(const QString& line)
{
    return timeFromText(fileTimeText(line));
}

static QDateTime timeFromText(const QString& text)
{
    // Parsed by hand so that the am/pm marker is read the same in every locale.
    static const QRegularExpression form(
        QStringLiteral("^(\\d\\d)-(\\d\\d)-(\\d{4}) (\\d{1,2}):(\\d\\d)([ap])m$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return {};
    const int hour12 = m.captured(4).toInt();
    if (hour12 < 1 || hour12 > 12)
        return {};
    const bool pm = m.captured(6) == QLatin1String("p");
    const int hour = hour12 % 12 + (pm ? 12 : 0);
    const QDate date(m.captured(3).toInt(), m.captured(1).toInt(), m.captured(2).toInt());
    const QTime time(hour, m.captured(5).toInt());
    if (!date.isValid() || !time.isValid())
        return {};
    return QDateTime(date, time, Qt::UTC);
}

bool isSafeLocalName(const QString& name)
{
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        return false;
    for (const QChar c : name) {
        if (c == QLatin1Char('/') || c == QLatin1Char('\\') || c.unicode() == 0 ||
            c == QLatin1Char(':'))
            return false;
    }
    return true;
}

} // namespace listing
