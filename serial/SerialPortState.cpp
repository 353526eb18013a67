// The line settings: one state applied whole, the single-aspect setters as changes of
// it, the time-outs, and the line's controls (BREAK, DTR/RTS, purge).
#include "SerialPort.h"

#include "LineBackend.h"

#include <cerrno>

template <typename Call> bool SerialPort::lineCall(Call call)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    const int error = call(*line);
    return error == 0 || failWith(static_cast<uint32_t>(error));
}

template <typename Change> bool SerialPort::changeState(Change change)
{
    CommState state;
    if (!GetState(&state))
        return false;
    change(state);
    return SetState(state);
}

template <typename Change> bool SerialPort::changeTimeouts(Change change)
{
    CommTimeouts value;
    if (!GetTimeouts(&value))
        return false;
    change(value);
    return SetTimeouts(value);
}

bool SerialPort::applyState(const CommState& s)
{
    if (s.byteSize < 5 || s.byteSize > 8 || s.parity > kSpaceParity || s.stopBits > kTwoStopBits ||
        s.baudRate == 0) {
        // Rate 0 would hang up the line on Linux; it is no rate.
        setLastError(EINVAL);
        return false;
    }
    LineFlags asked = requested.load();
    const int error = line->applyState(s, &asked);
    requested.store(asked);
    if (error != 0) {
        setLastError(static_cast<uint32_t>(error));
        return false;
    }
    remembered = s;
    // Start bit, data bits, parity and stop bits (1.5 counted as 2).
    const int bits =
        1 + s.byteSize + (s.parity != kNoParity ? 1 : 0) + (s.stopBits == kOneStopBit ? 1 : 2);
    {
        std::lock_guard<std::mutex> lock(lineTimeMutex);
        byteTime = std::chrono::microseconds((bits * 1000000LL + s.baudRate - 1) / s.baudRate);
    }
    return true;
}

bool SerialPort::GetState(CommState* state)
{
    setLastError(0);
    if (fd < 0 || !state)
        return failWith(EBADF);
    // The port is the line's only user (exclusive open), so what it last applied is the
    // line state; reading termios back would lose what a driver ignores (a pty forces
    // CS8 and no parity), and a save and restore must give back what was set.
    std::lock_guard<std::mutex> lock(stateMutex);
    *state = remembered;
    return true;
}

bool SerialPort::SetState(const CommState& state)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    bool lineChanges = false;
    {
        std::lock_guard<std::mutex> lock(stateMutex);
        lineChanges = state.baudRate != remembered.baudRate ||
                      state.byteSize != remembered.byteSize || state.parity != remembered.parity ||
                      state.stopBits != remembered.stopBits;
    }
    // Bytes still on their way would reach the far end at the new rate as garbage.
    if (lineChanges)
        WaitLineIdle();
    std::lock_guard<std::mutex> lock(stateMutex);
    return applyState(state);
}

bool SerialPort::SetBaudRate(uint32_t rate)
{
    return changeState([&](CommState& state) { state.baudRate = rate; });
}

bool SerialPort::SetLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits)
{
    return changeState([&](CommState& state) {
        state.byteSize = byteSize;
        state.parity = parity;
        state.stopBits = stopBits;
        state.fParity = true;
    });
}

bool SerialPort::SetFlowControl(uint32_t flags, uint16_t xonLimit, uint16_t xoffLimit, char xonChar,
                                char xoffChar)
{
    return changeState([&](CommState& state) {
        const bool dsrDtr = (flags & kFlowDsrDtr) != 0;
        state.fOutxDsrFlow = dsrDtr;
        state.dtrControl = dsrDtr ? kControlHandshake : kControlEnable;
        const bool ctsRts = (flags & kFlowCtsRts) != 0;
        state.fOutxCtsFlow = ctsRts;
        state.rtsControl = ctsRts ? kControlHandshake : kControlEnable;
        const bool xonXoff = (flags & kFlowXonXoff) != 0;
        state.fOutX = xonXoff;
        state.fInX = xonXoff;
        state.fBinary = true;
        state.fNull = false;
        state.xonLim = xonLimit;
        state.xoffLim = xoffLimit;
        state.xonChar = xonChar;
        state.xoffChar = xoffChar;
    });
}

bool SerialPort::SetQueueSizes(uint32_t input, uint32_t output)
{
    // The kernel's tty buffers have fixed sizes; the request is only remembered.
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    inputQueueSize = input;
    outputQueueSize = output;
    return true;
}

bool SerialPort::GetTimeouts(CommTimeouts* result)
{
    setLastError(0);
    if (fd < 0 || !result)
        return failWith(EBADF);
    std::lock_guard<std::mutex> lock(stateMutex);
    *result = timeouts;
    return true;
}

bool SerialPort::SetTimeouts(const CommTimeouts& value)
{
    setLastError(0);
    if (fd < 0)
        return failWith(EBADF);
    std::lock_guard<std::mutex> lock(stateMutex);
    timeouts = value;
    return true;
}

bool SerialPort::SetReadTimeouts(uint32_t interval, uint32_t totalMultiplier,
                                 uint32_t totalConstant)
{
    return changeTimeouts([&](CommTimeouts& value) {
        value.readIntervalTimeout = interval;
        value.readTotalTimeoutMultiplier = totalMultiplier;
        value.readTotalTimeoutConstant = totalConstant;
    });
}

bool SerialPort::SetWriteTimeouts(uint32_t totalMultiplier, uint32_t totalConstant)
{
    return changeTimeouts([&](CommTimeouts& value) {
        value.writeTotalTimeoutMultiplier = totalMultiplier;
        value.writeTotalTimeoutConstant = totalConstant;
    });
}

bool SerialPort::SetBreak()
{
    WaitLineIdle(); // a BREAK cuts what is still on the wire
    return lineCall([](LineBackend& l) { return l.setBreak(true); });
}

bool SerialPort::ClearBreak()
{
    return lineCall([](LineBackend& l) { return l.setBreak(false); });
}

bool SerialPort::Purge()
{
    return lineCall([](LineBackend& l) { return l.purge(false); });
}

// The modem lines leave the last error alone: they are asked every so often from the UI
// thread while the comm thread reads, and a device without them (a pty answers ENOTTY)
// is no failure of the port.
bool SerialPort::GetModemStatus(uint32_t* lines)
{
    return fd >= 0 && lines && line->modemLines(lines);
}

bool SerialPort::SetDtr(bool on)
{
    return fd >= 0 && line->switchModemLine(true, on);
}

bool SerialPort::SetRts(bool on)
{
    return fd >= 0 && line->switchModemLine(false, on);
}
