#include "LoadProgress.h"

#include <algorithm>

bool LoadProgress::OpenProgress()
{
    open_ = openView();
    return open_;
}

void LoadProgress::SetProgressTitle(const QString& title)
{
    title_ = title;
    if (open_)
        showTitle();
}

void LoadProgress::SetProgressText(const QString& text)
{
    text_ = text;
    if (open_)
        showText();
}

void LoadProgress::SetProgressRange(int low, int high)
{
    low_ = std::max(low, 0);
    high_ = std::max(high, 0);
    pos_ = std::clamp(pos_, int(low_), std::max(int(low_), int(high_)));
    if (open_)
        showRange();
}

void LoadProgress::SetProgressStep(int step)
{
    step_ = step;
}

void LoadProgress::SetProgressPos(int pos)
{
    pumpEvents();
    pos_ = std::clamp(pos, int(low_), std::max(int(low_), int(high_)));
    if (open_)
        showPosition();
}

void LoadProgress::StepProgress()
{
    pumpEvents();
    pos_ = std::clamp(pos_ + step_, int(low_), std::max(int(low_), int(high_)));
    if (open_)
        showPosition();
}

bool LoadProgress::CheckCancel()
{
    pumpEvents();
    const bool cancelled = cancelled_;
    cancelled_ = false;
    return cancelled;
}

ConsoleLoadProgress::~ConsoleLoadProgress()
{
    if (drawn_ && out_ && bar_) {
        std::fputc('\n', out_);
        std::fflush(out_);
    }
}

bool ConsoleLoadProgress::openView()
{
    return out_ != nullptr;
}

QByteArray progressBarOf(const LoadProgress& progress)
{
    constexpr int barWidth = 20;
    const int span = progress.rangeHigh() - progress.rangeLow();
    const int done = progress.position() - progress.rangeLow();
    const int filled = span > 0 ? std::clamp(done * barWidth / span, 0, barWidth) : 0;
    return "[" + QByteArray(filled, '#') + QByteArray(barWidth - filled, '-') + "] " +
           QByteArray::number(std::max(done, 0)) + '/' + QByteArray::number(std::max(span, 0));
}

QByteArray progressLineOf(const LoadProgress& progress)
{
    QByteArray line = progress.title().toLocal8Bit();
    if (!progress.text().isEmpty())
        line += ": " + progress.text().toLocal8Bit();
    return line + ' ' + progressBarOf(progress);
}

int progressTenthOf(const LoadProgress& progress)
{
    const int span = progress.rangeHigh() - progress.rangeLow();
    const int done = progress.position() - progress.rangeLow();
    return span > 0 ? std::clamp(done * 10 / span, 0, 10) : 10;
}

void ConsoleLoadProgress::draw()
{
    QByteArray line = progressLineOf(*this);
    if (!bar_) {
        const int tenth = progressTenthOf(*this);
        if (tenth == lastTenth_)
            return;
        lastTenth_ = tenth;
        line += '\n';
        std::fwrite(line.constData(), 1, size_t(line.size()), out_);
        std::fflush(out_);
        return;
    }

    // Blank out the rest of a longer previous line.
    const int width = line.size();
    if (width < lastWidth_)
        line += QByteArray(lastWidth_ - width, ' ');
    lastWidth_ = width;

    std::fputc('\r', out_);
    std::fwrite(line.constData(), 1, size_t(line.size()), out_);
    std::fflush(out_);
    drawn_ = true;
}

std::unique_ptr<LoadProgress> openLoadProgress(const LoadProgressFactory& makeProgress,
                                               const QString& title, const QString& text, int high)
{
    std::unique_ptr<LoadProgress> progress = makeProgress ? makeProgress() : nullptr;
    if (!progress)
        progress = std::make_unique<NullLoadProgress>();
    progress->OpenProgress();
    progress->SetProgressTitle(title);
    progress->SetProgressText(text);
    progress->SetProgressRange(0, high);
    progress->SetProgressStep(1);
    progress->SetProgressPos(0);
    return progress;
}
