#include "RemoteLinkPort.h"

#include "SerialPort.h"

#include <QSocketNotifier>

namespace
{
// One look at the line takes at most this much; the notifier fires again for more.
constexpr int kReadChunk = 16384;
} // namespace

RemoteLinkPort::RemoteLinkPort(const QString& name) : url(name) {}

RemoteLinkPort::~RemoteLinkPort()
{
    close();
}

Outcome RemoteLinkPort::open()
{
    close();
    auto opened = std::make_unique<SerialPort>(url);
    if (!opened->isOpen() || opened->lastError() != 0)
        return Outcome::failure(opened->lastErrorText());
    // The link's line as a local port gives it: 9600 8N1 and no handshake. The result
    // is ignored on purpose: a server that does not confirm it still carries the data.
    CommState state;
    if (opened->GetState(&state)) {
        state.fOutxCtsFlow = state.fOutxDsrFlow = state.fOutX = state.fInX = false;
        state.rtsControl = state.dtrControl = kControlEnable;
        opened->SetState(state);
    }
    // Reads take what is there at once (the default time-outs) and never wait.
    port = std::move(opened);
    gone = false;
    readable = std::make_unique<QSocketNotifier>(port->descriptor(), QSocketNotifier::Read);
    connect(readable.get(), &QSocketNotifier::activated, this, [this] { takeArrivals(); });
    writable = std::make_unique<QSocketNotifier>(port->descriptor(), QSocketNotifier::Write);
    writable->setEnabled(false);
    connect(writable.get(), &QSocketNotifier::activated, this, [this] { sendPending(); });
    return Outcome::success();
}

void RemoteLinkPort::close()
{
    readable.reset();
    writable.reset();
    port.reset();
    arrived.clear();
    pending.clear();
}

bool RemoteLinkPort::write(const QByteArray& bytes)
{
    if (!port || gone)
        return false;
    // Sent when the line takes it, from the event loop: bytesWritten never comes from
    // inside write(), as with a local port.
    pending += bytes;
    writable->setEnabled(true);
    return true;
}

void RemoteLinkPort::sendPending()
{
    if (!port)
        return;
    while (!pending.isEmpty()) {
        const int taken = port->WriteSome(pending.constData(), pending.size());
        if (taken < 0) {
            noteLost();
            return;
        }
        if (taken == 0)
            break;
        pending.remove(0, taken);
        emit bytesWritten(taken);
        if (!port) // a slot closed the port
            return;
    }
    writable->setEnabled(!pending.isEmpty());
}

void RemoteLinkPort::takeArrivals()
{
    if (!port)
        return;
    char buffer[kReadChunk];
    // Exact with the immediate time-outs: what is there now, and a hang-up is seen.
    const int n = port->Read(buffer, sizeof buffer, true);
    if (n > 0)
        arrived.append(buffer, n);
    if (port->lineGone()) {
        noteLost();
        return;
    }
    if (n > 0)
        emit readyRead();
}

QByteArray RemoteLinkPort::readAll()
{
    QByteArray all;
    all.swap(arrived);
    return all;
}

void RemoteLinkPort::discardInput()
{
    arrived.clear();
    if (port)
        port->Purge();
}

void RemoteLinkPort::discardBoth()
{
    pending.clear();
    discardInput();
}

void RemoteLinkPort::noteLost()
{
    if (gone)
        return;
    gone = true;
    if (readable)
        readable->setEnabled(false);
    if (writable)
        writable->setEnabled(false);
    emit lost();
}

QString RemoteLinkPort::lossReason() const
{
    return QStringLiteral("the port server closed the connection");
}
