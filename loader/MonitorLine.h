// The loaders' one narrow door to the serial line.
//
// The monitor conversations see the line only through this interface: count and
// read waiting bytes (a read waits as the current read time-outs say and returns
// fewer bytes on a time-out), write, change the rate, the format and the
// time-outs, and take a snapshot of the line state that is put back when the
// snapshot goes away. SerialMonitorLine puts it over the terminal's SerialPort;
// unit tests put a scripted fake behind it.
//
// deviceFailed() tells a device that broke (unplugged, hung up) apart from a line
// that was merely quiet, so that a conversation can end with one message instead
// of waiting out every time-out of a device that is gone.
#pragma once

#include <QString>

#include <cstdint>
#include <memory>

// Something that puts a piece of line state back when it goes out of scope.
class LineRestorer
{
public:
    virtual ~LineRestorer() = default;
};

class MonitorLine
{
public:
    virtual ~MonitorLine() = default;

    // Bytes received and not yet read; 0 when none or when the count cannot be had.
    virtual int inputCount() = 0;
    // Reads count bytes, waiting as the read time-outs allow; the count read.
    virtual int read(char* buffer, int count) = 0;
    // Writes count bytes; returns the count written (fewer is a failed write).
    virtual int write(const char* bytes, int count) = 0;

    // Returns once the bytes written are off the wire (changes of rate and format wait
    // for this by themselves).
    virtual void waitUntilSent() {}
    // The far end's answer proves it has everything written: no wait is owed for it.
    virtual void farEndHasAll() {}
    virtual bool setBaudRate(uint32_t rate) = 0;
    // Codes of SerialPort.h: parity kNoParity..., stop bits kOneStopBit/kTwoStopBits.
    virtual bool setLineFormat(uint8_t parity, uint8_t byteSize, uint8_t stopBits) = 0;
    virtual bool setReadTimeouts(uint32_t interval, uint32_t multiplier, uint32_t constant) = 0;
    virtual bool setWriteTimeouts(uint32_t multiplier, uint32_t constant) = 0;

    // Saves the whole line state and time-outs; they are restored when the result goes.
    virtual std::unique_ptr<LineRestorer> saveLineState() = 0;
    // Asks the driver to hand received bytes over at once (USB adapters otherwise
    // hold them for their latency timer) until the result goes. Where the driver
    // refuses, nothing happens and nothing is reported.
    virtual std::unique_ptr<LineRestorer> lowLatency() = 0;

    // True when the last read or write failed for another reason than its time-out.
    virtual bool deviceFailed() const = 0;
    // True once the device is known to be gone for good (hung up, unplugged).
    virtual bool deviceGone() const { return false; }
    // The system's words for that failure.
    virtual QString failureText() const = 0;
};
