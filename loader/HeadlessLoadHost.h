// The load without a window (`brennock --load`): the port it opens itself and the host
// that offers that port to the load commands. There is no comm thread, so the
// conversations own the line throughout; the loaders' status lines (the CRC report) go
// wherever the caller says: stdout for one port, the result table for many.
#pragma once

#include "LoadCli.h"
#include "LoadHost.h"
#include "SerialMonitorLine.h"

#include <functional>
#include <memory>

class SerialPort;
class UserFeedback;

class HeadlessLoadHost : public LoadHost, public ReaderControl
{
public:
    using TerminalText = std::function<void(const QByteArray& bytes)>;

    HeadlessLoadHost(SerialPort& port, MonitorSession::Rates rates, TerminalText text)
        : monitorLine(port), rateSettings(rates), text(std::move(text))
    {
    }
    MonitorLine* line() override { return &monitorLine; }
    ReaderControl& readerControl() override { return *this; }
    MonitorSession::Rates rates() const override { return rateSettings; }
    void showInTerminal(const QByteArray& bytes) override { text(bytes); }
    void addRecentFile(const QString&) override {}
    bool stopReader() override { return true; }
    bool restartReader() override { return true; }

private:
    SerialMonitorLine monitorLine;
    MonitorSession::Rates rateSettings;
    TerminalText text;
};

// The device a --port names: a path as it is, COMn through the bindings. Empty when the
// name resolves to none.
QString loadDeviceOf(const QString& portName, const LoadCliEnvironment& env);

// Opens device (named portName by the user) at the terminal rate and the stored line
// format. Null after telling feedback why it could not be opened.
std::unique_ptr<SerialPort> openLoadPort(const QString& portName, const QString& device,
                                         const LoadCliEnvironment& env, MonitorSession::Rates rates,
                                         UserFeedback& feedback);
