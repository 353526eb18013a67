// Headless loading for build scripts:
//   brennock --load FILE [--port COMn|DEVICE]... [--baud N] [--download-baud N]
//
// Runs the Load command's dispatch (OnLoadAny) on FILE without a window: the
// instrument's text and the CRC report line on stdout, progress on stderr (a bar
// on a terminal, plain lines otherwise), message texts of failures on stderr.
// After the load the line is read for another half second, so the instrument's
// answer to 'G' is printed too. Exit status 0 when the load succeeded, 1 when it
// failed (or the port could not be opened), 2 for a usage error.
//
// With more than one --port the file goes into every port at once (ManyPortLoad.h):
// a progress row per port, a result table at the end, exit status 0 only when every
// port took it. The console script needs its one port and refuses several (status 2).
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class SerialPort;
class SettingsStore;

// What runs after the load on the same open port (brennock's console script): it
// sees the console text the load read, and its result is the exit status.
class LoadCliFollowUp
{
public:
    virtual ~LoadCliFollowUp() = default;
    virtual void consoleText(const QByteArray& bytes) = 0;
    virtual int run(SerialPort& port) = 0;
};

// What the program's stored settings give the command (the caller reads them).
struct LoadCliEnvironment {
    QString storedPort = QStringLiteral("COM3"); // "COM Port"
    QString baudRate = QStringLiteral("9600");   // "Baud Rate"
    QString downloadBaudRate = QStringLiteral("115200");
    uint8_t parity = 0; // SerialPort codes
    uint8_t dataBits = 8;
    uint8_t stopBits = 0;
    // COMn -> device (bindings, else /dev/ttyS(n-1)).
    std::function<QString(const QString& portName)> resolveDevice;
    SettingsStore* settings = nullptr; // "LastPath" values; may be null
    // With a follow-up, --load is optional and the follow-up replaces the half-second
    // listen after the load; it does not run when the load failed.
    LoadCliFollowUp* followUp = nullptr;
};

// The usage lines of --load, for --help.
QString loadUsageText();

// args: the program's arguments without the program name.
int loadMain(const QStringList& args, const LoadCliEnvironment& env);
