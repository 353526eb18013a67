// A LinkPort on a port server (rfc2217://HOST:PORT), through serial/'s SerialPort, the
// one door to remote ports. Everything runs on the owner's thread: a socket notifier
// on the port's descriptor reports arrivals, and writes are queued and handed to the
// port as it takes them, so that nothing here ever blocks the window.
#pragma once

#include "LinkPort.h"

#include <QByteArray>

#include <memory>

class QSocketNotifier;
class SerialPort;

class RemoteLinkPort : public LinkPort
{
    Q_OBJECT
public:
    explicit RemoteLinkPort(const QString& url);
    ~RemoteLinkPort() override;

    QString name() const override { return url; }
    Outcome open() override;
    void close() override;
    bool isOpen() const override { return port != nullptr; }
    bool write(const QByteArray& bytes) override;
    qint64 bytesToWrite() const override { return pending.size(); }
    QByteArray readAll() override;
    void discardInput() override;
    void discardBoth() override;
    QString lossReason() const override;

private:
    void takeArrivals();
    void sendPending();
    void noteLost();

    QString url;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<QSocketNotifier> readable;
    std::unique_ptr<QSocketNotifier> writable;
    QByteArray arrived;
    QByteArray pending;
    bool gone = false;
};
