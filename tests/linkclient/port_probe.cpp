// A second program on a port, for the lock tests: "brennock" opens the device as the
// terminal does (SerialPort), "harbrooklink" as the link client does (LinkSession).
//   port_probe brennock|harbrooklink open DEVICE   prints "opened" (exit 0) or why not (1)
//   port_probe brennock|harbrooklink hold DEVICE   the same, then keeps the port until
//                                                  standard input closes
#include "LinkSession.h"
#include "SerialPort.h"

#include <QCoreApplication>

#include <cstdio>
#include <memory>

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() != 4)
        return 2;
    const QString& device = args.at(3);
    std::unique_ptr<SerialPort> port;
    LinkSession session;
    QString refusal;
    QObject::connect(&session, &LinkSession::logLine, [&](const QString& line) { refusal = line; });
    bool opened = false;
    if (args.at(1) == QLatin1String("brennock")) {
        port = std::make_unique<SerialPort>(device);
        opened = port->isOpen() && port->lastError() == 0;
        refusal = port->lastErrorText();
    } else {
        opened = session.selectPort(device);
    }
    std::printf("%s\n", opened ? "opened" : qPrintable(refusal));
    std::fflush(stdout);
    if (opened && args.at(2) == QLatin1String("hold")) {
        char c;
        while (std::fread(&c, 1, 1, stdin) == 1) {
        }
    }
    return opened ? 0 : 1;
}
