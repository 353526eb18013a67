// Progress and cancellation of a long loader transfer.
//
// Every transfer (post-link conversion, block load, hex download, capture and
// binary sends) reports through this interface in the same order:
// OpenProgress, SetProgressTitle, SetProgressText, SetProgressRange,
// SetProgressStep(1), SetProgressPos(0), then StepProgress per unit of work and
// CheckCancel where the transfer can stop. The object lives for the duration
// of the transfer; the display closes when the object goes away, so every early
// return of the transfer closes it too.
//
// The base class keeps the state (range, step, position, cancel flag)
// and its rules; a presenter only shows it through the protected hooks. The
// load progress dialog derives from QDialog and LoadProgress: openView() shows
// it and disables the main window, pumpEvents() processes pending events, its
// Cancel button calls requestCancel(), and its destructor re-enables the owner.
// The console form prints one line on a stream (headless mode); the null form
// shows nothing.
#pragma once

#include <QString>

#include <cstdio>
#include <functional>
#include <memory>

class LoadProgress
{
public:
    LoadProgress() = default;
    LoadProgress(const LoadProgress&) = delete;
    LoadProgress& operator=(const LoadProgress&) = delete;
    // A presenter closes its display in its own destructor.
    virtual ~LoadProgress() = default;

    // Shows the display. False when it cannot be shown; the transfer still runs
    // and every other call keeps working on the stored state.
    bool OpenProgress();
    void SetProgressTitle(const QString& title);
    void SetProgressText(const QString& text);
    // The bounds are kept whole (a bar of a large file must not wrap at 16 bits);
    // a negative bound counts as 0.
    void SetProgressRange(int low, int high);
    void SetProgressStep(int step);
    // Pumps pending events first. The position is kept inside the range.
    void SetProgressPos(int pos);
    // Pumps pending events first, then advances by the step; the position
    // stops at the upper bound.
    void StepProgress();
    // Pumps pending events, then returns the cancel flag and clears it, so two
    // presses before a poll count as one cancel.
    bool CheckCancel();

    // Called by the presenter (Cancel button, Escape key) to ask the transfer to stop.
    void requestCancel() { cancelled_ = true; }

    bool isOpen() const { return open_; }
    QString title() const { return title_; }
    QString text() const { return text_; }
    int rangeLow() const { return low_; }
    int rangeHigh() const { return high_; }
    int step() const { return step_; }
    int position() const { return pos_; }

protected:
    // Creates and shows the display with the state stored so far (title,
    // text, range, position); false when it cannot.
    virtual bool openView() { return true; }
    // Handles every event waiting for the thread and returns; never waits.
    virtual void pumpEvents() {}
    // Called after the matching state changed (only while open).
    virtual void showTitle() {}
    virtual void showText() {}
    virtual void showRange() {}
    virtual void showPosition() {}

private:
    bool open_ = false;
    bool cancelled_ = false;
    QString title_;
    QString text_;
    int low_ = 0;
    int high_ = 100;
    int step_ = 10;
    int pos_ = 0;
};

// Shows nothing; for callers that run without any user interface.
class NullLoadProgress : public LoadProgress
{
};

// Text progress on a stream (stderr in headless mode). On a terminal one line,
// rewritten in place with a carriage return and ended with a line feed when closed:
//   Brennock PostLink: /work/APP [##########----------] 2/3
// Otherwise (a log file, a pipe) plain lines: one at the start and one each time
// another tenth of the range is done.
class ConsoleLoadProgress : public LoadProgress
{
public:
    explicit ConsoleLoadProgress(std::FILE* out = stderr, bool bar = true) : out_(out), bar_(bar) {}
    ~ConsoleLoadProgress() override;

protected:
    bool openView() override;
    // The line is drawn when the position is set or advanced; title, text and
    // range changes show with the next draw.
    void showPosition() override { draw(); }

private:
    void draw();

    std::FILE* out_;
    bool bar_ = true;
    int lastTenth_ = -1;
    bool drawn_ = false;
    int lastWidth_ = 0;
};

// The bar of a progress line: "[####----------------] done/span".
QByteArray progressBarOf(const LoadProgress& progress);
// The text of one progress line: "title: text [####----------------] done/span".
QByteArray progressLineOf(const LoadProgress& progress);
// How many tenths of the range are done (10 for an empty range): a plain log gets one
// line per tenth.
int progressTenthOf(const LoadProgress& progress);

// Makes the progress object of one transfer; the transfer owns what it returns.
using LoadProgressFactory = std::function<std::unique_ptr<LoadProgress>()>;

// Makes the progress of one transfer through makeProgress (nothing shown when it is empty
// or makes nothing), opens it with title and text, range 0 to high, step 1, position 0.
std::unique_ptr<LoadProgress> openLoadProgress(const LoadProgressFactory& makeProgress,
                                               const QString& title, const QString& text, int high);
