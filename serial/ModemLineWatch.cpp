#include "ModemLineWatch.h"

#include "SerialPort.h"

ModemLineWatch::ModemLineWatch(std::function<SerialPort*()> port,
                               std::function<void(const ModemLines&)> changed)
    : port(std::move(port)), changed(std::move(changed))
{
    timer.setInterval(kPollMs);
    QObject::connect(&timer, &QTimer::timeout, [this] { poll(); });
}

void ModemLineWatch::poll()
{
    ModemLines now;
    SerialPort* p = port();
    now.known = p && p->GetModemStatus(&now.lines);
    if (!now.known)
        now.lines = 0;
    if (now == last)
        return;
    last = now;
    changed(now);
}
