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
    if (!eventPosted && !queue.empty())
        post(std::chrono::steady_clock::now()); // what was read comes first
    QCoreApplication::postEvent(this, new QEvent(kLineLostEvent));
}

void ReaderHandOver::handOver(const char* bytes, int count)
{
    if (QThread::currentThread() == thread()) {
        receive(bytes, count);
        return;
    }
    std::unique_lock<std::mutex> lock(mutex);
    ++waitingForRoom;
    room.wait(lock, [&] { return queue.size() < size_t(kMaxQueued); });
    --waitingForRoom;
    queue.emplace_back(bytes, count);
    const auto now = std::chrono::steady_clock::now();
    lastHandOver = now;
    if (count >= fullRead)
        lastFullRead = now;
    const bool hold = holdMs > 0 && count < fullRead && now >= eagerUntil &&
                      now < lastPost + std::chrono::milliseconds(holdMs) &&
                      queue.size() < size_t(kMaxQueued / 2);
    if (!eventPosted && !hold)
        post(now);
}

void ReaderHandOver::post(std::chrono::steady_clock::time_point now)
{
    // One event for all that gathers until the UI thread gets to it.
    eventPosted = true;
    lastPost = now;
    QCoreApplication::postEvent(this, new QEvent(kHandOverEvent));
}

void ReaderHandOver::release()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!eventPosted && !queue.empty())
        post(std::chrono::steady_clock::now());
}

void ReaderHandOver::setGather(int ms, int full, int hold)
{
    std::lock_guard<std::mutex> lock(mutex);
    gatherMs = ms;
    fullRead = full;
    holdMs = hold;
}

void ReaderHandOver::awaitTurn()
{
    std::unique_lock<std::mutex> lock(mutex);
    const std::chrono::milliseconds gather(gatherMs);
    const auto now = std::chrono::steady_clock::now();
    const bool flooding = lastFullRead + kFloodSpells * gather > now;
    if (gatherMs > 0 && !flooding && now >= eagerUntil)
        room.wait_until(lock, lastHandOver + gather, [&] {
            return cutShort || eagerUntil > std::chrono::steady_clock::now();
        });
    cutShort = false;
}

void ReaderHandOver::readAtOnce(int ms)
{
    std::lock_guard<std::mutex> lock(mutex);
    eagerUntil = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    room.notify_all();
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
            if (waitingForRoom > 0)
                room.notify_all();
            return;
        }
        batch.swap(queue);
        eventPosted = false;
        if (waitingForRoom > 0) // the comm thread may be gathering: leave it be
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
