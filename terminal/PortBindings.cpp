#include "PortBindings.h"

#include "RemotePortUrl.h"

#include "SettingsStore.h"

#include <QDir>

namespace
{

const QString kPortsSection = QStringLiteral("Ports");

} // namespace

PortBindingLookup portBindingsOf(const SettingsStore* settings)
{
    if (!settings)
        return {};
    return [settings](const QString& comName) {
        return settings->readText(kPortsSection, comName, QString());
    };
}

void bindPortDevice(SettingsStore& settings, const QString& comName, const QString& device)
{
    if (device.trimmed().isEmpty())
        settings.remove(kPortsSection, comName);
    else
        settings.writeText(kPortsSection, comName, device.trimmed());
}

QStringList boundRemotePorts(const SettingsStore* settings)
{
    QStringList remote;
    const PortBindingLookup bound = portBindingsOf(settings);
    if (!bound)
        return remote;
    for (int number = 1; number <= kHighestPortNumber; ++number) {
        const QString device = bound(portNameFor(number)).trimmed();
        if (RemotePortUrl::isRemote(device) && !remote.contains(device))
            remote << device;
    }
    return remote;
}

void bindPortDevices(SettingsStore& settings, const PortBindingChanges& bindings)
{
    for (auto it = bindings.cbegin(); it != bindings.cend(); ++it)
        bindPortDevice(settings, it.key(), it.value());
}

QString resolveWithChanges(const QString& comName, const SettingsStore* settings,
                           const PortBindingChanges& bindings)
{
    const PortBindingLookup stored = portBindingsOf(settings);
    return resolvePortDevice(comName, [&](const QString& name) {
        const auto changed = bindings.constFind(name);
        if (changed != bindings.cend())
            return changed.value().trimmed();
        return stored ? stored(name) : QString();
    });
}

QString brennockSettingsPath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Vantrel/Brennock.ini");
}
