// brennock's port bindings: section "Ports" of its settings ("COM3" = "/dev/ttyUSB0").
#pragma once

#include "PortNames.h"

#include <QMap>
#include <QString>
#include <QStringList>

class SettingsStore;

// Looks bindings up in settings; a null store binds nothing.
PortBindingLookup portBindingsOf(const SettingsStore* settings);

// Binds comName to device; an empty device removes the binding.
void bindPortDevice(SettingsStore& settings, const QString& comName, const QString& device);

// Bindings chosen but not yet stored: port name -> device ("" removes the binding).
using PortBindingChanges = QMap<QString, QString>;

// The port-server addresses (rfc2217://HOST:PORT) bound to any port, each once, in port
// order: the remote ports a user has chosen before.
QStringList boundRemotePorts(const SettingsStore* settings);

// Stores every change of bindings.
void bindPortDevices(SettingsStore& settings, const PortBindingChanges& bindings);

// The device comName leads to with bindings applied over the stored ones.
QString resolveWithChanges(const QString& comName, const SettingsStore* settings,
                           const PortBindingChanges& bindings);

// Where brennock's settings live: $XDG_CONFIG_HOME (or ~/.config)/Vantrel/Brennock.ini,
// looked up afresh on every call so that tests can point XDG_CONFIG_HOME elsewhere.
QString brennockSettingsPath();
