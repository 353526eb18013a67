#include "ReconnectWatcher.h"

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
    if (!timer.isActive() || !QFileInfo::exists(watched))
        return;
    if (attempt && attempt(watched))
        stop();
}
