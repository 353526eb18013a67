// Headless loading for build scripts:
//   brennock --load FILE [--port COMn|DEVICE] [--baud N] [--download-baud N]
//
// Runs the Load command's dispatch (OnLoadAny) on FILE without a window: the
// instrument's text and the CRC report line on stdout, progress on stderr (a bar
// on a terminal, plain lines otherwise), message texts of failures on stderr.
// After the load the line is read for another half second, so the instrument's
// answer to 'G' is printed too. Exit status 0 when the load succeeded, 1 when it
// failed (or the port could not be opened), 2 for a usage error.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>

class SettingsStore;

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
};

// The usage lines of --load, for --help.
QString loadUsageText();

// args: the program's arguments without the program name.
int loadMain(const QStringList& args, const LoadCliEnvironment& env);
