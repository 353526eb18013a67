// The reader thread's hand-over: carries received bytes from the comm thread to the
// thread that owns this object (the UI thread) and waits there until they were handled.
//
// The comm thread posts an event and sleeps; the event, or the pump that StopReader
// runs, delivers and wakes it. One comm thread, so one pending hand-over. The receiver
// gets a copy, so that a receiver which stops the reader from inside its handling (the
// user disconnects in a message box shown from there) lets the thread go at once
// instead of waiting for itself.
//
// A line that has gone away is reported once with lineLost(), which does not wait: the
// owner learns of it on its own thread, after every hand-over before it.
#pragma once

#include <QByteArray>
#include <QObject>

#include <condition_variable>
#include <functional>
#include <mutex>

class ReaderHandOver : public QObject
{
public:
    // Runs on the owning thread with the bytes of one read, synchronously.
    using Receiver = std::function<void(const char* bytes, int count)>;

    // Runs on the owning thread when the comm thread found the line gone.
    using LostReceiver = std::function<void()>;

    explicit ReaderHandOver(Receiver receiver, LostReceiver lost = {});

    // Comm thread side: returns once the receiver has handled the bytes. Called on the
    // owning thread itself, it delivers at once.
    void handOver(const char* bytes, int count);
    // Comm thread side: the line is gone. Returns at once.
    void lineLost();

    // Delivers a pending hand-over, if any, on the owning thread. StopReader's pump.
    void service();

protected:
    bool event(QEvent* e) override;

private:
    void release();

    Receiver receive;
    LostReceiver lost;
    std::mutex mutex;
    std::condition_variable done;
    const char* pendingBytes = nullptr;
    int pendingCount = 0;
    quint64 sequence = 0;
    bool pending = false;
    bool delivering = false;
};
