// SerialPort on a port server: a real ser2net in front of a pty, and servers that do
// not behave (nobody listening, a server that accepts and never negotiates).
#include "PtyPair.h"
#include "RemoteLine.h"
#include "Ser2netServer.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QTcpServer>
#include <QtTest>

#include <gensio/gensio.h>
#include <gensio/gensio_control.h>
#include <gensio/gensio_unix.h>
#include <gensio/sergensio.h>

#include <atomic>
#include <cerrno>
#include <thread>

namespace
{

// An RFC 2217 server of libgensio's own that answers every line-control request and
// counts the BREAK requests: a pty behind ser2net carries no BREAK, so its arrival is
// checked where the request ends, at the server.
class AnsweringServer
{
public:
    AnsweringServer()
    {
        if (gensio_unix_funcs_alloc(nullptr, 0, &os) ||
            str_to_gensio_accepter("telnet(rfc2217),tcp,127.0.0.1,0", os, &onAccept, this,
                                   &accepter) ||
            gensio_acc_startup(accepter))
            return;
        char text[16] = {};
        gensiods size = sizeof text;
        if (gensio_acc_control(accepter, GENSIO_CONTROL_DEPTH_FIRST, GENSIO_CONTROL_GET,
                               GENSIO_ACC_CONTROL_LPORT, text, &size) == 0)
            port = QString::fromLatin1(text).toUShort();
        service = std::thread([this] {
            while (!stopping) {
                gensio_time slice = {0, 20 * 1000 * 1000};
                gensio_os_funcs_service(os, &slice);
            }
        });
    }
    ~AnsweringServer()
    {
        stopping = true;
        if (service.joinable())
            service.join();
        if (connection)
            gensio_free(connection);
        if (accepter)
            gensio_acc_free(accepter);
        if (os)
            gensio_os_funcs_free(os);
    }
    QString url() const { return QStringLiteral("rfc2217://127.0.0.1:%1").arg(port); }

    std::atomic<int> breaksOn{0};
    std::atomic<int> breaksOff{0};

private:
    static int onAccept(gensio_accepter*, void* self, int event, void* data)
    {
        if (event != GENSIO_ACC_EVENT_NEW_CONNECTION)
            return GE_NOTSUP;
        auto* server = static_cast<AnsweringServer*>(self);
        server->connection = static_cast<gensio*>(data);
        gensio_set_callback(server->connection, &onEvent, server);
        gensio_set_read_callback_enable(server->connection, true);
        return 0;
    }
    static int onEvent(gensio* io, void* self, int event, int, unsigned char* buf, gensiods* buflen,
                       const char* const*)
    {
        auto* server = static_cast<AnsweringServer*>(self);
        sergensio* sio = gensio_to_sergensio(io);
        const unsigned int value = buf ? *reinterpret_cast<unsigned int*>(buf) : 0;
        switch (event) {
        case GENSIO_EVENT_READ:
            return 0; // buflen stays: every byte taken
        case GENSIO_EVENT_SER_BAUD:
            return sergensio_baud(sio, value ? value : 9600, nullptr, nullptr);
        case GENSIO_EVENT_SER_DATASIZE:
            return sergensio_datasize(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_PARITY:
            return sergensio_parity(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_STOPBITS:
            return sergensio_stopbits(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_FLOWCONTROL:
            return sergensio_flowcontrol(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_DTR:
            return sergensio_dtr(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_RTS:
            return sergensio_rts(sio, value, nullptr, nullptr);
        case GENSIO_EVENT_SER_SBREAK:
            (value == SERGENSIO_BREAK_ON ? server->breaksOn : server->breaksOff)++;
            return sergensio_sbreak(sio, value, nullptr, nullptr);
        default:
            (void)buflen;
            return GE_NOTSUP;
        }
    }

    gensio_os_funcs* os = nullptr;
    gensio_accepter* accepter = nullptr;
    gensio* connection = nullptr;
    quint16 port = 0;
    std::atomic<bool> stopping{false};
    std::thread service;
};

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
    void breakArrivesAtTheServer();
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

void RemotePortTest::breakArrivesAtTheServer()
{
    AnsweringServer server;
    SerialPort port(server.url());
    QCOMPARE(port.lastError(), 0u);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(port.SetBreak());
    QVERIFY(port.ClearBreak());
    QCOMPARE(server.breaksOn.load(), 1);
    QCOMPARE(server.breaksOff.load(), 1);
    // Answered, so neither request waited its time out.
    QVERIFY2(clock.elapsed() < kTestAnswerWait.count(),
             qPrintable(QStringLiteral("BREAK took %1 ms").arg(clock.elapsed())));
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
    QVERIFY2(port.lastErrorText().startsWith(
                 QStringLiteral("Nothing answers at 127.0.0.1:%1").arg(unused)),
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
