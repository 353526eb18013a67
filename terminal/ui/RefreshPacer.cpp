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
    if (timer.isActive())
        return;
    const qint64 waited = sinceShown.isValid() ? sinceShown.elapsed() : kIntervalMs;
    timer.start(int(std::max<qint64>(0, kIntervalMs - waited)));
}

void RefreshPacer::shown()
{
    timer.stop();
    sinceShown.start();
}
