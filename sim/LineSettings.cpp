#include "LineSettings.h"

#include <QRegularExpression>

#include <termios.h>

namespace qx2sim
{

// Defined in Termios2.cpp: <asm/termbits.h> and <termios.h> cannot share a unit.
bool readTermios2Speed(int fd, qint64* outputSpeed);

namespace
{

qint64 speedFromCode(speed_t code)
{
    struct Pair {
        speed_t code;
        qint64 baud;
    };
    static const Pair table[] = {
        {B0, 0},
        {B50, 50},
        {B75, 75},
        {B110, 110},
        {B134, 134},
        {B150, 150},
        {B200, 200},
        {B300, 300},
        {B600, 600},
        {B1200, 1200},
        {B1800, 1800},
        {B2400, 2400},
        {B4800, 4800},
        {B9600, 9600},
        {B19200, 19200},
        {B38400, 38400},
        {B57600, 57600},
        {B115200, 115200},
        {B230400, 230400},
        {B460800, 460800},
        {B500000, 500000},
        {B576000, 576000},
        {B921600, 921600},
        {B1000000, 1000000},
        {B1152000, 1152000},
        {B1500000, 1500000},
        {B2000000, 2000000},
    };
    for (const Pair& p : table)
        if (p.code == code)
            return p.baud;
    return 0;
}

} // namespace

QString LineSettings::toString() const
{
    return QStringLiteral("%1 %2%3%4")
        .arg(baud)
        .arg(dataBits)
        .arg(QChar::fromLatin1(parity))
        .arg(stopBits);
}

bool LineSettings::fromString(const QString& text, LineSettings* out)
{
    static const QRegularExpression re(QStringLiteral("^(\\d+) ([5-8])([NEOMS])([12])$"));
    const QRegularExpressionMatch m = re.match(text.trimmed());
    if (!m.hasMatch())
        return false;
    out->baud = m.captured(1).toLongLong();
    out->dataBits = m.captured(2).toInt();
    out->parity = m.captured(3).at(0).toLatin1();
    out->stopBits = m.captured(4).toInt();
    return true;
}

LineSettings readLineSettings(int fd)
{
    LineSettings s;
    termios t{};
    if (tcgetattr(fd, &t) != 0)
        return s;
    switch (t.c_cflag & CSIZE) {
    case CS5:
        s.dataBits = 5;
        break;
    case CS6:
        s.dataBits = 6;
        break;
    case CS7:
        s.dataBits = 7;
        break;
    default:
        s.dataBits = 8;
        break;
    }
    if (t.c_cflag & PARENB) {
#ifdef CMSPAR
        if (t.c_cflag & CMSPAR)
            s.parity = (t.c_cflag & PARODD) ? 'M' : 'S';
        else
#endif
            s.parity = (t.c_cflag & PARODD) ? 'O' : 'E';
    } else {
        s.parity = 'N';
    }
    s.stopBits = (t.c_cflag & CSTOPB) ? 2 : 1;
    qint64 speed = 0;
    if (readTermios2Speed(fd, &speed))
        s.baud = speed;
    else
        s.baud = speedFromCode(cfgetospeed(&t));
    return s;
}

} // namespace qx2sim
