#include "ReconnectWatcher.h"

#include "RemotePortUrl.h"

#include <QFileInfo>

ReconnectWatcher::ReconnectWatcher(Attempt attemptFunction) : attempt(std::move(attemptFunction))
{
    timer.setInterval(kPollIntervalMs);
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
}

void ReconnectWatcher::start(const QString& device)
{
    watched = device;
    if (!watched.isEmpty())
        timer.start();
}

void ReconnectWatcher::stop()
{
    timer.stop();
}

void ReconnectWatcher::poll()
{
    if (!timer.isActive())
        return;
    // A port server has no path to look at: its address is simply tried again.
    if (!RemotePortUrl::isRemote(watched) && !QFileInfo::exists(watched))
        return;
    if (attempt && attempt(watched))
        stop();
}
