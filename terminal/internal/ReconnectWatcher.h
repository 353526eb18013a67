// Watches, while the window is open, for a serial device that went away to come back
// at the same path, and then asks its owner to connect again.
//
// A timer on the owner's thread (the UI thread): every kPollIntervalMs it looks whether
// the path exists (a dangling /dev/serial/by-id link does not) and, when it does, calls
// the attempt (for an rfc2217:// address, on every tick), which opens the port quietly. A device that is still settling (busy,
// not yet a tty) is simply tried again on the next tick.
#pragma once

#include <QString>
#include <QTimer>

#include <functional>

class ReconnectWatcher
{
public:
    static constexpr int kPollIntervalMs = 500;

    // Opens the device again; true when the port is back.
    using Attempt = std::function<bool(const QString& device)>;

    explicit ReconnectWatcher(Attempt attempt);

    void start(const QString& device);
    void stop();
    bool watching() const { return timer.isActive(); }
    QString device() const { return watched; }

    // How often to look; kPollIntervalMs but for tests.
    void setInterval(int ms) { timer.setInterval(ms); }

    // One look now, as a tick does.
    void poll();

private:
    Attempt attempt;
    QString watched;
    QTimer timer;
};
