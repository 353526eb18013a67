// The instrument's side of the line: what it sends, what it has sent, and
// its conversation log. The engine implements it over the pty.
#pragma once

#include "LineSettings.h"

#include <QByteArray>
#include <QString>

namespace qx2sim
{

class InstrumentIo
{
public:
    virtual ~InstrumentIo() = default;
    // Queue bytes for the host, gapMs after everything queued before has gone.
    // uartBaud is the instrument's rate for them (0: a link that has no rate).
    virtual void send(const QByteArray& bytes, int gapMs, qint64 uartBaud) = 0;
    // Drop every byte queued and not yet on the line (the host aborted a send).
    virtual void discardPendingOutput() = 0;
    // Bytes ever queued, and bytes ever written to the line or dropped: the
    // host can have seen a byte only once sentTotal has passed it.
    virtual qint64 queuedTotal() const = 0;
    virtual qint64 sentTotal() const = 0;
    // The line settings the client has set, read at the moment of the call.
    virtual LineSettings lineSettings() = 0;
    // One line for the conversation log.
    virtual void event(const QString& text) = 0;
};

} // namespace qx2sim
