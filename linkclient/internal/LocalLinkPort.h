// A LinkPort over a local serial device, through QSerialPort. The lock that
// brennock and the other serial programs take is checked before the device is
// opened and held on its descriptor while it is open.
#pragma once

#include "LinkPort.h"

#include <QSerialPort>

class LocalLinkPort : public LinkPort
{
    Q_OBJECT
public:
    explicit LocalLinkPort(const QString& name);
    ~LocalLinkPort() override;

    QString name() const override { return serial.portName(); }
    Outcome open() override;
    void close() override;
    bool isOpen() const override { return serial.isOpen(); }
    bool write(const QByteArray& bytes) override;
    qint64 bytesToWrite() const override { return serial.bytesToWrite(); }
    QByteArray readAll() override { return serial.readAll(); }
    void discardInput() override;
    void discardBoth() override;
    QString lossReason() const override;

private:
    QSerialPort serial;
};
