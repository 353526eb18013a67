// The one door between the link session and the line to the instrument. The
// session opens, writes, reads and closes through it and hears of new bytes,
// finished writes and a lost line from its signals; it never sees what kind
// of port is behind it. LinkPort::create picks the kind by the port's name.
//
// Writes are queued: write() hands the bytes over and returns at once, and
// bytesWritten reports them as they leave. lost is signalled when a read
// fails (the far end went away); the port may say so more than once, and the
// session closes it.
#pragma once

#include "Outcome.h"

#include <QByteArray>
#include <QObject>
#include <QString>

#include <memory>

class LinkPort : public QObject
{
    Q_OBJECT
public:
    // The port that serves name: a port server for rfc2217://HOST:PORT, else a
    // local serial device (a path, or a bare name under /dev).
    static std::unique_ptr<LinkPort> create(const QString& name);

    ~LinkPort() override = default;

    // The port's name for messages (a device under /dev by its bare name).
    virtual QString name() const = 0;
    // Opens the line for reading and writing and takes the device's lock. On
    // failure the port stays closed and the Outcome says why (the holder of
    // the lock, or the system's reason).
    virtual Outcome open() = 0;
    virtual void close() = 0;
    virtual bool isOpen() const = 0;

    // Queues bytes for the line; false when the port would not take them.
    virtual bool write(const QByteArray& bytes) = 0;
    // Bytes handed to write() that have not left yet.
    virtual qint64 bytesToWrite() const = 0;
    // Everything that arrived and was not read yet.
    virtual QByteArray readAll() = 0;
    // Drops what arrived and was not read yet.
    virtual void discardInput() = 0;
    // Drops what arrived and what waits to be sent. A closed port has nothing to drop.
    virtual void discardBoth() = 0;

    // Why the line stopped answering, in a few words for the user; asked after lost.
    virtual QString lossReason() const = 0;

signals:
    void readyRead();
    void bytesWritten(qint64 bytes);
    void lost();

protected:
    LinkPort() = default;
};
