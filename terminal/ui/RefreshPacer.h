// RefreshPacer: when a view that received data shows it.
//
// Showing new text costs about the same per update whatever it holds (the widget lays
// out and paints the new lines, scrolls the rest, and the X server moves the whole
// picture), so a steady stream painted per delivery costs far more than a flood. The
// pacer shows the first data after a quiet spell at once (a typed character's echo is
// on screen at the next pass of the event loop) and, while data keep coming, at most
// once every kIntervalMs: new text waits at most that long. After hurry(), for the
// time given, new data show at once: an echo is not held back by a stream. A trickle
// comes paced already (the hand-over holds it, CBrennockDoc::kHoldMs), so each of its
// deliveries shows at once.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class RefreshPacer : public QObject
{
public:
    static constexpr int kIntervalMs = 30; // 33 updates a second at most

    explicit RefreshPacer(std::function<void()> show);

    // New data wait to be shown: shows them on time. Calls that come while one is due
    // are one update.
    void due();
    // They were shown some other way (at once, or dropped): nothing is due any more.
    // Counts as an update.
    void shown();
    bool isDue() const { return timer.isActive(); }
    // For the next ms, new data show at once (a key went out; its echo is coming).
    void hurry(int ms);

private:
    std::function<void()> show;
    QTimer timer;
    QElapsedTimer sinceShown;
    QElapsedTimer hurried;
    int hurryMs = 0;
};
