// A settings store in place of a registry profile.
//
// One INI file whose path the owner gives (brennock's is brennockSettingsPath()),
// read through QSettings. Groups are the section names and keys the value
// names exactly ("COM Settings" / "Baud Rate"); QSettings percent-encodes the spaces in
// the file, which it reads back unchanged. Integers are stored as integers, texts as
// texts. Every write is flushed at once, so a crash loses nothing the user changed.
#pragma once

#include <QString>

#include <memory>

class QSettings;

class SettingsStore
{
public:
    explicit SettingsStore(const QString& iniPath);
    ~SettingsStore();

    SettingsStore(const SettingsStore&) = delete;
    SettingsStore& operator=(const SettingsStore&) = delete;

    // A value that is missing or not a number gives def.
    int readInt(const QString& section, const QString& name, int def) const;
    QString readText(const QString& section, const QString& name, const QString& def) const;
    void writeInt(const QString& section, const QString& name, int value);
    void writeText(const QString& section, const QString& name, const QString& value);
    bool contains(const QString& section, const QString& name) const;
    void remove(const QString& section, const QString& name);
    QString fileName() const;
    void sync();

private:
    std::unique_ptr<QSettings> store;
};
