// SerialPort: brennock's one open serial device, and the comm thread that reads it.
//
// The port is opened exclusively (the UUCP lock file and the advisory flock of
// PortLock, which every serial program honours, plus TIOCEXCL), put in raw mode and given
// the defaults 9600 8N1, hardware handshake, immediate reads and a 1000 ms write limit.
// What a kind of port does its own way (termios for a tty) sits behind LineBackend;
// this class keeps the time-outs, the event wait, the comm thread and the line time.
// Reads and writes run on a non-blocking descriptor and wait with poll() against the
// deadlines that the time-outs describe; the time-outs mean what the classic
// COMMTIMEOUTS record means (see CommTimeouts). A short write is a failure to every
// caller.
//
// The comm thread sleeps in ArmEventWait/GetEventResult: poll() on the device and on an
// eventfd. SetEventMask wakes a pending wait, which then completes with an empty mask;
// StopReader uses that to end the thread promptly even while the far end keeps sending.
// The thread queues received bytes for the document (ReaderHandOver) and waits only
// when that queue is full, so StopReader takes a pump callback that delivers the queue
// while it waits for the thread to end.
//
// Every operation returns non-zero for success. lastError() holds the errno of the
// most recent failed step (0 after success), EALREADY for a second StartReader, and
// ETIMEDOUT when a read or write stopped at its deadline, so that
// "timed out" stays apart from "broken" (lastIoTimedOut()).
//
// Linux has no DSR/DTR output handshake: flag bit 0 of SetFlowControl is kept in the
// device state but DTR stays asserted. XonLim/XoffLim and the queue sizes are kept for
// GetState but have no effect on Linux.
#pragma once

#include "ControlChars.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

constexpr uint32_t kMaxDword = 0xFFFFFFFFu; // MAXDWORD of the time-outs

// Event mask bits.
constexpr uint32_t kEvRxChar = 0x0001;

// Flow-control flag word of SetFlowControl.
constexpr uint32_t kFlowDsrDtr = 0x01;
constexpr uint32_t kFlowCtsRts = 0x02;
constexpr uint32_t kFlowXonXoff = 0x10;

// Line-format codes.
enum : uint8_t {
    kNoParity = 0,
    kOddParity = 1,
    kEvenParity = 2,
    kMarkParity = 3,
    kSpaceParity = 4
};
enum : uint8_t { kOneStopBit = 0, kOne5StopBits = 1, kTwoStopBits = 2 };

// DTR and RTS control modes.
enum : uint8_t {
    kControlDisable = 0,
    kControlEnable = 1,
    kControlHandshake = 2,
    kControlToggle = 3
};

// The input lines that GetModemStatus reports (the values of GetCommModemStatus).
constexpr uint32_t kMsCtsOn = 0x0010;
constexpr uint32_t kMsDsrOn = 0x0020;
constexpr uint32_t kMsRingOn = 0x0040;
constexpr uint32_t kMsRlsdOn = 0x0080; // DCD

// Line error flags that ClearErrors reports.
constexpr uint32_t kCeRxOver = 0x0001;  // input buffer overflow
constexpr uint32_t kCeOverrun = 0x0002; // hardware overrun
constexpr uint32_t kCeRxParity = 0x0004;
constexpr uint32_t kCeFrame = 0x0008;
constexpr uint32_t kCeBreak = 0x0010;

// The whole line state of the device, the way the instrument tools think of it (a DCB).
// SetState applies all of it; GetState gives back what was last applied (taken from
// the device when the port was opened).
struct CommState {
    uint32_t baudRate = 9600;
    uint8_t byteSize = 8; // 5 to 8
    uint8_t parity = kNoParity;
    uint8_t stopBits = kOneStopBit;
    bool fBinary = true;
    bool fParity = false; // check parity of received bytes
    bool fOutxCtsFlow = false;
    bool fOutxDsrFlow = false;           // kept, no effect on Linux
    uint8_t dtrControl = kControlEnable; // handshake is kept, DTR stays asserted
    uint8_t rtsControl = kControlEnable;
    bool fOutX = false; // XON/XOFF on output
    bool fInX = false;  // XON/XOFF on input
    bool fNull = false;
    uint16_t xonLim = 100;  // kept, no effect on Linux
    uint16_t xoffLim = 100; // kept, no effect on Linux
    char xonChar = ascii::kXon;
    char xoffChar = ascii::kXoff;
};

// Read and write time-outs in milliseconds, meaning what COMMTIMEOUTS means:
//  - read interval: the longest gap between two received bytes once the first came;
//    0 = not used. MAXDWORD with both read totals 0: return at once with what is
//    queued, possibly nothing. MAXDWORD with multiplier MAXDWORD and a constant
//    between 0 and MAXDWORD: return at once with what is queued, else wait up to the
//    constant for the first byte and return it.
//  - read total = multiplier * requested bytes + constant; both 0 = no total limit.
//  - write total = multiplier * bytes + constant; both 0 = no limit.
struct CommTimeouts {
    uint32_t readIntervalTimeout = kMaxDword;
    uint32_t readTotalTimeoutMultiplier = 0;
    uint32_t readTotalTimeoutConstant = 0;
    uint32_t writeTotalTimeoutMultiplier = 0;
    uint32_t writeTotalTimeoutConstant = 1000;
};

// Queue status that ClearErrors reports (a COMSTAT).
struct CommStatus {
    uint32_t cbInQue = 0;  // bytes received and not yet read
    uint32_t cbOutQue = 0; // bytes written and not yet sent
};

// The procedure of a comm thread; its result is the thread's exit code.
using CommThreadProcedure = uint32_t (*)(void* context);

class LineBackend;

class SerialPort
{
public:
    // Open: opens device (a path such as /dev/ttyUSB0) exclusively and applies the
    // defaults. The object always exists afterwards; it is usable only when isOpen()
    // and lastError() == 0.
    explicit SerialPort(const QString& device);
    // Close: stops the comm thread (pumping through the reader pump), purges and
    // closes the device.
    virtual ~SerialPort();

    SerialPort(const SerialPort&) = delete;
    SerialPort& operator=(const SerialPort&) = delete;

    bool isOpen() const { return fd >= 0; }
    int descriptor() const { return fd; }
    QString devicePath() const { return device; }

    uint32_t lastError() const { return lastErr.load(); }
    // True when the last Read or Write stopped at its deadline rather than failing.
    bool lastIoTimedOut() const { return ioTimedOut.load(); }
    // The system's words for lastError(), with advice where there is some
    // (EACCES: join the "dialout" group).
    QString lastErrorText() const;
    static QString errorText(uint32_t error);
    uint32_t lineErrors() const { return lineErrorFlags.load(); }
    // True once the device has gone away under the open port (USB unplugged, the far
    // end of a pty closed): the line hung up, or I/O failed with EIO, ENXIO or ENODEV.
    // Nothing brings it back; the port has to be opened again.
    bool lineGone() const { return gone.load(); }
    // The errors by which a device that has gone away answers.
    static bool isDeviceGoneError(uint32_t error);

    // Bytes read; 0 on failure or when not open. Unless exact is set, count is first
    // lowered to what is queued, and with nothing queued nothing is read at all. With
    // exact set, the read time-outs alone decide how long it waits.
    virtual int Read(char* buffer, int count, bool exact);
    // Bytes written; fewer than count is a failed write (timed out or broken). Returns
    // when the driver has sent them, so the baud rate may change right after it; on a
    // time-out what the driver still held is dropped.
    virtual int Write(const char* buffer, int count);
    // What the driver takes at once, without waiting: 0 when its queue is full, -1 when
    // the port is broken or not open. For long pastes, which must never block the UI.
    int WriteSome(const char* buffer, int count);
    // True when the driver has sent everything it was given and takes more now.
    bool OutputIdle();
    // Returns once what was written is off the wire: the driver's queue empty, and the
    // line time of every byte written since the last change of rate or format passed
    // (an adapter's FIFO and a pty's far end hold bytes the driver no longer counts).
    // Every change of rate or format, and BREAK, waits for this first.
    void WaitLineIdle();
    // The far end has answered in a way that proves it has every byte written so far
    // (the monitor's '=' or '-'): nothing of ours is on the wire any more.
    void NoteFarEndHasAll();
    // Starts waiting for the events of the mask (the mask result is reset to 0).
    virtual bool ArmEventWait();
    // The events that ended the armed wait; 0 on failure, when wait is false and
    // nothing happened yet, or when SetEventMask completed the wait. A failure other
    // than "not yet" clears the line errors and arms a new wait.
    virtual uint32_t GetEventResult(bool wait);

    bool SetBaudRate(uint32_t rate);
    bool SetLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits);
    bool SetFlowControl(uint32_t flags, uint16_t xonLimit, uint16_t xoffLimit, char xonChar,
                        char xoffChar);
    bool SetQueueSizes(uint32_t input, uint32_t output);
    bool SetReadTimeouts(uint32_t interval, uint32_t totalMultiplier, uint32_t totalConstant);
    bool SetWriteTimeouts(uint32_t totalMultiplier, uint32_t totalConstant);
    bool SetBreak();
    bool ClearBreak();
    // The input lines now (kMs* flags). False when the device has none: a pty carries
    // no modem lines, so there only a stand-in port can show them changing. Neither this
    // nor SetDtr/SetRts touches lastError(): the UI thread asks while the comm thread reads.
    virtual bool GetModemStatus(uint32_t* lines);
    // DTR and RTS by hand; false when the device has no such line.
    virtual bool SetDtr(bool on);
    virtual bool SetRts(bool on);
    // Queue status into status; the line error flags since the last call into errors
    // when it is given.
    bool ClearErrors(CommStatus* status, uint32_t* errors = nullptr);
    // A new mask completes a pending event wait with an empty result.
    bool SetEventMask(uint32_t mask);
    bool Purge();

    bool GetState(CommState* state);
    bool SetState(const CommState& state);
    bool GetTimeouts(CommTimeouts* timeouts);
    bool SetTimeouts(const CommTimeouts& timeouts);

    // Starts the comm thread with procedure and context (the port itself when context is
    // null). Fails with last error EALREADY while a thread exists, including one that ended
    // by itself and was not collected by StopReader yet.
    bool StartReader(CommThreadProcedure procedure, void* context);
    // Ends the comm thread and returns its exit code; 0 at once when there is none.
    // While it waits it keeps calling pump (or the reader pump when pump is empty), so
    // that a thread blocked in a synchronous hand-over can finish.
    uint32_t StopReader(const std::function<void()>& pump = {});
    bool readerRunning() const { return reader.joinable(); }

    // The termios control and input flags that the port last asked the driver for.
    // Some drivers keep less: a pty forces CS8 and no parity, whatever was asked.
    struct LineFlags {
        uint32_t cflag = 0;
        uint32_t iflag = 0;
    };
    LineFlags requestedLineFlags() const { return requested.load(); }
    // The pump that StopReader uses when it is given none, the destructor included.
    void setReaderPump(std::function<void()> pump) { readerPump = std::move(pump); }

protected:
    // A port with no device, for scripted stand-ins that override the virtual operations.
    SerialPort();
    void setLastError(uint32_t error) { lastErr.store(error); }
    // Records error as the last error and answers failure, for early returns.
    bool failWith(uint32_t error)
    {
        setLastError(error);
        return false;
    }

private:
    // The defaults that every opened port starts with; the first failure is kept.
    uint32_t applyDefaults();
    // One call into the line (0 = success); EBADF when it is not open, else the call's
    // errno, recorded as the last error.
    template <typename Call> bool lineCall(Call call);
    // GetState, change, SetState: the one way the single-aspect setters go.
    template <typename Change> bool changeState(Change change);
    template <typename Change> bool changeTimeouts(Change change);
    bool applyState(const CommState& state);
    // Records a failed step; a device-gone error also marks the line gone.
    void noteFailure(uint32_t error);
    int queuedInput();
    int unsentOutput();
    // Waits up to waitMs (-1: no limit) for the line to be ready for events (POLLIN or
    // POLLOUT); a time-out is no failure. False when the wait failed or the device went
    // away, with the last error set.
    bool awaitLine(short events, int waitMs);
    // Counts n bytes the driver took now into the time the line needs for them.
    void noteBytesSent(int n);

    QString device;
    std::unique_ptr<LineBackend> line;
    int fd = -1;     // line's descriptor, while it is open
    int wakeFd = -1; // eventfd that completes a pending event wait

    std::thread reader;
    std::atomic<bool> readerDone{false};
    uint32_t readerExitCode = 0;
    std::mutex readerMutex;
    std::condition_variable readerEnded;
    std::function<void()> readerPump;

    std::atomic<uint32_t> lastErr{0};
    std::atomic<bool> ioTimedOut{false};
    std::atomic<uint32_t> lineErrorFlags{0};
    std::atomic<bool> gone{false};

    std::atomic<uint32_t> eventMask{0}; // what the wait is for
    std::atomic<bool> waitArmed{false};
    std::atomic<bool> waitCancelled{false}; // SetEventMask completed the pending wait
    std::atomic<bool> stopRequested{false}; // StopReader runs: no wait may start again

    // What Linux keeps nowhere: remembered so that GetState gives back what was set.
    CommState remembered;
    std::atomic<LineFlags> requested{LineFlags{}};
    CommTimeouts timeouts;
    uint32_t inputQueueSize = 4096;
    uint32_t outputQueueSize = 4096;
    std::mutex stateMutex; // line state and time-outs
    // When the last byte written is off the wire, at the rate and format it went at.
    std::mutex lineTimeMutex;
    std::chrono::steady_clock::time_point lineFreeAt;
    std::chrono::microseconds byteTime{1042}; // 10 bits at 9600 baud
};
