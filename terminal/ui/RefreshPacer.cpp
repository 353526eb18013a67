#include "RefreshPacer.h"

#include <algorithm>

RefreshPacer::RefreshPacer(std::function<void()> showNow) : show(std::move(showNow))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer); // the interval is a promise, not a hint
    connect(&timer, &QTimer::timeout, this, [this] {
        sinceShown.start();
        show();
    });
}

void RefreshPacer::due()
{
    const bool hurrying = hurried.isValid() && hurried.elapsed() < hurryMs;
    if (timer.isActive() && (!hurrying || timer.remainingTime() == 0))
        return;
    const qint64 waited = sinceShown.isValid() ? sinceShown.elapsed() : kIntervalMs;
    timer.start(hurrying ? 0 : int(std::max<qint64>(0, kIntervalMs - waited)));
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
