// The terminal document as the load commands see it: its port as a MonitorLine,
// its comm thread, its rates, its views for the loaders' status lines, and the
// window's recent-file list.
#pragma once

#include "LoadHost.h"
#include "SerialMonitorLine.h"

#include <functional>
#include <memory>

class CBrennockDoc;
class SerialPort;

class DocLoadHost : public LoadHost
{
public:
    using RecentAdder = std::function<void(const QString& path)>;
    DocLoadHost(CBrennockDoc& doc, RecentAdder addRecent);

    MonitorLine* line() override;
    ReaderControl& readerControl() override;
    MonitorSession::Rates rates() const override;
    void showInTerminal(const QByteArray& bytes) override;
    void addRecentFile(const QString& path) override;
    // The document's own report of a lost line: disconnect, tell once, wait for the
    // device to come back.
    bool deviceLost() override;

    // Leading decimal digits, as atoi reads them; 0 when there are none.
    static uint32_t rateOf(const QString& text);

private:
    CBrennockDoc& doc;
    RecentAdder addRecent;
    SerialPort* linePort = nullptr; // the port monitorLine was made for
    std::unique_ptr<SerialMonitorLine> monitorLine;
};
