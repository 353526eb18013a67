// SerialPort against a pty pair: time-outs, exclusive open, line state, event wait and
// the comm thread's start and stop.
#include "CommThread.h"
#include "ModemLineWatch.h"
#include "PtyPair.h"
#include "ReaderHandOver.h"
#include "SerialPort.h"

#include <QElapsedTimer>
#include <QtTest>

#include <cerrno>
#include <future>
#include <termios.h>

namespace
{

// Tolerance for "returned at once" and for waits that must not overrun.
constexpr int kPromptMs = 200;
constexpr int kLateMs = 150;

struct IdleContext {
    SerialPort* port;
    std::atomic<int> bytesRead{0};
};

uint32_t idleThread(void* argument)
{
    // Sleeps in the event wait like the comm thread, and only counts what it reads.
    auto* context = static_cast<IdleContext*>(argument);
    SerialPort* port = context->port;
    port->SetEventMask(kEvRxChar);
    if (!port->ArmEventWait())
        return 0xFFFFFFFFu;
    uint32_t mask;
    do {
        mask = port->GetEventResult(true);
        if (mask & kEvRxChar) {
            char buffer[64];
            context->bytesRead += port->Read(buffer, sizeof buffer, false);
            port->ArmEventWait();
        }
    } while (mask != 0);
    return 7;
}

// A port whose input lines a test sets: a pty carries none.
struct ModemLinePort : SerialPort {
    uint32_t lines = 0;
    bool hasLines = true;
    bool GetModemStatus(uint32_t* out) override
    {
        *out = lines;
        return hasLines;
    }
};

} // namespace

class SerialPortTest : public QObject
{
    Q_OBJECT

private slots:
    void hangUpEndsTheThreadWithOneReport();
    void trickleIsGatheredFloodIsNot();
    void deadLineIsSeenByReadAndWrite_data();
    void deadLineIsSeenByReadAndWrite();
    void openMissingDevice();
    void openNotASerialDevice();
    void errorTexts_data();
    void errorTexts();
    void exclusiveOpen();
    void openDefaults();
    void readNotExactTakesOnlyWhatIsQueued();
    void readExactDefaultTimeoutsReturnsAtOnce();
    void readTimeouts_data();
    void readTimeouts();
    void shortWriteIsReportedAsTimeout_data();
    void shortWriteIsReportedAsTimeout();
    void clearErrorsReportsQueueCount();
    void flowControl_data();
    void flowControl();
    void lineFormat_data();
    void lineFormat();
    void baudRates_data();
    void baudRates();
    void stateAndTimeoutsRestoreWhole();
    void breakSignal();
    void modemLinesOfAPtyAreUnknown();
    void modemLineWatchReportsEachChange();
    void eventWaitSleepsUntilMaskChanges();
    void startReaderTwiceIsRefusedAsAlready();
    void stopRightAfterStartNeverHangs();
    void handOverQueuesWhileTheUiIsBusy();
    void fullHandOverQueueMakesTheReaderWait_data();
    void fullHandOverQueueMakesTheReaderWait();
    void readerKeepsReadingWhileTheUiIsBusy();
    void nestedEventLoopInADeliveryLosesNoEvent();
};

void SerialPortTest::openMissingDevice()
{
    auto* port = new SerialPort(QStringLiteral("/dev/brennock-no-such-tty"));
    QVERIFY(!port->isOpen());
    QCOMPARE(port->lastError(), uint32_t(ENOENT));
    char buffer[4];
    QCOMPARE(port->Read(buffer, 4, true), 0);
    QCOMPARE(port->Write("ab", 2), 0);
    QCOMPARE(port->StopReader(), 0u);
    QVERIFY(!port->StartReader(idleThread, port));
    delete port; // safe on a port that never opened
}

void SerialPortTest::openNotASerialDevice()
{
    SerialPort port(QStringLiteral("/dev/null"));
    QVERIFY(!port.isOpen());
    QCOMPARE(port.lastError(), uint32_t(ENOTTY));
}

void SerialPortTest::errorTexts_data()
{
    QTest::addColumn<uint>("error");
    QTest::addColumn<QString>("advice");
    QTest::newRow("permission: join dialout")
        << uint(EACCES) << QStringLiteral("\"dialout\" group");
    QTest::newRow("busy") << uint(EBUSY) << QStringLiteral("another program is using the port");
    QTest::newRow("missing") << uint(ENOENT) << QStringLiteral("No such device");
    QTest::newRow("second reader") << uint(EALREADY) << QStringLiteral("already running");
    QTest::newRow("deadline") << uint(ETIMEDOUT) << QStringLiteral("Timed out");
    QTest::newRow("other errno") << uint(EINVAL) << QStringLiteral("Invalid argument");
}

void SerialPortTest::errorTexts()
{
    QFETCH(uint, error);
    QFETCH(QString, advice);
    QVERIFY2(SerialPort::errorText(error).contains(advice),
             qPrintable(SerialPort::errorText(error)));
    QVERIFY(SerialPort::errorText(0).isEmpty());
}

void SerialPortTest::exclusiveOpen()
{
    PtyPair pty;
    QVERIFY2(pty.ok(), qPrintable(pty.error()));
    {
        SerialPort first(pty.slavePath());
        QVERIFY(first.isOpen());
        QCOMPARE(first.lastError(), 0u);

        SerialPort second(pty.slavePath());
        QVERIFY(!second.isOpen());
        QCOMPARE(second.lastError(), uint32_t(EBUSY));
        // The holder is named, here this very process.
        const QString pid = QStringLiteral("(PID %1)").arg(QCoreApplication::applicationPid());
        QVERIFY2(second.lastErrorText().contains(pid), qPrintable(second.lastErrorText()));
        // The refused second open leaves the first working.
        QVERIFY(pty.write("ok"));
        QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                      CommStatus s;
                                      first.ClearErrors(&s);
                                      return s.cbInQue;
                                  }()),
                                  2u, 1000);
    }
    SerialPort again(pty.slavePath());
    QVERIFY2(again.isOpen() && again.lastError() == 0, qPrintable(again.lastErrorText()));
}

void SerialPortTest::openDefaults()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QCOMPARE(port.lastError(), 0u);
    CommState state;
    QVERIFY(port.GetState(&state));
    QCOMPARE(state.baudRate, 9600u);
    QCOMPARE(int(state.byteSize), 8);
    QCOMPARE(int(state.parity), int(kNoParity));
    QCOMPARE(int(state.stopBits), int(kOneStopBit));
    QVERIFY(state.fOutxCtsFlow);
    QVERIFY(state.fOutxDsrFlow);
    QCOMPARE(int(state.dtrControl), int(kControlHandshake));
    CommTimeouts t;
    QVERIFY(port.GetTimeouts(&t));
    QCOMPARE(t.readIntervalTimeout, kMaxDword);
    QCOMPARE(t.readTotalTimeoutMultiplier, 0u);
    QCOMPARE(t.readTotalTimeoutConstant, 0u);
    QCOMPARE(t.writeTotalTimeoutMultiplier, 0u);
    QCOMPARE(t.writeTotalTimeoutConstant, 1000u);

    struct termios tio {
    };
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(tio.c_lflag & (ICANON | ECHO | ISIG), tcflag_t(0)); // raw
    QCOMPARE(tio.c_oflag & OPOST, tcflag_t(0));
    QVERIFY(tio.c_cflag & CRTSCTS);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
}

void SerialPortTest::readNotExactTakesOnlyWhatIsQueued()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    // Time-outs that would make a real read wait for two seconds.
    QVERIFY(port.SetReadTimeouts(0, 0, 2000));
    char buffer[100];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(port.Read(buffer, 100, false), 0);
    QVERIFY2(clock.elapsed() < kPromptMs, "nothing queued: no read may wait");

    QVERIFY(pty.write("hello"));
    QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                  CommStatus s;
                                  port.ClearErrors(&s);
                                  return s.cbInQue;
                              }()),
                              5u, 1000);
    clock.restart();
    QCOMPARE(port.Read(buffer, 100, false), 5);
    QVERIFY(clock.elapsed() < kPromptMs);
    QCOMPARE(QByteArray(buffer, 5), QByteArray("hello"));
}

void SerialPortTest::readExactDefaultTimeoutsReturnsAtOnce()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    char buffer[10];
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(port.Read(buffer, 10, true), 0);
    QVERIFY(clock.elapsed() < kPromptMs);

    QVERIFY(pty.write("abc"));
    QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                  CommStatus s;
                                  port.ClearErrors(&s);
                                  return s.cbInQue;
                              }()),
                              3u, 1000);
    clock.restart();
    QCOMPARE(port.Read(buffer, 10, true), 3);
    QVERIFY(clock.elapsed() < kPromptMs);
    QVERIFY(port.lastIoTimedOut()); // fewer than asked for, by the time-out rule
    QCOMPARE(port.lastError(), uint32_t(ETIMEDOUT));
}

void SerialPortTest::readTimeouts_data()
{
    QTest::addColumn<uint>("interval");
    QTest::addColumn<uint>("multiplier");
    QTest::addColumn<uint>("constant");
    QTest::addColumn<int>("want");        // bytes asked for
    QTest::addColumn<QByteArray>("sent"); // what the far end sends...
    QTest::addColumn<int>("sendAfterMs"); // ...this long after the read started
    QTest::addColumn<int>("expectBytes");
    QTest::addColumn<int>("expectMs"); // when the read should return
    QTest::addColumn<bool>("timedOut");

    QTest::newRow("total constant, silence")
        << 0u << 0u << 200u << 10 << QByteArray() << 0 << 0 << 200 << true;
    QTest::newRow("total multiplier, silence")
        << 0u << 20u << 0u << 10 << QByteArray() << 0 << 0 << 200 << true;
    QTest::newRow("all bytes before the total")
        << 0u << 0u << 1000u << 4 << QByteArray("wxyz") << 50 << 4 << 50 << false;
    QTest::newRow("interval after a partial answer")
        << 100u << 0u << 0u << 10 << QByteArray("abc") << 30 << 3 << 130 << true;
    QTest::newRow("interval inside a longer total")
        << 80u << 0u << 1000u << 10 << QByteArray("ab") << 40 << 2 << 120 << true;
    QTest::newRow("interval does not start before the first byte")
        << 50u << 0u << 250u << 10 << QByteArray() << 0 << 0 << 250 << true;
    QTest::newRow("first byte only, arrives")
        << kMaxDword << kMaxDword << 400u << 10 << QByteArray("q") << 60 << 1 << 60 << false;
    QTest::newRow("first byte only, silence")
        << kMaxDword << kMaxDword << 150u << 10 << QByteArray() << 0 << 0 << 150 << true;
}

void SerialPortTest::readTimeouts()
{
    QFETCH(uint, interval);
    QFETCH(uint, multiplier);
    QFETCH(uint, constant);
    QFETCH(int, want);
    QFETCH(QByteArray, sent);
    QFETCH(int, sendAfterMs);
    QFETCH(int, expectBytes);
    QFETCH(int, expectMs);
    QFETCH(bool, timedOut);

    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetReadTimeouts(interval, multiplier, constant));
    QByteArray buffer(want, '\0');
    // The clock starts before the far end counts its delay: starting a thread can take
    // a while (much longer under ThreadSanitizer).
    QElapsedTimer clock;
    clock.start();
    std::future<void> farEnd;
    if (!sent.isEmpty()) {
        farEnd = std::async(std::launch::async, [&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(sendAfterMs));
            pty.write(sent);
        });
    }
    const int got = port.Read(buffer.data(), want, true);
    const qint64 elapsed = clock.elapsed();
    if (farEnd.valid())
        farEnd.wait();
    QCOMPARE(got, expectBytes);
    QCOMPARE(buffer.left(got), sent.left(got));
    QVERIFY2(elapsed >= expectMs - 5 && elapsed <= expectMs + kLateMs,
             qPrintable(QStringLiteral("returned after %1 ms").arg(elapsed)));
    QCOMPARE(port.lastIoTimedOut(), timedOut);
}

void SerialPortTest::shortWriteIsReportedAsTimeout_data()
{
    QTest::addColumn<uint>("multiplier");
    QTest::addColumn<uint>("constant");
    QTest::addColumn<int>("bytes");
    QTest::addColumn<int>("expectMs");
    QTest::newRow("constant") << 0u << 100u << (1 << 20) << 100;
    // The far end's buffer is full before the write: only the multiplier can end it.
    QTest::newRow("multiplier, full far end") << 3u << 0u << 100 << 300;
}

void SerialPortTest::shortWriteIsReportedAsTimeout()
{
    QFETCH(uint, multiplier);
    QFETCH(uint, constant);
    QFETCH(int, bytes);
    QFETCH(int, expectMs);
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetWriteTimeouts(multiplier, constant));
    // Nobody reads the far end: the pty's buffer fills and the write runs out of time.
    if (constant == 0) {
        // Full until it stays full: the pty moves bytes on to the far end a while later.
        const char chunk[256] = {};
        int taken = 1;
        for (int round = 0; taken > 0 && round < 50; ++round) {
            taken = 0;
            while (port.WriteSome(chunk, sizeof chunk) > 0)
                ++taken;
            QTest::qWait(20);
        }
        QCOMPARE(taken, 0);
    }
    const QByteArray big(bytes, 'z');
    QElapsedTimer clock;
    clock.start();
    auto write =
        std::async(std::launch::async, [&] { return port.Write(big.constData(), big.size()); });
    QVERIFY2(write.wait_for(std::chrono::milliseconds(expectMs + 2000)) ==
                 std::future_status::ready,
             "the write never ran out of time");
    QVERIFY(write.get() < big.size());
    const qint64 elapsed = clock.elapsed();
    QVERIFY2(elapsed >= expectMs - 5 && elapsed <= expectMs + kLateMs,
             qPrintable(QStringLiteral("returned after %1 ms").arg(elapsed)));
    QVERIFY(port.lastIoTimedOut());
    QCOMPARE(port.lastError(), uint32_t(ETIMEDOUT));
}

void SerialPortTest::clearErrorsReportsQueueCount()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    CommStatus status;
    uint32_t errors = 0xFFFF;
    QVERIFY(port.ClearErrors(&status, &errors));
    QCOMPARE(status.cbInQue, 0u);
    QCOMPARE(errors, 0u);
    QVERIFY(pty.write("1234567"));
    QTRY_COMPARE_WITH_TIMEOUT(([&] {
                                  port.ClearErrors(&status);
                                  return status.cbInQue;
                              }()),
                              7u, 1000);
}

void SerialPortTest::flowControl_data()
{
    QTest::addColumn<uint>("flags");
    QTest::addColumn<bool>("crtscts");
    QTest::addColumn<bool>("xonxoff");
    QTest::addColumn<bool>("dsrFlow");

    QTest::newRow("16 software") << 16u << false << true << false;
    QTest::newRow("0 none") << 0u << false << false << false;
    QTest::newRow("3 hardware") << 3u << true << false << true;
    QTest::newRow("2 cts/rts only") << 2u << true << false << false;
}

void SerialPortTest::flowControl()
{
    QFETCH(uint, flags);
    QFETCH(bool, crtscts);
    QFETCH(bool, xonxoff);
    QFETCH(bool, dsrFlow);

    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetFlowControl(flags, 100, 100, 0x11, 0x13));

    struct termios tio {
    };
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(bool(tio.c_cflag & CRTSCTS), crtscts);
    QCOMPARE(bool(tio.c_iflag & IXON), xonxoff);
    QCOMPARE(bool(tio.c_iflag & IXOFF), xonxoff);
    QCOMPARE(bool(tio.c_iflag & IXANY), false);
    QCOMPARE(int(tio.c_cc[VSTART]), 0x11);
    QCOMPARE(int(tio.c_cc[VSTOP]), 0x13);

    CommState state;
    QVERIFY(port.GetState(&state));
    QCOMPARE(state.fOutxCtsFlow, crtscts);
    QCOMPARE(int(state.rtsControl), int(crtscts ? kControlHandshake : kControlEnable));
    QCOMPARE(state.fOutxDsrFlow, dsrFlow);
    QCOMPARE(int(state.dtrControl), int(dsrFlow ? kControlHandshake : kControlEnable));
    QCOMPARE(state.fOutX, xonxoff);
    QCOMPARE(state.fInX, xonxoff);
    QVERIFY(state.fBinary);
    QVERIFY(!state.fNull);
    QCOMPARE(int(state.xonLim), 100);
    QCOMPARE(int(state.xoffLim), 100);
}

void SerialPortTest::lineFormat_data()
{
    QTest::addColumn<int>("parity");
    QTest::addColumn<int>("bits");
    QTest::addColumn<int>("stop");
    QTest::addColumn<uint>("expectCflag"); // of PARENB | PARODD | CSTOPB | CSIZE

    QTest::newRow("8N1") << 0 << 8 << 0 << uint(CS8);
    QTest::newRow("7E2") << 2 << 7 << 2 << uint(CS7 | PARENB | CSTOPB);
    QTest::newRow("8O1") << 1 << 8 << 0 << uint(CS8 | PARENB | PARODD);
}

void SerialPortTest::lineFormat()
{
    QFETCH(int, parity);
    QFETCH(int, bits);
    QFETCH(int, stop);
    QFETCH(uint, expectCflag);

    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetLineFormat(uint8_t(parity), uint8_t(bits), uint8_t(stop)));
    const uint mask = PARENB | PARODD | CSTOPB | CSIZE;
    QCOMPARE(uint(port.requestedLineFlags().cflag & mask), expectCflag);
    // A pty keeps the odd and stop bits; it forces CS8 and drops PARENB.
    struct termios tio {
    };
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(uint(tio.c_cflag & (PARODD | CSTOPB)), expectCflag & uint(PARODD | CSTOPB));
    CommState state;
    QVERIFY(port.GetState(&state));
    QVERIFY(state.fParity); // set whatever the parity
    QCOMPARE(int(state.stopBits), stop);

    QVERIFY(!port.SetLineFormat(0, 9, 0)); // no such byte size
    QCOMPARE(port.lastError(), uint32_t(EINVAL));
}

void SerialPortTest::baudRates_data()
{
    QTest::addColumn<uint>("rate");
    QTest::newRow("115200 standard") << 115200u;
    QTest::newRow("1200 standard") << 1200u;
    QTest::newRow("250000 through termios2") << 250000u;
    QTest::newRow("31250 through termios2") << 31250u;
}

void SerialPortTest::baudRates()
{
    QFETCH(uint, rate);
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY2(port.SetBaudRate(rate), qPrintable(port.lastErrorText()));
    CommState state;
    QVERIFY(port.GetState(&state));
    QCOMPARE(state.baudRate, rate);
    QVERIFY(!port.SetBaudRate(0)); // would hang up the line
    QVERIFY(port.GetState(&state));
    QCOMPARE(state.baudRate, rate);
}

void SerialPortTest::stateAndTimeoutsRestoreWhole()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    CommState saved;
    CommTimeouts savedTimeouts;
    QVERIFY(port.GetState(&saved));
    QVERIFY(port.GetTimeouts(&savedTimeouts));

    QVERIFY(port.SetBaudRate(115200));
    QVERIFY(port.SetLineFormat(2, 7, 2));
    QVERIFY(port.SetFlowControl(16, 10, 20, 0x01, 0x02));
    QVERIFY(port.SetReadTimeouts(5, 6, 7));
    QVERIFY(port.SetWriteTimeouts(8, 9));

    QVERIFY(port.SetState(saved));
    QVERIFY(port.SetTimeouts(savedTimeouts));
    CommState now;
    CommTimeouts nowTimeouts;
    QVERIFY(port.GetState(&now));
    QVERIFY(port.GetTimeouts(&nowTimeouts));
    QCOMPARE(QByteArray(reinterpret_cast<const char*>(&now), sizeof now),
             QByteArray(reinterpret_cast<const char*>(&saved), sizeof saved));
    QCOMPARE(nowTimeouts.readIntervalTimeout, savedTimeouts.readIntervalTimeout);
    QCOMPARE(nowTimeouts.readTotalTimeoutConstant, savedTimeouts.readTotalTimeoutConstant);
    QCOMPARE(nowTimeouts.writeTotalTimeoutConstant, savedTimeouts.writeTotalTimeoutConstant);
    struct termios tio {
    };
    QCOMPARE(::tcgetattr(pty.slave(), &tio), 0);
    QCOMPARE(::cfgetospeed(&tio), speed_t(B9600));
    QCOMPARE(uint(tio.c_cflag & (PARENB | CSIZE | CRTSCTS)), uint(CS8 | CRTSCTS));
}

void SerialPortTest::breakSignal()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY2(port.SetBreak(), qPrintable(port.lastErrorText()));
    QVERIFY2(port.ClearBreak(), qPrintable(port.lastErrorText()));
    SerialPort closed(QStringLiteral("/dev/brennock-no-such-tty"));
    QVERIFY(!closed.SetBreak());
}

void SerialPortTest::modemLinesOfAPtyAreUnknown()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    uint32_t lines = 0;
    QVERIFY(!port.GetModemStatus(&lines));
    QVERIFY(!port.SetDtr(false));
    QVERIFY(!port.SetRts(true));
    QCOMPARE(port.lastError(), 0u); // asked beside the comm thread: no failure of the port
    QVERIFY(port.SetBreak());       // the port itself still works
}

void SerialPortTest::modemLineWatchReportsEachChange()
{
    ModemLinePort stand;
    SerialPort* current = &stand;
    QList<ModemLines> seen;
    ModemLineWatch watch([&] { return current; }, [&](const ModemLines& l) { seen << l; });
    watch.setInterval(5);
    watch.start();
    const auto expectSeen = [&](bool known, uint32_t lines) {
        QTRY_VERIFY_WITH_TIMEOUT(!seen.isEmpty(), 2000);
        QTest::qWait(30); // no second report of the same state
        QCOMPARE(seen.size(), 1);
        QCOMPARE(seen[0].known, known);
        QCOMPARE(seen[0].lines, lines);
        seen.clear();
    };
    stand.lines = kMsCtsOn | kMsRlsdOn;
    expectSeen(true, kMsCtsOn | kMsRlsdOn);
    stand.lines = kMsCtsOn | kMsDsrOn | kMsRingOn;
    expectSeen(true, kMsCtsOn | kMsDsrOn | kMsRingOn);
    stand.hasLines = false;
    expectSeen(false, 0);
    stand.hasLines = true;
    current = nullptr; // disconnected
    QTest::qWait(30);
    QVERIFY(seen.isEmpty());
}

void SerialPortTest::eventWaitSleepsUntilMaskChanges()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetEventMask(kEvRxChar));
    QVERIFY(port.ArmEventWait());
    QCOMPARE(port.GetEventResult(false), 0u); // nothing yet
    QCOMPARE(port.lastError(), uint32_t(EAGAIN));

    auto waiter = std::async(std::launch::async, [&] { return port.GetEventResult(true); });
    QVERIFY(waiter.wait_for(std::chrono::milliseconds(100)) == std::future_status::timeout);
    QVERIFY(port.SetEventMask(0));
    QVERIFY(waiter.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready);
    QCOMPARE(waiter.get(), 0u);

    QVERIFY(port.SetEventMask(kEvRxChar));
    QVERIFY(port.ArmEventWait());
    auto rx = std::async(std::launch::async, [&] { return port.GetEventResult(true); });
    QVERIFY(pty.write("!"));
    QVERIFY(rx.wait_for(std::chrono::milliseconds(500)) == std::future_status::ready);
    QCOMPARE(rx.get(), kEvRxChar);
}

void SerialPortTest::startReaderTwiceIsRefusedAsAlready()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    IdleContext context{&port};
    QCOMPARE(port.StopReader(), 0u); // none running
    QVERIFY(port.StartReader(idleThread, &context));
    QVERIFY(!port.StartReader(idleThread, &context));
    QCOMPARE(port.lastError(), uint32_t(EALREADY));
    QVERIFY(port.readerRunning());
    // The first thread still serves the line.
    QVERIFY(pty.write("drain me"));
    QTRY_COMPARE_WITH_TIMEOUT(context.bytesRead.load(), 8, 2000);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(port.StopReader(), 7u);
    QVERIFY(clock.elapsed() < kPromptMs);
    QVERIFY(!port.readerRunning());
    QVERIFY(port.StartReader(idleThread, &context));
    QCOMPARE(port.StopReader(), 7u);
}

void SerialPortTest::stopRightAfterStartNeverHangs()
{
    // The comm thread sets its own mask when it starts; a stop that comes first must
    // still end it.
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    ReaderHandOver handOver([](const char*, int) {});
    CommThreadContext context{&port, &handOver};
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < 200; ++i) {
        QVERIFY(port.StartReader(CommThreadProc, &context));
        QCOMPARE(port.StopReader([&] { handOver.service(); }), 0u);
    }
    QVERIFY(clock.elapsed() < 5000);
}

void SerialPortTest::hangUpEndsTheThreadWithOneReport()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QByteArray received;
    int lost = 0;
    ReaderHandOver handOver([&](const char* bytes, int count) { received.append(bytes, count); },
                            [&] { ++lost; });
    CommThreadContext context{&port, &handOver};
    QVERIFY(port.StartReader(CommThreadProc, &context));
    QVERIFY(pty.write("before"));
    QTRY_COMPARE(received, QByteArray("before"));
    QVERIFY(!port.lineGone());

    pty.closeMaster();
    QTRY_COMPARE(lost, 1);
    QVERIFY(port.lineGone());
    QTest::qWait(100); // no second report, no spinning thread
    QCOMPARE(lost, 1);
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(port.StopReader([&] { handOver.service(); }), 0u);
    QVERIFY(clock.elapsed() < kPromptMs);
    QCOMPARE(received, QByteArray("before"));
}

// A trickle costs the UI a wake-up per read: with a gathering time, the reads that
// follow a short one wait for it, while a flood (full reads) and the first byte after a
// quiet spell are read at once.
void SerialPortTest::trickleIsGatheredFloodIsNot()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QByteArray received;
    int deliveries = 0;
    ReaderHandOver handOver([&](const char* bytes, int count) {
        received.append(bytes, count);
        ++deliveries;
    });
    const int gatherMs = 100;
    handOver.setGather(gatherMs, kCommReadChunk);
    CommThreadContext context{&port, &handOver};
    QVERIFY(port.StartReader(CommThreadProc, &context));

    QTest::qWait(2 * gatherMs);
    QVERIFY(pty.write("a"));
    QTRY_COMPARE(received, QByteArray("a"));
    QCOMPARE(deliveries, 1);
    QElapsedTimer trickle;
    trickle.start();
    for (int i = 0; i < 20; ++i) { // 20 bytes over about 100 ms
        QVERIFY(pty.write("b"));
        QTest::qWait(5);
    }
    const qint64 spent = trickle.elapsed();
    QTRY_COMPARE(received.size(), 21);
    QVERIFY2(deliveries <= 3 + spent / gatherMs,
             qPrintable(QStringLiteral("%1 in %2 ms").arg(deliveries).arg(spent)));

    // 64 full reads: waiting before each, or whenever the reader catches up with the
    // writer, would take seconds.
    QTest::qWait(2 * gatherMs);
    const QByteArray flood(64 * kCommReadChunk, 'f');
    QElapsedTimer clock;
    clock.start();
    QVERIFY(pty.write(flood, 5000));
    QTRY_COMPARE_WITH_TIMEOUT(received.size(), 21 + flood.size(), 5000);
    QVERIFY2(clock.elapsed() < 3000, qPrintable(QString::number(clock.elapsed())));
    QCOMPARE(port.StopReader([&] { handOver.service(); }), 0u);
}

void SerialPortTest::deadLineIsSeenByReadAndWrite_data()
{
    QTest::addColumn<bool>("byWrite");
    QTest::newRow("write") << true;
    QTest::newRow("read") << false;
}

void SerialPortTest::deadLineIsSeenByReadAndWrite()
{
    QFETCH(bool, byWrite);
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.SetReadTimeouts(0, 0, 500));
    QVERIFY(!port.lineGone());
    pty.closeMaster();
    QElapsedTimer clock;
    clock.start();
    char buffer[4] = {'a', 'b', 'c', 'd'};
    if (byWrite)
        QCOMPARE(port.Write(buffer, 4), 0);
    else
        QCOMPARE(port.Read(buffer, 4, true), 0);
    QVERIFY(clock.elapsed() < kPromptMs); // not the time-out: the line is gone
    QVERIFY(port.lineGone());
    QVERIFY(SerialPort::isDeviceGoneError(port.lastError()));
    QVERIFY(!port.lastIoTimedOut());
}

namespace
{

// The deliveries a receiver saw, with their boundaries.
struct Deliveries {
    QList<QByteArray> seen;
    void operator()(const char* bytes, int count) { seen.append(QByteArray(bytes, count)); }
};

QByteArray delivery(int i)
{
    return QByteArray(1 + (i * 37) % 1024, char('a' + i % 26));
}

} // namespace

// The comm thread does not wait for the UI thread per read: its reads gather while the
// UI is busy, and one event delivers them all, each with its own boundaries.
void SerialPortTest::handOverQueuesWhileTheUiIsBusy()
{
    Deliveries got;
    ReaderHandOver handOver([&](const char* b, int n) { got(b, n); });
    const int count = 100;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (int i = 0; i < count; ++i) {
            const QByteArray bytes = delivery(i);
            handOver.handOver(bytes.constData(), bytes.size());
        }
        done = true;
    });
    // No event loop runs here.
    QElapsedTimer clock;
    clock.start();
    while (!done && clock.elapsed() < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const bool finishedAlone = done;
    if (!finishedAlone)
        handOver.service(); // let the old one-at-a-time reader go before joining
    while (!done)
        handOver.service();
    reader.join();
    QVERIFY(finishedAlone);
    QCOMPARE(handOver.queued(), count);
    QVERIFY(got.seen.isEmpty());
    QCoreApplication::sendPostedEvents(&handOver, 0); // one posted event
    QCOMPARE(got.seen.size(), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(got.seen.at(i), delivery(i));
    QCOMPARE(handOver.queued(), 0);
}

// A UI that falls far behind stops the reader rather than letting memory grow, and
// loses nothing; dropping the queue (the port went away) lets it go too.
void SerialPortTest::fullHandOverQueueMakesTheReaderWait_data()
{
    QTest::addColumn<bool>("discard");
    QTest::newRow("serviced") << false;
    QTest::newRow("discarded") << true;
}

void SerialPortTest::fullHandOverQueueMakesTheReaderWait()
{
    QFETCH(bool, discard);
    Deliveries got;
    ReaderHandOver handOver([&](const char* b, int n) { got(b, n); });
    const int count = ReaderHandOver::kMaxQueued + 10;
    std::atomic<int> handed{0};
    std::thread reader([&] {
        for (int i = 0; i < count; ++i) {
            const QByteArray bytes = delivery(i);
            handOver.handOver(bytes.constData(), bytes.size());
            ++handed;
        }
    });
    QTest::qSleep(300);
    QCOMPARE(handed.load(), ReaderHandOver::kMaxQueued);
    QCOMPARE(handOver.queued(), ReaderHandOver::kMaxQueued);
    if (discard)
        handOver.discard();
    else
        handOver.service();
    QElapsedTimer clock;
    clock.start();
    while (handed.load() < count && clock.elapsed() < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    QCOMPARE(handed.load(), count);
    reader.join();
    handOver.service();
    if (discard) {
        QCOMPARE(got.seen.size(), 10);
        QCOMPARE(got.seen.first(), delivery(ReaderHandOver::kMaxQueued));
        return;
    }
    QCOMPARE(got.seen.size(), count);
    for (int i = 0; i < count; ++i)
        QCOMPARE(got.seen.at(i), delivery(i));
}

// Against a real line: while the UI thread is busy, the comm thread goes on reading
// (the far end's writes do not stall), every read at most 1,024 bytes.
void SerialPortTest::readerKeepsReadingWhileTheUiIsBusy()
{
    PtyPair pty;
    QVERIFY(pty.ok());
    SerialPort port(pty.slavePath());
    QVERIFY(port.isOpen());
    Deliveries got;
    ReaderHandOver handOver([&](const char* b, int n) { got(b, n); });
    CommThreadContext context{&port, &handOver};
    QVERIFY(port.StartReader(CommThreadProc, &context));
    QByteArray sent;
    for (int i = 0; i < 40; ++i) {
        const QByteArray chunk(2048, char('A' + i % 26));
        QVERIFY(pty.write(chunk));
        sent += chunk;
        QTest::qSleep(5); // the UI thread is busy: no event loop
    }
    QElapsedTimer clock;
    clock.start();
    while (handOver.queued() * 1024 < sent.size() / 2 && clock.elapsed() < 3000)
        QTest::qSleep(5);
    QVERIFY2(handOver.queued() >= 2, qPrintable(QString::number(handOver.queued())));
    const auto total = [&] {
        int n = 0;
        for (const QByteArray& bytes : qAsConst(got.seen))
            n += bytes.size();
        return n;
    };
    clock.restart();
    while (total() < sent.size() && clock.elapsed() < 5000) {
        handOver.service();
        QTest::qSleep(2);
    }
    port.StopReader([&] { handOver.service(); });
    handOver.service();
    QByteArray joined;
    for (const QByteArray& bytes : qAsConst(got.seen)) {
        QVERIFY(bytes.size() >= 1 && bytes.size() <= 1024);
        joined += bytes;
    }
    QCOMPARE(joined, sent);
}

// A delivery that runs an event loop of its own (a message box) takes the hand-over's
// event there: what the reader queues afterwards must still get delivered.
void SerialPortTest::nestedEventLoopInADeliveryLosesNoEvent()
{
    QList<QByteArray> seen;
    std::atomic<int> step{0};
    ReaderHandOver* self = nullptr;
    ReaderHandOver handOver([&](const char* b, int n) {
        seen.append(QByteArray(b, n));
        if (seen.size() == 1) {
            step = 1; // the reader now queues "second"
            QElapsedTimer clock;
            clock.start();
            while (clock.elapsed() < 300)
                QCoreApplication::processEvents(); // the nested loop takes its event
        }
    });
    self = &handOver;
    std::thread reader([&] {
        self->handOver("first", 5);
        while (step.load() == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        self->handOver("second", 6);
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        self->handOver("third", 5);
        step = 2;
    });
    QTRY_VERIFY_WITH_TIMEOUT(step.load() == 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(seen.size(), 3, 2000);
    reader.join();
    QCOMPARE(seen, (QList<QByteArray>{"first", "second", "third"}));
}

QTEST_GUILESS_MAIN(SerialPortTest)
#include "tst_serialport.moc"
