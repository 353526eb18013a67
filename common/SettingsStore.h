// A settings store in place of a registry profile.
//
// One INI file whose path the owner gives (brennock's is brennockSettingsPath()),
// read through QSettings. Groups are the section names and keys the value
// names exactly ("COM Settings" / "Baud Rate"); QSettings percent-encodes the spaces in
// the file, which it reads back unchanged. Integers are stored as integers, texts as
// texts. Every write is flushed at once, so a crash loses nothing the user changed;
// a Batch makes the writes of one change of state (all start defaults, a window size,
// a settings dialog) one flush.
//
// A file that cannot be read or written (no permission, a folder in its place) is
// reported once, naming the file, through the problem handler; the values then come
// from the defaults and changes last only as long as the program runs.
#pragma once

#include <QString>

#include <functional>
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

    // Writes made while a Batch lives are flushed once, when the outermost one ends.
    class Batch
    {
    public:
        explicit Batch(SettingsStore& settings);
        ~Batch();
        Batch(const Batch&) = delete;
        Batch& operator=(const Batch&) = delete;

    private:
        SettingsStore& settings;
    };

    // Called once, with the file's path, for the first read or write that failed; a
    // problem found before the handler was set is reported when it is set.
    using ProblemHandler = std::function<void(const QString& fileName)>;
    void setProblemHandler(ProblemHandler handler);
    bool hasProblem() const { return problemFound; }

private:
    void written();
    void checkStatus();

    std::unique_ptr<QSettings> store;
    ProblemHandler problemHandler;
    int batchDepth = 0;
    bool dirty = false;
    bool problemFound = false;
    bool problemReported = false;
};
