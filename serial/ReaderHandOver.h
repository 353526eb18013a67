// The reader thread's hand-over: carries received bytes from the comm thread to the
// thread that owns this object (the UI thread).
//
// Each read (at most 1,024 bytes) is one delivery, and its boundaries are kept: the
// terminal's translation depends on them. The comm thread queues a copy and goes on
// reading; one posted event carries every delivery that is waiting, in order. The queue
// is bounded: when the UI thread falls that far behind, the comm thread waits for room,
// so nothing is lost and memory stays small. The pump that StopReader runs delivers
// the queue too, so stopping while data arrive cannot hang, and what was read before
// the stop has been delivered when StopReader returns.
//
// A line that trickles (each read finds a few bytes) would cost the owner a wake-up
// and an update per read. With a gathering time set, a read that follows a short one
// waits until that long after the last hand-over, so the bytes that came meanwhile go
// over as one delivery. A byte after a quiet spell (no hand-over for that long) is read
// at once, and while reads come back full now and then (within kFloodSpells gathering
// times) the line is flooding and no read waits, since waits would hold a fast line to
// a buffer per gathering time. After readAtOnce(), for the time given, no read waits:
// a typed character's echo goes over as soon as it came.
//
// With a holding time set as well, even the owner's wake-up waits: a delivery of a
// trickle stays queued, without an event, until the holding time has passed since the
// last event, or until the comm thread finds the line quiet after a gathering time and
// calls release() before it sleeps. A trickle then wakes the owner once per holding
// time, and its last bytes within two gathering times. Full reads, the time after
// readAtOnce() and a queue half full go over at once.
//
// A line that has gone away is reported once with lineLost(), which does not wait: the
// owner learns of it on its own thread, after every delivery queued before it (held
// ones too).
#pragma once

#include <QByteArray>
#include <QObject>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

class ReaderHandOver : public QObject
{
public:
    // Deliveries that may wait for the UI thread before the comm thread waits too.
    static constexpr int kMaxQueued = 256;
    static constexpr int kFloodSpells = 5;

    // Runs on the owning thread with the bytes of one read, synchronously.
    using Receiver = std::function<void(const char* bytes, int count)>;

    // Runs on the owning thread when the comm thread found the line gone.
    using LostReceiver = std::function<void()>;

    explicit ReaderHandOver(Receiver receiver, LostReceiver lost = {});

    // Comm thread side: queues a copy of the bytes; waits only while the queue is full.
    // Called on the owning thread itself, it delivers at once.
    void handOver(const char* bytes, int count);
    // Comm thread side: the line is gone. Returns at once.
    void lineLost();

    // 0 (the default) reads at once. fullRead: the size of a read that came back full.
    // holdMs: how long deliveries may wait for their event (0: none wait).
    void setGather(int ms, int fullRead, int holdMs = 0);
    // Comm thread side, before it sleeps until the next bytes: what is held goes over.
    void release();
    // Comm thread side, before it looks for bytes: waits while the line trickles, until
    // the gathering time has passed since the last hand-over or discard() is called.
    void awaitTurn();
    // For the next ms, reads do not wait (a key went out: its echo is coming). Ends a
    // wait in awaitTurn().
    void readAtOnce(int ms);

    // Delivers every delivery that is waiting, on the owning thread, in order.
    void service();

    // Drops what is waiting (the port is gone) and lets a waiting comm thread go.
    void discard();

    // Deliveries waiting now (for tests and diagnosis).
    int queued();

protected:
    bool event(QEvent* e) override;

private:
    void post(std::chrono::steady_clock::time_point now); // under the mutex

    Receiver receive;
    LostReceiver lost;
    std::mutex mutex;
    std::condition_variable room;
    std::deque<QByteArray> queue;
    bool eventPosted = false;
    int gatherMs = 0;
    int fullRead = 0;
    int holdMs = 0;
    std::chrono::steady_clock::time_point lastPost;
    std::chrono::steady_clock::time_point lastFullRead;
    bool cutShort = false; // discard() ends a wait in awaitTurn()
    std::chrono::steady_clock::time_point eagerUntil; // readAtOnce()
    int waitingForRoom = 0; // comm threads in handOver(); service() wakes only them
    std::chrono::steady_clock::time_point lastHandOver;
    // The batch being delivered; a service() from inside a delivery appends to it, so
    // the order holds and a comm thread waiting for room is let go.
    std::deque<QByteArray>* active = nullptr;
};
