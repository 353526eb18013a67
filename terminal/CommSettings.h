// The communication settings of the terminal document and the values of the
// Communication Settings dialog, with the fixed choices the dialog offers.
#pragma once

#include <QString>
#include <QStringList>

struct CommSettings {
    QString portName = QStringLiteral("COM3");
    QString parity = QStringLiteral("None");
    QString baudRate = QStringLiteral("9600");
    QString downloadBaudRate = QStringLiteral("115200");
    QString dataBits = QStringLiteral("8");
    QString flowControl = QStringLiteral("None");
    QString stopBits = QStringLiteral("1");
    bool localEcho = false;
    bool sendCrLf = false;
};

struct CommDialogValues {       // what the Communication Settings dialog edits
    int portNumber = 3;
    QString baudRate, downloadBaudRate, parity, dataBits, stopBits, flowControl;
    bool localEcho = false, sendCrLf = false;
};

// The dialog's lists, fixed and in this order.
QStringList commBaudRateChoices();      // "1200" ... "230400", for both baud lists
QStringList commParityChoices();        // "None", "Even", "Odd"
QStringList commDataBitsChoices();      // "7", "8"
QStringList commStopBitsChoices();      // "1", "2"
QStringList commFlowControlChoices();   // "Hardware", "Software", "None"

// The port numbers the dialog accepts; 99 means "disconnect".
constexpr int kMinPortNumber = 1;
constexpr int kMaxPortNumber = 255;
constexpr int kDisconnectPortNumber = 99;

// Mapping of the setting texts onto the port's codes.
int parityCodeOf(const QString& parity);          // "Even" 2, "Odd" 1, anything else 0
int stopBitsCodeOf(const QString& stopBits);      // "2" gives 2 (two), anything else 0 (one)
int flowControlFlagsOf(const QString& flowControl); // "Software" 16, "None" 0, else 3
