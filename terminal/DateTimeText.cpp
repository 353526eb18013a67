#include "DateTimeText.h"

#include "SettingsStore.h"

#include <QLocale>

namespace
{
const QString kSettings = QStringLiteral("Settings");
const QString kEditPasteDateTime = QStringLiteral("EditPasteDateTime");
} // namespace

QString dateTimeFormatLabel(int format)
{
    switch (format) {
    case kDateShortYear:
        return QStringLiteral("MM/DD/YY HH:MM:SS");
    case kDateLongYear:
        return QStringLiteral("MM/DD/YYYY HH:MM:SS");
    case kDateCommandShort:
        return QStringLiteral("DATE MM/DD/YY HH:MM:SS\\r");
    case kDateCommandLong:
        return QStringLiteral("DATE MM/DD/YYYY HH:MM:SS\\r");
    default:
        return QString();
    }
}

QByteArray dateTimeText(int format, const QDateTime& localTime)
{
    const bool longYear = format == kDateLongYear || format == kDateCommandLong;
    const bool command = format == kDateCommandShort || format == kDateCommandLong;
    // Fixed digits in every locale: the C locale's formatting, as strftime gives them.
    const QString stamp =
        QLocale::c().toString(localTime, longYear ? QStringLiteral("MM/dd/yyyy HH:mm:ss")
                                                  : QStringLiteral("MM/dd/yy HH:mm:ss"));
    QByteArray text = stamp.toLatin1();
    if (command)
        text = "DATE " + text + '\r';
    return text;
}

int storedDateTimeFormat(const SettingsStore& settings)
{
    const int format = settings.readInt(kSettings, kEditPasteDateTime, kDefaultDateTimeFormat);
    return format >= 0 && format < kDateTimeFormatCount ? format : kDefaultDateTimeFormat;
}

void storeDateTimeFormat(SettingsStore& settings, int format)
{
    settings.writeInt(kSettings, kEditPasteDateTime, format);
}

QDateTime systemLocalTime()
{
    return QDateTime::currentDateTime();
}
