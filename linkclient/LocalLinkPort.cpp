#include "LocalLinkPort.h"

#include "PortLock.h"

#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <sys/stat.h>

namespace
{
// The device behind a port name, as QSerialPort finds it: a path stays, a bare name
// is taken from /dev.
QString systemLocationOf(const QString& portName)
{
    if (portName.startsWith(QLatin1Char('/')) || portName.startsWith(QLatin1String("./")) ||
        portName.startsWith(QLatin1String("../")))
        return portName;
    return QStringLiteral("/dev/") + portName;
}
} // namespace

LocalLinkPort::LocalLinkPort(const QString& name)
{
    serial.setPortName(name);
    connect(&serial, &QSerialPort::readyRead, this, &LinkPort::readyRead);
    connect(&serial, &QSerialPort::bytesWritten, this, &LinkPort::bytesWritten);
    connect(&serial, &QSerialPort::errorOccurred, this, [this](QSerialPort::SerialPortError e) {
        if (e == QSerialPort::ReadError)
            emit lost();
    });
}

LocalLinkPort::~LocalLinkPort()
{
    close();
}

Outcome LocalLinkPort::open()
{
    if (serial.isOpen())
        serial.close();
    // The lock that brennock and the other serial programs take: QSerialPort would
    // take a live lock file it cannot read for stale, and root passes TIOCEXCL.
    PortLock lock(systemLocationOf(serial.portName()));
    if (!lock.fileIsFree())
        return Outcome::failure(lock.busyText());
    if (!serial.open(QIODevice::ReadWrite))
        return Outcome::failure(serial.errorString());
    if (!lock.lockDevice(int(serial.handle()))) {
        serial.close();
        return Outcome::failure(lock.busyText());
    }
    return Outcome::success();
}

void LocalLinkPort::close()
{
    if (serial.isOpen())
        serial.close();
}

bool LocalLinkPort::write(const QByteArray& bytes)
{
    return serial.write(bytes.constData(), bytes.size()) == bytes.size();
}

void LocalLinkPort::discardInput()
{
    serial.clear(QSerialPort::Input);
}

void LocalLinkPort::discardBoth()
{
    // A port that went away has nothing to clear (Qt would warn on stderr).
    if (serial.isOpen())
        serial.clear(QSerialPort::AllDirections);
}

// Why the device stopped answering, in the system's words: a read that ends the
// line (a hang-up) leaves Qt with no error text of its own.
QString LocalLinkPort::lossReason() const
{
    struct stat st;
    const QByteArray path = QFile::encodeName(QFileInfo(serial.portName()).isAbsolute()
                                                  ? serial.portName()
                                                  : QStringLiteral("/dev/") + serial.portName());
    if (::stat(path.constData(), &st) != 0)
        return QStringLiteral("the device went away (%1)")
            .arg(QString::fromLocal8Bit(strerror(errno)));
    const QString qtText = serial.errorString();
    if (serial.error() != QSerialPort::NoError && !qtText.isEmpty() &&
        qtText != QLatin1String("Unknown error"))
        return qtText;
    return QStringLiteral("the device hung up (end of file)");
}
