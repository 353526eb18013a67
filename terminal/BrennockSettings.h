// The settings store of brennock, in place of a registry profile.
//
// One INI file, $XDG_CONFIG_HOME/Vantrel/Brennock.ini (XDG_CONFIG_HOME defaults to
// ~/.config), read through QSettings. Groups are the section names and keys the value
// names exactly ("COM Settings" / "Baud Rate"); QSettings percent-encodes the spaces in
// the file, which it reads back unchanged. Integers are stored as integers, texts as
// texts. Every write is flushed at once, so a crash loses nothing the user changed.
#pragma once

#include <QString>

#include <memory>

class QSettings;

class BrennockSettings
{
public:
    BrennockSettings();                          // the user's file
    explicit BrennockSettings(const QString& iniPath);
    ~BrennockSettings();

    BrennockSettings(const BrennockSettings&) = delete;
    BrennockSettings& operator=(const BrennockSettings&) = delete;

    // A value that is missing or not a number gives def.
    int readInt(const QString& section, const QString& name, int def) const;
    QString readText(const QString& section, const QString& name, const QString& def) const;
    void writeInt(const QString& section, const QString& name, int value);
    void writeText(const QString& section, const QString& name, const QString& value);
    bool contains(const QString& section, const QString& name) const;
    void remove(const QString& section, const QString& name);
    QString fileName() const;
    void sync();

    // Where the user's file lives: $XDG_CONFIG_HOME (or ~/.config)/Vantrel/Brennock.ini,
    // looked up afresh on every call so that tests can point XDG_CONFIG_HOME elsewhere.
    static QString userFilePath();

private:
    std::unique_ptr<QSettings> store;
};
