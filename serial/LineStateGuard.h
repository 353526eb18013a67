// Saves a port's whole line state and time-outs and puts them back when it goes out of
// scope, so that every exit of a conversation that changes the line (rate, format,
// time-outs) restores it, early returns and exceptions included.
#pragma once

#include "SerialPort.h"

class LineStateGuard
{
public:
    explicit LineStateGuard(SerialPort& port) : port(port)
    {
        haveState = port.GetState(&state);
        haveTimeouts = port.GetTimeouts(&timeouts);
    }
    ~LineStateGuard() { restore(); }

    LineStateGuard(const LineStateGuard&) = delete;
    LineStateGuard& operator=(const LineStateGuard&) = delete;

    // Puts the saved state back now (again at scope end). Failures are ignored on
    // purpose: a device that has gone away keeps nothing, and the caller reports that.
    void restore()
    {
        if (haveState)
            port.SetState(state);
        if (haveTimeouts)
            port.SetTimeouts(timeouts);
    }

    const CommState& savedState() const { return state; }
    const CommTimeouts& savedTimeouts() const { return timeouts; }

private:
    SerialPort& port;
    CommState state;
    CommTimeouts timeouts;
    bool haveState = false;
    bool haveTimeouts = false;
};
