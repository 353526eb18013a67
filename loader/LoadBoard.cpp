#include "LoadBoard.h"

#include "UserFeedback.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>

class LoadBoard::RowProgress : public LoadProgress
{
public:
    RowProgress(LoadBoard& board, int row) : board(board), row(row) {}

protected:
    void showPosition() override
    {
        // A row on a terminal puts the bar first, so that cutting it to the width
        // takes the end of the text, not the bar.
        QString what = title();
        if (!text().isEmpty())
            what += QLatin1String(": ") + text();
        board.progressed(row, QString::fromLocal8Bit(progressBarOf(*this)), what,
                         progressTenthOf(*this));
    }

private:
    LoadBoard& board;
    int row;
};

class LoadBoard::RowFeedback : public UserFeedback
{
public:
    RowFeedback(LoadBoard& board, int row) : board(board), row(row) {}
    MessageResult message(const QString& text, const QString& caption, MessageIcon,
                          MessageButtons buttons, MessageResult defaultResult) override
    {
        board.message(row, caption + QLatin1String(": ") + messageTextForDisplay(text));
        return buttons == MessageButtons::Ok ? MessageResult::Ok : defaultResult;
    }
    void beep() override {}
    void setStatusText(const QString&) override {}

private:
    LoadBoard& board;
    int row;
};

LoadBoard::LoadBoard(std::FILE* out, bool live, const QStringList& portNames) : out(out), live(live)
{
    for (int i = 0; i < portNames.size(); ++i) {
        rows.push_back(Row{portNames.at(i), QStringLiteral("starting"), -1});
        feedbacks.push_back(std::make_unique<RowFeedback>(*this, i));
        nameWidth = std::max(nameWidth, portNames.at(i).size());
    }
    std::lock_guard<std::mutex> lock(mutex);
    drawRows(true);
}

LoadBoard::~LoadBoard()
{
    std::lock_guard<std::mutex> lock(mutex);
    drawRows(true);
}

LoadProgressFactory LoadBoard::progressFor(int row)
{
    return [this, row] { return std::make_unique<RowProgress>(*this, row); };
}

UserFeedback& LoadBoard::feedbackFor(int row)
{
    return *feedbacks.at(size_t(row));
}

void LoadBoard::finish(int row, bool ok)
{
    std::lock_guard<std::mutex> lock(mutex);
    Row& r = rows.at(size_t(row));
    const QString ending = ok ? QStringLiteral("done") : QStringLiteral("failed");
    r.state = r.tenth < 0 ? ending : ending + QLatin1String("  ") + r.state;
    if (live)
        drawRows(true);
    else
        writeLine(row, ending);
}

void LoadBoard::progressed(int row, const QString& bar, const QString& what, int tenth)
{
    std::lock_guard<std::mutex> lock(mutex);
    Row& r = rows.at(size_t(row));
    r.state = bar + QLatin1String("  ") + what;
    const bool newTenth = tenth != r.tenth;
    r.tenth = tenth;
    if (live)
        drawRows(false);
    else if (newTenth)
        writeLine(row, what + QLatin1Char(' ') + bar);
}

void LoadBoard::message(int row, const QString& text)
{
    std::lock_guard<std::mutex> lock(mutex);
    if (live && drawn) {
        // Up to the first row and erase the rows; the message takes their place.
        std::fprintf(out, "\x1b[%zuA\r\x1b[J", rows.size());
        drawn = false;
    }
    writeLine(row, text);
    if (live)
        drawRows(true);
}

void LoadBoard::writeLine(int row, const QString& text)
{
    // Every line of a message names its port, so that a log can be read by port.
    QString lines;
    for (const QString& line : text.split(QLatin1Char('\n')))
        lines += rows.at(size_t(row)).name + QLatin1String(": ") + line + QLatin1Char('\n');
    const QByteArray bytes = lines.toLocal8Bit();
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), out);
    std::fflush(out);
}

void LoadBoard::drawRows(bool force)
{
    if (!live)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn && now - lastDraw < std::chrono::milliseconds(kRedrawMs))
        return;
    lastDraw = now;
    winsize size{};
    const int columns =
        ::ioctl(::fileno(out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? int(size.ws_col) : 80;
    QByteArray text;
    if (drawn)
        text += "\x1b[" + QByteArray::number(qulonglong(rows.size())) + 'A';
    for (const Row& r : rows) {
        // One column short of the width: a line that fills it wraps on some terminals.
        const QString row = (r.name.leftJustified(nameWidth) + QLatin1String("  ") + r.state)
                                .left(std::max(columns - 1, 1));
        text += "\r\x1b[K" + row.toLocal8Bit() + '\n';
    }
    std::fwrite(text.constData(), 1, size_t(text.size()), out);
    std::fflush(out);
    drawn = true;
}
