#include "ShellDefaults.h"

#include "SettingsStore.h"

#include <QDir>
#include <QFileInfo>

namespace
{

const StartDefault kStartDefaults[] = {
    {"COM Settings", "Baud Rate", true, 0, "9600", false},
    {"COM Settings", "Baud Rate Bk Download", true, 0, "115200", false},
    {"COM Settings", "Parity", true, 0, "None", false},
    {"COM Settings", "Data Bits", true, 0, "8", false},
    {"COM Settings", "Stop Bits", true, 0, "1", false},
    {"COM Settings", "Flow Control", true, 0, "None", false},
    {"COM Settings", "Local Echo", false, 0, nullptr, false},
    {"COM Settings", "Send CRLF", false, 0, nullptr, false},
    {"Delay", "DelayChar", false, 0, nullptr, false},
    {"Delay", "DelayLF", false, 0, nullptr, false},
    {"Delay", "WindowsEdit", false, 1, nullptr, false},
    {"Font", "Face Name", true, 0, "Courier", false},
    {"Font", "Size", false, 100, nullptr, false},
    {"Font", "Bold", false, 0, nullptr, false},
    {"Font", "Italic", false, 0, nullptr, false},
    {"Font", "Underline", false, 0, nullptr, false},
    {"Font", "Strikeout", false, 0, nullptr, false},
    {"Font", "Color", false, 0xFFFFFF, nullptr, false},
    {"Text", "Wrap", false, 1, nullptr, false},
    {"Background", "Color", false, 0xFF0000, nullptr, false},
    {"Transfer", "Prompt For Filename", false, 1, nullptr, true},
    {"Transfer", "Prompt Path Name", true, 0, "C:\\CAPTURE.TXT", false},
    {"Transfer", "Write Mode", false, 1, nullptr, true},
    {"Transfer", "Include Buffer Text", false, 1, nullptr, true},
    {"Window", "X Size", false, 620, nullptr, false},
    {"Window", "Y Size", false, 460, nullptr, false},
};

const QString kWindow = QStringLiteral("Window");
const QString kXSize = QStringLiteral("X Size");
const QString kYSize = QStringLiteral("Y Size");
const QString kRecentSection = QStringLiteral("Recent File List");
// Without a screen to measure (headless), still nothing absurd.
constexpr int kMaxDimension = 8192;

} // namespace

const StartDefault* startDefaults(int* count)
{
    *count = int(sizeof(kStartDefaults) / sizeof(kStartDefaults[0]));
    return kStartDefaults;
}

int writeStartDefaults(SettingsStore& settings)
{
    const SettingsStore::Batch batch(settings); // one write to disk for all of them
    int written = 0;
    for (const StartDefault& entry : kStartDefaults) {
        const QString section = QString::fromLatin1(entry.section);
        const QString name = QString::fromLatin1(entry.name);
        if (entry.isText) {
            if (settings.readText(section, name, QString()).isEmpty()) {
                settings.writeText(section, name, QString::fromLatin1(entry.textValue));
                ++written;
            }
        } else {
            const int value = settings.readInt(section, name, -1);
            if (value == -1 || (entry.zeroIsMissing && value == 0)) {
                settings.writeInt(section, name, entry.intValue);
                ++written;
            }
        }
    }
    return written;
}

Rgb rgbOfColorRef(int colorRef)
{
    return {colorRef & 0xFF, (colorRef >> 8) & 0xFF, (colorRef >> 16) & 0xFF};
}

int colorRefOf(int red, int green, int blue)
{
    return (red & 0xFF) | ((green & 0xFF) << 8) | ((blue & 0xFF) << 16);
}

QSize storedWindowSize(const SettingsStore& settings)
{
    return QSize(settings.readInt(kWindow, kXSize, 620), settings.readInt(kWindow, kYSize, 460));
}

void storeWindowSize(SettingsStore& settings, const QSize& size)
{
    const SettingsStore::Batch batch(settings);
    settings.writeInt(kWindow, kXSize, size.width());
    settings.writeInt(kWindow, kYSize, size.height());
}

int clampedDelay(int ms)
{
    return qBound(0, ms, kMaxDelayMs);
}

int clampedFontTenths(int tenths)
{
    if (tenths <= 0)
        return kDefaultFontTenths;
    return qBound(kMinFontTenths, tenths, kMaxFontTenths);
}

QSize clampedWindowSize(const QSize& size, const QSize& screen)
{
    QSize most(kMaxDimension, kMaxDimension);
    if (screen.isValid() && !screen.isEmpty())
        most = screen.expandedTo(kMinWindowSize);
    return QSize(qBound(kMinWindowSize.width(), size.width(), most.width()),
                 qBound(kMinWindowSize.height(), size.height(), most.height()));
}

RecentFiles::RecentFiles(SettingsStore& settings) : settings(settings)
{
    for (int i = 1; i <= kMaxEntries; ++i) {
        const QString path =
            settings.readText(kRecentSection, QStringLiteral("File%1").arg(i), QString());
        if (!path.isEmpty() && !list.contains(path))
            list.append(path);
    }
}

void RecentFiles::add(const QString& path)
{
    if (path.isEmpty())
        return;
    const QString absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath());
    list.removeAll(absolute);
    list.prepend(absolute);
    while (list.size() > kMaxEntries)
        list.removeLast();
    store();
}

void RecentFiles::remove(const QString& path)
{
    if (list.removeAll(path) > 0)
        store();
}

void RecentFiles::store()
{
    const SettingsStore::Batch batch(settings);
    for (int i = 1; i <= kMaxEntries; ++i) {
        const QString key = QStringLiteral("File%1").arg(i);
        if (i <= list.size())
            settings.writeText(kRecentSection, key, list.at(i - 1));
        else if (settings.contains(kRecentSection, key))
            settings.remove(kRecentSection, key);
    }
}
