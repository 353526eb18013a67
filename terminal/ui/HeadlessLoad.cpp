#include "HeadlessLoad.h"

#include "CommSettings.h"
#include "PortBindings.h"
#include "SettingsStore.h"

LoadCliEnvironment storedLoadEnvironment(SettingsStore& settings)
{
    const QString com = QStringLiteral("COM Settings");
    const CommSettings defaults;
    const auto stored = [&](const char* name, const QString& def) {
        return settings.readText(com, QString::fromLatin1(name), def);
    };
    LoadCliEnvironment env;
    env.storedPort = stored("COM Port", defaults.portName);
    env.baudRate = stored("Baud Rate", defaults.baudRate);
    env.downloadBaudRate = stored("Baud Rate Bk Download", defaults.downloadBaudRate);
    env.parity = uint8_t(parityCodeOf(stored("Parity", defaults.parity)));
    env.dataBits = uint8_t(stored("Data Bits", defaults.dataBits).trimmed().toUInt());
    env.stopBits = uint8_t(stopBitsCodeOf(stored("Stop Bits", defaults.stopBits)));
    const PortBindingLookup bindings = portBindingsOf(&settings);
    env.resolveDevice = [bindings](const QString& name) {
        return resolvePortDevice(name, bindings);
    };
    env.settings = &settings;
    return env;
}
