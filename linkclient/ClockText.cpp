#include "ClockText.h"

namespace clocktext
{

QString fullText(const QDateTime& t)
{
    const QDateTime utc = t.toUTC();
    const QDate d = utc.date();
    const QTime c = utc.time();
    // Midnight and noon are 12; the marker is built here, not taken from a locale.
    const int hour12 = c.hour() % 12 == 0 ? 12 : c.hour() % 12;
    const char* marker = c.hour() < 12 ? "am" : "pm";
    return QString::asprintf("%02d-%02d-%04d %02d:%02d:%02d %s", d.month(), d.day(), d.year(),
                             hour12, c.minute(), c.second(), marker);
}

QByteArray setClockCommand(const QDateTime& t)
{
    QString full = fullText(t);
    full.chop(1);
    return QByteArrayLiteral("tdate ") + full.toUtf8() + '\n';
}

} // namespace clocktext
