// Which serial ports the port list offers. Ports of the instrument's own USB
// link have a serial number beginning "P040"; when any are present only they
// are offered. Ports named on the command line (the system's enumeration does
// not list pseudo-terminals or /dev/serial/by-id links) are added after them, and
// the port servers (rfc2217://HOST:PORT) given before, remembered in the settings,
// after those.
#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

struct PortEntry {
    QString name;
    QString serialNumber;
};

using PortSource = std::function<QList<PortEntry>()>;

// The system's serial ports, in its order.
QList<PortEntry> systemPorts();

// The names to offer: the "P040" ports if any, else all; then the extra names
// that are not already there.
QStringList offeredPorts(const QList<PortEntry>& ports, const QStringList& extra = {});

// The port-server addresses to remember: those given now (rfc2217:// names only),
// then those remembered before, each once, at most kRememberedRemotePorts.
constexpr int kRememberedRemotePorts = 16;
QStringList rememberedRemotePorts(const QStringList& before, const QStringList& given);
