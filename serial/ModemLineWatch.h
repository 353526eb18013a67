// Watches the input lines of a port (CTS, DSR, DCD, RI) and reports each change.
//
// TIOCMGET is asked every kPollMs on the thread of the watch (the UI thread): a change
// shows within that time, without a second thread beside the comm thread, and the cost
// is one ioctl per poll. A device without modem lines (a pty, some USB bridges) reports
// once that the lines are unknown.
#pragma once

#include <QTimer>

#include <cstdint>
#include <functional>

class SerialPort;

struct ModemLines {
    bool known = false; // false: no port, or a device without modem lines
    uint32_t lines = 0; // kMs* flags
    bool operator==(const ModemLines& o) const { return known == o.known && lines == o.lines; }
    bool operator!=(const ModemLines& o) const { return !(*this == o); }
};

class ModemLineWatch
{
public:
    static constexpr int kPollMs = 100;

    // port: the port now (null when not connected); changed: each new state.
    ModemLineWatch(std::function<SerialPort*()> port,
                   std::function<void(const ModemLines&)> changed);

    void start() { timer.start(); }
    void stop() { timer.stop(); }
    // Looks at the lines now; reports when they changed.
    void poll();
    ModemLines lines() const { return last; }
    void setInterval(int ms) { timer.setInterval(ms); } // kPollMs but for tests

private:
    std::function<SerialPort*()> port;
    std::function<void(const ModemLines&)> changed;
    QTimer timer;
    ModemLines last;
};
