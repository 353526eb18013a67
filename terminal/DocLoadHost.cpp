#include "DocLoadHost.h"

#include "BrennockDoc.h"

DocLoadHost::DocLoadHost(CBrennockDoc& doc, RecentAdder addRecent)
    : doc(doc), addRecent(std::move(addRecent))
{
}

MonitorLine* DocLoadHost::line()
{
    SerialPort* port = doc.port();
    if (port != linePort) {
        // The document reconnected (or disconnected) since the last load.
        monitorLine = port ? std::make_unique<SerialMonitorLine>(*port) : nullptr;
        linePort = port;
    }
    return monitorLine.get();
}

ReaderControl& DocLoadHost::readerControl()
{
    return doc;
}

uint32_t DocLoadHost::rateOf(const QString& text)
{
    const QString trimmed = text.trimmed();
    uint32_t value = 0;
    for (QChar c : trimmed) {
        if (!c.isDigit())
            break;
        value = value * 10 + uint32_t(c.digitValue());
    }
    return value;
}

MonitorSession::Rates DocLoadHost::rates() const
{
    return {rateOf(doc.commSettings().baudRate), rateOf(doc.commSettings().downloadBaudRate)};
}

void DocLoadHost::showInTerminal(const QByteArray& bytes)
{
    doc.DeliverToViews(bytes.constData(), bytes.size());
}

void DocLoadHost::addRecentFile(const QString& path)
{
    if (addRecent)
        addRecent(path);
}

bool DocLoadHost::deviceLost()
{
    // The comm thread may have reported it already; the document tells the user once.
    doc.onLineLost();
    return doc.lineLost();
}
