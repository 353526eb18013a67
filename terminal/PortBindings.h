// brennock's port bindings: section "Ports" of its settings ("COM3" = "/dev/ttyUSB0").
#pragma once

#include "PortNames.h"

#include <QString>

class SettingsStore;

// Looks bindings up in settings; a null store binds nothing.
PortBindingLookup portBindingsOf(const SettingsStore* settings);

// Binds comName to device; an empty device removes the binding.
void bindPortDevice(SettingsStore& settings, const QString& comName, const QString& device);

// Where brennock's settings live: $XDG_CONFIG_HOME (or ~/.config)/Vantrel/Brennock.ini,
// looked up afresh on every call so that tests can point XDG_CONFIG_HOME elsewhere.
QString brennockSettingsPath();
