// RefreshPacer: when a view that received data shows it.
//
// Showing new text costs the same per update whatever it holds (the widget lays out,
// scrolls and repaints its whole view, and the X server takes the whole picture), so a
// steady trickle painted per delivery costs far more than a flood. The pacer shows
// the first data after a quiet spell at once (a typed character's echo is on screen at
// the next pass of the event loop) and, while data keep coming, at most once every
// kIntervalMs: new text waits at most that long. A trickle comes gathered already
// (CBrennockDoc::kGatherMs, a little longer), so each of its deliveries shows at once.
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

private:
    std::function<void()> show;
    QTimer timer;
    QElapsedTimer sinceShown;
};
