// The texts of Paste Date & Time, free of widgets.
//
// Four fixed formats of one clock reading; two of them are the instrument's DATE
// command with its CR. The choice is stored as "Settings" / "EditPasteDateTime"
// (2 when missing).
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

#include <functional>

class SettingsStore;

enum DateTimeFormat {
    kDateShortYear = 0,    // MM/DD/YY HH:MM:SS
    kDateLongYear = 1,     // MM/DD/YYYY HH:MM:SS
    kDateCommandShort = 2, // DATE MM/DD/YY HH:MM:SS CR
    kDateCommandLong = 3,  // DATE MM/DD/YYYY HH:MM:SS CR
};
constexpr int kDateTimeFormatCount = 4;
constexpr int kDefaultDateTimeFormat = kDateCommandShort;

// The radio button text of a format (the two characters backslash and r shown as such).
QString dateTimeFormatLabel(int format);
// The bytes sent for a format at that local time.
QByteArray dateTimeText(int format, const QDateTime& localTime);

int storedDateTimeFormat(const SettingsStore& settings);
void storeDateTimeFormat(SettingsStore& settings, int format);

// Where the local time comes from; the real clock but for tests.
using LocalClock = std::function<QDateTime()>;
QDateTime systemLocalTime();
