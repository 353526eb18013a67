// RefreshPacer: when a view that received data shows it.
//
// Showing new text costs about the same per update whatever it holds (the widget lays
// out and paints the new lines, scrolls the rest, and the X server moves the whole
// picture), so a steady trickle painted per delivery costs far more than a flood. The
// pacer shows the first data after a quiet spell at once. While data keep coming it
// waits until they pause for kQuietMs, but never longer than kIntervalMs since the
// last update: a trickle is shown ten times a second, and its last line soon after it
// came (CBrennockDoc::kGatherMs plus kQuietMs). After hurry(), for the time given, new
// data show at once: a typed character's echo is not held back by a trickle.
#pragma once

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>

#include <functional>

class RefreshPacer : public QObject
{
public:
    static constexpr int kIntervalMs = 100; // while data keep coming, 10 updates a second
    static constexpr int kQuietMs = 20;     // data that pause this long show

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
