#include "PortChoice.h"

#include "RemotePortUrl.h"

#include <QSerialPortInfo>

QList<PortEntry> systemPorts()
{
    QList<PortEntry> out;
    const QList<QSerialPortInfo> infos = QSerialPortInfo::availablePorts();
    for (const QSerialPortInfo& info : infos)
        out.append({info.portName(), info.serialNumber()});
    return out;
}

QStringList offeredPorts(const QList<PortEntry>& ports, const QStringList& extra)
{
    QStringList all;
    QStringList instrument;
    for (const PortEntry& p : ports) {
        all.append(p.name);
        if (p.serialNumber.startsWith(QLatin1String("P040")))
            instrument.append(p.name);
    }
    QStringList out = instrument.isEmpty() ? all : instrument;
    for (const QString& name : extra) {
        if (!name.isEmpty() && !out.contains(name))
            out.append(name);
    }
    return out;
}

QStringList rememberedRemotePorts(const QStringList& before, const QStringList& given)
{
    QStringList out;
    for (const QString& name : given + before) {
        if (RemotePortUrl::isRemote(name) && !out.contains(name) &&
            out.size() < kRememberedRemotePorts)
            out.append(name);
    }
    return out;
}
