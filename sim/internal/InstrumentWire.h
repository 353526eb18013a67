// Bytes and limits of the instrument's conversations, shared by its parts
// (command line, capture, block load, lo download, link server).
#pragma once

#include <QByteArray>
#include <QString>

namespace qx2sim
{
namespace wire
{

constexpr unsigned char kBS = 0x08;
constexpr unsigned char kDEL = 0x7F;
constexpr unsigned char kETX = 0x03;
constexpr unsigned char kCR = 0x0D;
constexpr unsigned char kLF = 0x0A;
constexpr char kPlus = '+';
constexpr char kEquals = '=';
constexpr char kMinus = '-';
constexpr char kAmp = '&';
constexpr char kPercent = '%';

constexpr qint64 kLoRate = 57600;                    // "lo" downloads, whatever the terminal rate
constexpr int kMaxLine = 255;                        // console and monitor command line
constexpr quint32 kMaxLoadCount = 16u * 1024 * 1024; // the target's memory
constexpr int kMaxCapture = 64 * 1024 * 1024;
constexpr int kMaxLinkLine = 4096; // a link command with its argument

inline QString hex8(quint32 v)
{
    return QStringLiteral("%1").arg(v, 8, 16, QLatin1Char('0')).toUpper();
}

// "0x0D": a byte as the log and the violations name it.
inline QString hexByte(int c)
{
    return QStringLiteral("0x") +
           QStringLiteral("%1").arg(c & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
}

inline QString hex6(quint32 v)
{
    return QStringLiteral("%1").arg(v, 6, 16, QLatin1Char('0')).toUpper();
}

// One to eight hexadecimal digits, as the monitor's commands take them.
inline bool parseHex32(const QString& text, quint32* out)
{
    if (text.isEmpty() || text.size() > 8)
        return false;
    bool ok = false;
    const uint v = text.toUInt(&ok, 16);
    if (!ok)
        return false;
    *out = v;
    return true;
}

} // namespace wire
} // namespace qx2sim
