#include "ReaderHandOver.h"

#include <QCoreApplication>
#include <QEvent>
#include <QThread>

namespace
{

const QEvent::Type kHandOverEvent = static_cast<QEvent::Type>(QEvent::User + 500);
const QEvent::Type kLineLostEvent = static_cast<QEvent::Type>(QEvent::User + 502);

} // namespace

ReaderHandOver::ReaderHandOver(Receiver receiver, LostReceiver lostReceiver)
    : receive(std::move(receiver)), lost(std::move(lostReceiver))
{
}

void ReaderHandOver::lineLost()
{
    std::lock_guard<std::mutex> lock(mutex); // see event()
    QCoreApplication::postEvent(this, new QEvent(kLineLostEvent));
}

void ReaderHandOver::handOver(const char* bytes, int count)
{
    if (QThread::currentThread() == thread()) {
        receive(bytes, count);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    room.wait(lock, [&] { return queue.size() < size_t(kMaxQueued); });
    queue.emplace_back(bytes, count);
    lastHandOver = std::chrono::steady_clock::now();
    if (count >= fullRead)
        lastFullRead = lastHandOver;
    if (!eventPosted) {
        // One event for all that gathers until the UI thread gets to it.
        eventPosted = true;
        QCoreApplication::postEvent(this, new QEvent(kHandOverEvent));
    }
}

void ReaderHandOver::setGather(int ms, int full)
{
    std::lock_guard<std::mutex> lock(mutex);
    gatherMs = ms;
    fullRead = full;
}

void ReaderHandOver::awaitTurn()
{
    std::unique_lock<std::mutex> lock(mutex);
    const std::chrono::milliseconds gather(gatherMs);
    const bool flooding = lastFullRead + kFloodSpells * gather > std::chrono::steady_clock::now();
    if (gatherMs > 0 && !flooding)
        room.wait_until(lock, lastHandOver + gather, [&] { return cutShort; });
    cutShort = false;
}

void ReaderHandOver::service()
{
    std::deque<QByteArray> batch;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (active) {
            for (QByteArray& bytes : queue)
                active->push_back(std::move(bytes));
            queue.clear();
            // This may have been the posted event itself (a nested event loop): what
            // is queued next needs an event of its own.
            eventPosted = false;
            room.notify_all();
            return;
        }
        batch.swap(queue);
        eventPosted = false;
        room.notify_all();
        if (batch.empty())
            return;
        active = &batch;
    }
    while (true) {
        QByteArray bytes;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (batch.empty()) {
                active = nullptr;
                return;
            }
            bytes = std::move(batch.front());
            batch.pop_front();
        }
        receive(bytes.constData(), bytes.size());
    }
}

void ReaderHandOver::discard()
{
    std::lock_guard<std::mutex> lock(mutex);
    queue.clear();
    if (active)
        active->clear();
    cutShort = true;
    room.notify_all();
}

int ReaderHandOver::queued()
{
    std::lock_guard<std::mutex> lock(mutex);
    return int(queue.size());
}

bool ReaderHandOver::event(QEvent* e)
{
    QEvent::Type type;
    {
        // The comm thread made the event under this mutex; taking it here orders the
        // two threads where a race detector can see it (Qt's own queue lock it cannot).
        std::lock_guard<std::mutex> lock(mutex);
        type = e->type();
    }
    if (type == kHandOverEvent) {
        service();
        return true;
    }
    if (type == kLineLostEvent) {
        if (lost)
            lost();
        return true;
    }
    return QObject::event(e);
}
