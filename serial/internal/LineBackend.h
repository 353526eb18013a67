// LineBackend: what a kind of port does its own way under SerialPort.
//
// The bytes always flow through one non-blocking descriptor (the tty itself, or the
// local end of a remote port's bridge), so timed reads and writes and the event wait
// are one code for every kind of port. What differs lives here: the line settings, the
// modem lines, BREAK, purging, the line error counts and what the driver still holds.
// Every int result is 0 for success or an errno value.
#pragma once

#include "SerialPort.h"

#include <cstdint>
#include <sys/types.h>
#include <unistd.h>

class LineBackend
{
public:
    virtual ~LineBackend() = default;

    // The descriptor the bytes flow through; -1 when closed.
    virtual int descriptor() const = 0;
    // Applies a checked state; asked receives the termios flags requested, where any.
    virtual int applyState(const CommState& state, SerialPort::LineFlags* asked) = 0;
    // The state the line runs at, over remembered (what the line cannot tell).
    virtual int readState(const CommState& remembered, CommState* state) = 0;
    // The input lines (kMs* flags); false when the line has none.
    virtual bool modemLines(uint32_t* lines) = 0;
    // DTR (dtr true) or RTS on or off; false when the line has no such output.
    virtual bool switchModemLine(bool dtr, bool on) = 0;
    virtual int setBreak(bool on) = 0;
    // Drops what is queued in both directions, or only output.
    virtual int purge(bool outputOnly) = 0;
    // kCe* flags of the line errors since the last call; 0 when nobody counts them.
    virtual uint32_t takeLineErrors() = 0;
    // Bytes written and not yet sent on (the driver's queue); 0 when it cannot tell.
    virtual int unsentOutput() = 0;
    // One non-blocking write to the descriptor; -1 with errno as ::write. A line whose
    // far end has gone answers EIO, as a tty does.
    virtual ssize_t writeBytes(const char* data, size_t size)
    {
        return ::write(descriptor(), data, size);
    }
    // This kind of port's own words for error, where it has better ones than errno's.
    virtual QString explain(uint32_t error) const
    {
        (void)error;
        return QString();
    }
    // Who holds the port, when opening it was refused as busy.
    virtual QString busyText() const { return QString(); }
    // A line the port's owner cannot take over alone (the lock and the exclusive flag
    // of a tty) is given back here; the descriptor is closed afterwards.
    virtual void close() = 0;
};
