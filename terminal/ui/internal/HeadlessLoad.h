// `brennock --load ...`: the headless load with the stored settings of brennock
// (COM Port and its binding, the rates and the line format).
#pragma once

#include "LoadCli.h"

class SettingsStore;

// What the stored settings give the load; settings must outlive the result.
LoadCliEnvironment storedLoadEnvironment(SettingsStore& settings);
