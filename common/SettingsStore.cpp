#include "SettingsStore.h"

#include <QDir>
#include <QFileInfo>
#include <QSettings>

namespace
{

QString key(const QString& section, const QString& name)
{
    return section + QLatin1Char('/') + name;
}

} // namespace

SettingsStore::SettingsStore(const QString& iniPath)
    : store(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
    const QFileInfo file(iniPath);
    if (file.exists() && (file.isDir() || !file.isReadable()))
        problemFound = true;
    checkStatus();
}

SettingsStore::~SettingsStore()
{
    if (dirty)
        store->sync();
}

int SettingsStore::readInt(const QString& section, const QString& name, int def) const
{
    const QVariant value = store->value(key(section, name));
    if (!value.isValid())
        return def;
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok, 0);
    return ok ? number : def;
}

QString SettingsStore::readText(const QString& section, const QString& name,
                                const QString& def) const
{
    const QVariant value = store->value(key(section, name));
    return value.isValid() ? value.toString() : def;
}

void SettingsStore::writeInt(const QString& section, const QString& name, int value)
{
    store->setValue(key(section, name), value);
    written();
}

void SettingsStore::writeText(const QString& section, const QString& name, const QString& value)
{
    store->setValue(key(section, name), value);
    written();
}

void SettingsStore::written()
{
    dirty = true;
    if (batchDepth == 0)
        sync();
}

bool SettingsStore::contains(const QString& section, const QString& name) const
{
    return store->contains(key(section, name));
}

void SettingsStore::remove(const QString& section, const QString& name)
{
    store->remove(key(section, name));
    written();
}

QString SettingsStore::fileName() const
{
    return store->fileName();
}

void SettingsStore::sync()
{
    dirty = false;
    store->sync();
    checkStatus();
}

void SettingsStore::checkStatus()
{
    if (store->status() != QSettings::NoError)
        problemFound = true;
    if (problemFound && !problemReported && problemHandler) {
        problemReported = true;
        problemHandler(fileName());
    }
}

void SettingsStore::setProblemHandler(ProblemHandler handler)
{
    problemHandler = std::move(handler);
    checkStatus();
}

SettingsStore::Batch::Batch(SettingsStore& settings) : settings(settings)
{
    ++settings.batchDepth;
}

SettingsStore::Batch::~Batch()
{
    if (--settings.batchDepth == 0 && settings.dirty)
        settings.sync();
}
