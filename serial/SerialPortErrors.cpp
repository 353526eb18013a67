// The port's error texts and its record of failures.
#include "SerialPort.h"

#include "LineBackend.h"

#include <cerrno>
#include <cstring>

bool SerialPort::isDeviceGoneError(uint32_t error)
{
    return error == EIO || error == ENXIO || error == ENODEV;
}

void SerialPort::noteFailure(uint32_t error)
{
    setLastError(error);
    if (isDeviceGoneError(error))
        gone.store(true);
}

QString SerialPort::lastErrorText() const
{
    if (lastError() == EBUSY && line && !line->busyText().isEmpty())
        return line->busyText();
    if (line) {
        const QString own = line->explain(lastError());
        if (!own.isEmpty())
            return own;
    }
    return errorText(lastError());
}

QString SerialPort::errorText(uint32_t error)
{
    switch (error) {
    case 0:
        return QString();
    case EALREADY:
        return QStringLiteral("A comm thread is already running.");
    case ETIMEDOUT:
        return QStringLiteral("Timed out.");
    case EBUSY:
        return QStringLiteral("Device or resource busy: another program is using the port.");
    case ENOENT:
        return QStringLiteral("No such device.");
    case ENOTTY:
        return QStringLiteral("Not a serial device.");
    case EIO:
        return QStringLiteral("Input/output error: the device does not answer (no hardware behind "
                              "it, or unplugged).");
    case EACCES:
    case EPERM:
        return QStringLiteral("Permission denied. Join the \"dialout\" group "
                              "(sudo adduser $USER dialout) and log in again.");
    default: {
        char buffer[256];
        const char* text = ::strerror_r(static_cast<int>(error), buffer, sizeof buffer);
        return QString::fromLocal8Bit(text) + QLatin1Char('.');
    }
    }
}
