// The rules of Send Special Characters, free of widgets: the reference table of all
// 256 byte values, and how the value field is cleaned and read in hexadecimal or
// decimal display mode.
#pragma once

#include <QByteArray>
#include <QString>

namespace specialchars
{

enum class DisplayMode { Hex = 0, Decimal = 1 };

constexpr int kRowCount = 256;

struct TableRow {
    QString decimal; // "%d"
    QString hex;     // "%02X"
    QString name;    // control name, the character itself (33 to 126), or empty
    QString ctrl;    // "^@" to "^_" for 0 to 31, else empty
};
TableRow tableRow(int value);

// The value field after a change: at most 2 (hex) or 3 (decimal) characters kept,
// then every character that is no digit of the mode removed; a decimal number of 256
// or more becomes "255".
QString cleanTyped(const QString& typed, DisplayMode mode);

// The value the field means (empty counts as 0). A decimal text of 256 or more gives
// 255 and, through fixedText, the text "255".
int parseValue(const QString& text, DisplayMode mode, QString* fixedText = nullptr);

// A value as the field shows it: "%02X" in hex, "%d" in decimal.
QString valueText(int value, DisplayMode mode);

} // namespace specialchars
