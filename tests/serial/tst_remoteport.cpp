// SerialPort on a port server: a real ser2net in front of a pty, and servers that do
// not behave (nobody listening, a server that accepts and never negotiates).
#include "PtyPair.h"
#include "RemoteLine.h"
#include "SerialPort.h"
#include "Ser2netServer.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <cerrno>

namespace
{

// Long enough that an answered request is told apart from one that waited it out.
constexpr std::chrono::milliseconds kTestAnswerWait{1500};
constexpr std::chrono::milliseconds kTestConnectLimit{800};

} // namespace

class RemotePortTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { RemoteLine::setWaitsForTest(kTestConnectLimit, kTestAnswerWait); }
    void cleanup() { RemoteLine::setWaitsForTest(kRemoteConnectLimit, kLineControlAnswerWait); }
    void bytesBothWaysAndBreakGoesOn();
    void nobodyListens();
    void serverThatNeverNegotiates();
    void malformedAddress();
};

void RemotePortTest::bytesBothWaysAndBreakGoesOn()
{
    if (Ser2netServer::program().isEmpty())
        QSKIP("ser2net is not installed");
    PtyPair pty;
    QVERIFY(pty.ok());
    Ser2netServer server;
    QString error;
    QVERIFY2(server.start(pty.slavePath(), &error), qPrintable(error));
    // ser2net in front of a pty leaves DTR unanswered: the open waits it out and goes on.
    SerialPort port(server.url());
    QVERIFY(port.isOpen());
    QCOMPARE(port.lastError(), 0u);
    QVERIFY(port.SetBaudRate(115200));
    QVERIFY(port.SetReadTimeouts(0, 0, 2000));

    QCOMPARE(port.Write("out", 3), 3);
    QCOMPARE(pty.read(3, 2000), QByteArray("out"));
    QVERIFY(pty.write("in"));
    char buffer[2];
    QCOMPARE(port.Read(buffer, 2, true), 2);
    QCOMPARE(QByteArray(buffer, 2), QByteArray("in"));

    // ser2net in front of a pty does not confirm BREAK either (a pty carries none): each
    // request waits out its time and the session goes on.
    QElapsedTimer clock;
    clock.start();
    QVERIFY(port.SetBreak());
    QVERIFY(port.ClearBreak());
    QVERIFY2(clock.elapsed() < 2 * kTestAnswerWait.count() + 500,
             qPrintable(QStringLiteral("BREAK took %1 ms").arg(clock.elapsed())));
    QCOMPARE(port.Write("after", 5), 5);
    QCOMPARE(pty.read(5, 2000), QByteArray("after"));
}

void RemotePortTest::nobodyListens()
{
    quint16 unused = 0;
    {
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
        unused = probe.serverPort();
    }
    const QString url = QStringLiteral("rfc2217://127.0.0.1:%1").arg(unused);
    SerialPort port(url);
    QVERIFY(!port.isOpen() || port.lastError() != 0);
    QCOMPARE(port.lastError(), uint32_t(ECONNREFUSED));
    QVERIFY2(port.lastErrorText().startsWith(QStringLiteral("Nothing answers at 127.0.0.1:%1")
                                                 .arg(unused)),
             qPrintable(port.lastErrorText()));
}

void RemotePortTest::serverThatNeverNegotiates()
{
    QTcpServer silent; // accepts, then says nothing at all
    QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
    QElapsedTimer clock;
    clock.start();
    SerialPort port(QStringLiteral("rfc2217://127.0.0.1:%1").arg(silent.serverPort()));
    QCOMPARE(port.lastError(), uint32_t(EPROTO));
    QVERIFY2(port.lastErrorText().contains(QStringLiteral("does not answer as an RFC 2217")),
             qPrintable(port.lastErrorText()));
    QVERIFY2(clock.elapsed() < 3 * kTestConnectLimit.count(),
             qPrintable(QStringLiteral("gave up after %1 ms").arg(clock.elapsed())));
}

void RemotePortTest::malformedAddress()
{
    SerialPort port(QStringLiteral("rfc2217://rack3"));
    QCOMPARE(port.lastError(), uint32_t(EINVAL));
    QVERIFY(port.lastErrorText().contains(QStringLiteral("rfc2217://HOST:PORT")));
}

QTEST_GUILESS_MAIN(RemotePortTest)
#include "tst_remoteport.moc"
