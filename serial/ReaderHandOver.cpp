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
    pendingBytes = bytes;
    pendingCount = count;
    pending = true;
    const quint64 mine = ++sequence;
    QCoreApplication::postEvent(this, new QEvent(kHandOverEvent));
    done.wait(lock, [&] { return !pending || sequence != mine; });
}

void ReaderHandOver::service()
{
    std::unique_lock<std::mutex> lock(mutex);
    if (!pending)
        return;
    if (delivering) {
        // Called from inside a delivery: the outer one has its copy, so release the
        // thread now; waiting for the outer delivery would wait for ourselves.
        release();
        return;
    }
    delivering = true;
    const quint64 taken = sequence;
    const QByteArray bytes(pendingBytes, pendingCount);
    lock.unlock();
    receive(bytes.constData(), bytes.size());
    lock.lock();
    delivering = false;
    if (pending && sequence == taken)
        release();
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

void ReaderHandOver::release()
{
    pending = false;
    pendingBytes = nullptr;
    done.notify_all();
}
