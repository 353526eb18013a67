#include "SimLog.h"

#include <QTextStream>

namespace qx2sim
{

QString escapeBytes(const QByteArray& bytes)
{
    QString out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '"':
            out += QLatin1String("\\\"");
            break;
        default:
            if (c >= 0x20 && c < 0x7F)
                out += QChar::fromLatin1(static_cast<char>(c));
            else
                out += QLatin1String("\\x") +
                       QString::number(c, 16).toUpper().rightJustified(2, QLatin1Char('0'));
        }
    }
    return out;
}

static QString kindName(LogRecord::Kind kind)
{
    switch (kind) {
    case LogRecord::Rx:
        return QStringLiteral("RX");
    case LogRecord::Tx:
        return QStringLiteral("TX");
    case LogRecord::Event:
        break;
    }
    return QStringLiteral("EV");
}

QString formatLogRecord(const LogRecord& r)
{
    QString line = QStringLiteral("%1 %2 %3")
                       .arg(r.seconds, 0, 'f', 6)
                       .arg(kindName(r.kind))
                       .arg(r.settings.toString());
    if (r.kind == LogRecord::Event) {
        line += QLatin1Char(' ');
        line += r.event;
    } else {
        line += QStringLiteral(" n=%1 hex=%2 text=\"%3\"")
                    .arg(r.bytes.size())
                    .arg(QString::fromLatin1(r.bytes.toHex().toUpper()))
                    .arg(escapeBytes(r.bytes));
    }
    return line;
}

bool parseLogLine(const QString& line, LogRecord* out)
{
    if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
        return false;
    // Fields: seconds, kind, baud, format, then the rest.
    const QStringList head = line.split(QLatin1Char(' '));
    if (head.size() < 5)
        return false;
    LogRecord r;
    bool ok = false;
    r.seconds = head[0].toDouble(&ok);
    if (!ok)
        return false;
    if (head[1] == QLatin1String("RX"))
        r.kind = LogRecord::Rx;
    else if (head[1] == QLatin1String("TX"))
        r.kind = LogRecord::Tx;
    else if (head[1] == QLatin1String("EV"))
        r.kind = LogRecord::Event;
    else
        return false;
    if (!LineSettings::fromString(head[2] + QLatin1Char(' ') + head[3], &r.settings))
        return false;
    const int restAt = head[0].size() + head[1].size() + head[2].size() + head[3].size() + 4;
    const QString rest = line.mid(restAt);
    if (r.kind == LogRecord::Event) {
        r.event = rest;
    } else {
        if (head.size() < 6 || !head[4].startsWith(QLatin1String("n=")) ||
            !head[5].startsWith(QLatin1String("hex=")))
            return false;
        const int n = head[4].mid(2).toInt(&ok);
        if (!ok)
            return false;
        const QString hex = head[5].mid(4);
        r.bytes = QByteArray::fromHex(hex.toLatin1());
        if (r.bytes.size() != n || hex.size() != 2 * n)
            return false;
    }
    *out = r;
    return true;
}

QList<LogRecord> readLogFile(const QString& path, bool* ok)
{
    QList<LogRecord> records;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (ok)
            *ok = false;
        return records;
    }
    while (!f.atEnd()) {
        QString line = QString::fromUtf8(f.readLine());
        while (line.endsWith(QLatin1Char('\n')) || line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        LogRecord r;
        if (parseLogLine(line, &r))
            records.append(r);
    }
    if (ok)
        *ok = true;
    return records;
}

bool LogWriter::open(const QString& path, QString* error)
{
    std::lock_guard<std::mutex> lock(mutex);
    file.setFileName(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text)) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

void LogWriter::write(const LogRecord& record)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!file.isOpen())
        return;
    file.write(formatLogRecord(record).toUtf8());
    file.write("\n");
    file.flush();
}

void LogWriter::comment(const QString& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!file.isOpen())
        return;
    file.write("# ");
    file.write(text.toUtf8());
    file.write("\n");
    file.flush();
}

} // namespace qx2sim
