#include "PortNames.h"

#include "RemotePortUrl.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

namespace
{

// Natural order, so that ttyS10 comes after ttyS9.
bool naturalLess(const QString& a, const QString& b)
{
    int i = a.size();
    while (i > 0 && a.at(i - 1).isDigit())
        --i;
    int j = b.size();
    while (j > 0 && b.at(j - 1).isDigit())
        --j;
    const QStringRef stemA = a.leftRef(i), stemB = b.leftRef(j);
    if (stemA != stemB || i == a.size() || j == b.size())
        return a < b;
    return a.midRef(i).toInt() < b.midRef(j).toInt();
}

void addMatching(QStringList& list, const QString& pattern)
{
    QDir dev(QStringLiteral("/dev"));
    QStringList names = dev.entryList({pattern}, QDir::System | QDir::Files | QDir::NoDotAndDotDot);
    std::sort(names.begin(), names.end(), naturalLess);
    for (const QString& name : names)
        list << QStringLiteral("/dev/") + name;
}

// A ttyS node exists for every possible UART; only one with a UART type is real.
bool uartPresent(const QString& name)
{
    QFile type(QStringLiteral("/sys/class/tty/") + name + QStringLiteral("/type"));
    if (!type.open(QIODevice::ReadOnly))
        return false;
    return QString::fromLatin1(type.readAll()).trimmed().toInt() != 0;
}

} // namespace

int portNumberOf(const QString& comName)
{
    if (comName.size() <= 3 || !comName.startsWith(QLatin1String("COM"), Qt::CaseInsensitive))
        return 0;
    const QString digits = comName.mid(3).trimmed();
    bool ok = false;
    const int number = digits.toInt(&ok, 10);
    return ok && number > 0 && number <= kHighestPortNumber ? number : 0;
}

QString portNameFor(int number)
{
    return QStringLiteral("COM") + QString::number(number);
}

QString resolvePortDevice(const QString& comName, const PortBindingLookup& binding)
{
    if (RemotePortUrl::isRemote(comName))
        return comName.trimmed(); // an address stands for itself, like a path
    if (binding) {
        const QString bound = binding(comName).trimmed();
        if (!bound.isEmpty())
            return bound;
    }
    const int number = portNumberOf(comName);
    if (number <= 0)
        return QString();
    return QStringLiteral("/dev/ttyS") + QString::number(number - 1);
}

QStringList listSerialDevices()
{
    QStringList devices;
    QDir byId(QStringLiteral("/dev/serial/by-id"));
    QStringList links =
        byId.entryList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name);
    for (const QString& link : links)
        devices << byId.absoluteFilePath(link);

    addMatching(devices, QStringLiteral("ttyUSB*"));
    addMatching(devices, QStringLiteral("ttyACM*"));
    addMatching(devices, QStringLiteral("ttyAMA*"));

    QStringList uarts;
    addMatching(uarts, QStringLiteral("ttyS*"));
    for (const QString& path : uarts) {
        if (uartPresent(QFileInfo(path).fileName()))
            devices << path;
    }
    return devices;
}
