// Port names as the user sees them ("COM3") and the Linux devices behind them.
//
// A name resolves through an explicit binding that the caller looks up (brennock keeps
// them in its settings, section "Ports": "COM3" = "/dev/ttyUSB0" or a /dev/serial/by-id
// link, or a port server's rfc2217://HOST:PORT), else through the long-standing Unix
// rule COMn = /dev/ttyS(n-1).
#pragma once

#include <QString>
#include <QStringList>

#include <functional>

// The highest COM port number there is (COM1 to COM256).
constexpr int kHighestPortNumber = 256;
// "COM12" -> 12: the decimal value from the fourth character on; 0 when there is none,
// when the name does not start with "COM", or when the number is out of range (a
// stored "2147483647" names no port).
int portNumberOf(const QString& comName);

// "COM" followed by the number in decimal.
QString portNameFor(int number);

// The device bound to a port name, or an empty text when there is no binding.
using PortBindingLookup = std::function<QString(const QString& comName)>;

// An rfc2217:// address as it is; else the binding first (when a lookup is given), else
// COMn -> /dev/ttyS(n-1); empty when the name has no number.
QString resolvePortDevice(const QString& comName, const PortBindingLookup& binding);

// Serial devices present: /dev/serial/by-id links, ttyUSB*, ttyACM*, ttyAMA* and the ttyS*
// that have a UART behind them.
QStringList listSerialDevices();
