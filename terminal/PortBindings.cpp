#include "PortBindings.h"

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
