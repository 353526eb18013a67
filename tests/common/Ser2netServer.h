// A real ser2net 4 in front of a device, for the remote-port tests: started with a
// generated configuration (telnet(rfc2217) on 127.0.0.1 at a free port, the device at
// 9600n81, local), stopped and started again at the same port on request.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class Ser2netServer
{
public:
    ~Ser2netServer() { stop(); }

    // The program, or an empty text when it is not installed (the test then skips).
    static QString program();
    // Starts ser2net for device; false with *error set when it does not come up.
    bool start(const QString& device, QString* error);
    // Ends it (SIGTERM, then waits), which closes every connection.
    void stop();
    // Starts it again at the same port.
    bool restart(QString* error);
    QString url() const;
    quint16 port() const { return tcpPort; }

private:
    bool listening() const;
    QTemporaryDir dir;
    QString device;
    quint16 tcpPort = 0;
    QProcess process;
};
