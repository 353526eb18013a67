#include "RefreshPacer.h"

#include <algorithm>

RefreshPacer::RefreshPacer(std::function<void()> showNow) : show(std::move(showNow))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer); // the times are promises, not hints
    connect(&timer, &QTimer::timeout, this, [this] {
        sinceShown.start();
        show();
    });
}

void RefreshPacer::due()
{
    const qint64 waited = sinceShown.isValid() ? sinceShown.elapsed() : kIntervalMs;
    if (timer.isActive() && timer.remainingTime() == 0)
        return; // shown at the next pass of the event loop already
    if (waited >= kIntervalMs || (hurried.isValid() && hurried.elapsed() < hurryMs)) {
        timer.start(0);
        return;
    }
    // Each delivery moves the pause on, up to the interval.
    timer.start(int(std::min<qint64>(kQuietMs, kIntervalMs - waited)));
}

void RefreshPacer::shown()
{
    timer.stop();
    sinceShown.start();
}

void RefreshPacer::hurry(int ms)
{
    hurried.start();
    hurryMs = ms;
}
