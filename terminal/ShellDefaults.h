// The stored settings that the application shell looks after, free of widgets.
//
// At every start the shell writes the default of each value that is marked as
// written at start, when it is missing: an integer is missing when reading it with a
// default of -1 gives -1, a text when reading it gives an empty string, and the
// "Transfer" integers count as missing also when they are 0. The port name, the date
// and time paste mode and the load paths are never written here.
#pragma once

#include <QSize>
#include <QString>
#include <QStringList>

class SettingsStore;

struct StartDefault {
    const char* section;
    const char* name;
    bool isText;
    int intValue;
    const char* textValue;
    bool zeroIsMissing;
};

// The values written at start, in the order they are written.
const StartDefault* startDefaults(int* count);

// Writes the defaults that are missing; returns how many were written.
int writeStartDefaults(SettingsStore& settings);

// COLORREF (0x00BBGGRR) as stored, and back.
struct Rgb {
    int red, green, blue;
};
Rgb rgbOfColorRef(int colorRef);
int colorRefOf(int red, int green, int blue);

// The main window's outer size, "Window" "X Size" / "Y Size" (620 x 460 when missing).
QSize storedWindowSize(const SettingsStore& settings);
void storeWindowSize(SettingsStore& settings, const QSize& size);

// Stored values are checked when read: a hand-edited or damaged file must not make the
// program sleep for hours, allocate gigabytes or show nothing.
constexpr int kMaxDelayMs = 1000;  // "DelayChar" and "DelayLF": 0 to 1000 ms
constexpr int kMinFontTenths = 40; // "Font" "Size": 4 to 72 points
constexpr int kMaxFontTenths = 720;
constexpr int kDefaultFontTenths = 100;
const QSize kMinWindowSize(200, 150);
int clampedDelay(int ms);
// A size of 0 or less is no size at all: the default.
int clampedFontTenths(int tenths);
// Between kMinWindowSize and the screen's available size (when known).
QSize clampedWindowSize(const QSize& size, const QSize& screen);

// The recent-file list: up to ten paths, newest first, kept in "Recent File List" as
// "File1" to "File10".
class RecentFiles
{
public:
    static constexpr int kMaxEntries = 10;

    explicit RecentFiles(SettingsStore& settings);
    QStringList entries() const { return list; }
    // Puts path first (once), drops the oldest beyond ten, stores the list.
    void add(const QString& path);
    void remove(const QString& path);

private:
    void store();

    SettingsStore& settings;
    QStringList list;
};
