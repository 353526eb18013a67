#include "HeadlessLoadHost.h"

#include "SerialPort.h"
#include "UserFeedback.h"

QString loadDeviceOf(const QString& portName, const LoadCliEnvironment& env)
{
    return portName.startsWith(QLatin1Char('/')) || !env.resolveDevice
               ? portName
               : env.resolveDevice(portName);
}

std::unique_ptr<SerialPort> openLoadPort(const QString& portName, const QString& device,
                                         const LoadCliEnvironment& env, MonitorSession::Rates rates,
                                         UserFeedback& feedback)
{
    auto port = std::make_unique<SerialPort>(device);
    if (!port->isOpen() || port->lastError() != 0) {
        const QString where =
            device == portName ? portName : QStringLiteral("%1 (%2)").arg(portName, device);
        feedback.message(QStringLiteral("Can't open port %1: %2").arg(where, port->lastErrorText()),
                         QStringLiteral("Error"), MessageIcon::Warning);
        return nullptr;
    }
    port->SetBaudRate(rates.terminal);
    port->SetLineFormat(env.parity, env.dataBits, env.stopBits);
    return port;
}
