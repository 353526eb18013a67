#include "ByteTable.h"

namespace specialchars
{

namespace
{

const char* const kControlNames[33] = {
    "NUL - null",
    "SOH - start of heading",
    "STX - start of text      ",
    "ETX - end of text",
    "EOT - end of transmission",
    "ENQ - enquiry",
    "ACK - acknowledge",
    "BEL - bell",
    "BS - backspace",
    "TAB - horizontal tab",
    "LF - NL line feed, new line",
    "VT - vertical tab",
    "FF - NP form feed, new page",
    "CR - carriage return",
    "SO - shift out",
    "SI - shift in",
    "DLE - data link escape",
    "DC1 - device control 1",
    "DC2 - device control 2",
    "DC3 - device control 3",
    "DC4 - device control 4",
    "NAK - negative acknowledge",
    "SYN - synchronous idle",
    "ETB - end of trans. block",
    "CAN - cancel",
    "EM - end of medium",
    "SUB - substitute",
    "ESC - escape",
    "FS - file separator",
    "GS - group separator",
    "RS - record separator",
    "US - unit separator",
    "SP - space",
};

constexpr int kMaxValue = 255;

bool isModeDigit(QChar ch, DisplayMode mode)
{
    const ushort c = ch.unicode();
    if (c >= '0' && c <= '9')
        return true;
    return mode == DisplayMode::Hex && ((c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f'));
}

int hexDigit(QChar ch)
{
    const ushort c = ch.unicode();
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

} // namespace

TableRow tableRow(int value)
{
    TableRow row;
    row.decimal = QString::number(value);
    row.hex = QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
    if (value <= 32)
        row.name = QString::fromLatin1(kControlNames[value]);
    else if (value <= 126)
        row.name = QString(QLatin1Char(char(value)));
    else if (value == 127)
        row.name = QStringLiteral("DEL");
    if (value < 32)
        row.ctrl = QStringLiteral("^") + QLatin1Char(char('@' + value));
    return row;
}

QString cleanTyped(const QString& typed, DisplayMode mode)
{
    const QString kept = typed.left(mode == DisplayMode::Hex ? 2 : 3);
    QString cleaned;
    for (QChar ch : kept) {
        if (isModeDigit(ch, mode))
            cleaned.append(ch);
    }
    if (mode == DisplayMode::Decimal && cleaned.toInt() > kMaxValue)
        cleaned = QString::number(kMaxValue);
    return cleaned;
}

int parseValue(const QString& text, DisplayMode mode, QString* fixedText)
{
    const QString field = text.isEmpty() ? QStringLiteral("0") : text;
    if (fixedText)
        *fixedText = text;
    if (mode == DisplayMode::Decimal) {
        // As atoi: leading digits, nothing for none.
        int value = 0;
        for (QChar ch : field) {
            if (ch < QLatin1Char('0') || ch > QLatin1Char('9'))
                break;
            value = qMin(value * 10 + (ch.unicode() - '0'), 100000);
        }
        if (value > kMaxValue) {
            value = kMaxValue;
            if (fixedText)
                *fixedText = QString::number(kMaxValue);
        }
        return value;
    }
    int value = 0;
    for (QChar ch : field.left(2)) {
        if (!isModeDigit(ch, mode))
            break;
        value = value * 16 + hexDigit(ch);
    }
    return value;
}

QString valueText(int value, DisplayMode mode)
{
    if (mode == DisplayMode::Decimal)
        return QString::number(value);
    return QStringLiteral("%1").arg(value, 2, 16, QLatin1Char('0')).toUpper();
}

} // namespace specialchars
