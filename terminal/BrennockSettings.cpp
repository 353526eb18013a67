#include "BrennockSettings.h"

#include <QDir>
#include <QSettings>

namespace {

QString key(const QString& section, const QString& name)
{
    return section + QLatin1Char('/') + name;
}

} // namespace

QString BrennockSettings::userFilePath()
{
    QString base = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (base.isEmpty() || !QDir::isAbsolutePath(base))
        base = QDir::homePath() + QStringLiteral("/.config");
    return base + QStringLiteral("/Vantrel/Brennock.ini");
}

BrennockSettings::BrennockSettings() : BrennockSettings(userFilePath()) {}

BrennockSettings::BrennockSettings(const QString& iniPath)
    : store(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

BrennockSettings::~BrennockSettings()
{
    store->sync();
}

int BrennockSettings::readInt(const QString& section, const QString& name, int def) const
{
    const QVariant value = store->value(key(section, name));
    if (!value.isValid())
        return def;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok, 0);
    return ok ? number : def;
}

QString BrennockSettings::readText(const QString& section, const QString& name,
                                   const QString& def) const
{
    const QVariant value = store->value(key(section, name));
    return value.isValid() ? value.toString() : def;
}

void BrennockSettings::writeInt(const QString& section, const QString& name, int value)
{
    store->setValue(key(section, name), value);
    store->sync();
}

void BrennockSettings::writeText(const QString& section, const QString& name,
                                 const QString& value)
{
    store->setValue(key(section, name), value);
    store->sync();
}

bool BrennockSettings::contains(const QString& section, const QString& name) const
{
    return store->contains(key(section, name));
}

void BrennockSettings::remove(const QString& section, const QString& name)
{
    store->remove(key(section, name));
    store->sync();
}

QString BrennockSettings::fileName() const
{
    return store->fileName();
}

void BrennockSettings::sync()
{
    store->sync();
}
