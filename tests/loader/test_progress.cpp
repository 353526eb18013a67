// The progress interface: range (never wrapped at 16 bits), step and position rules, the cancel
// flag, the console presenter's one line, and the board of many loads' rows.
#include "LoadBoard.h"
#include "LoadProgress.h"
#include "TestSupport.h"
#include "UserFeedback.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

TEST(LoadProgress, RangeBoundsAreKeptWhole)
{
    const struct {
        const char* name;
        int low, high;
        int wantLow, wantHigh;
    } cases[] = {
        {"plain", 0, 3, 0, 3},
        {"largest 16-bit bound", 0, 65535, 0, 65535},
        {"65536 does not wrap to 0", 0, 65536, 0, 65536},
        {"70000 stays 70000", 0, 70000, 0, 70000},
        {"1 MiB in 16-byte steps", 0, (1 << 20) / 16 + 5, 0, 65541},
        {"64 MiB in 16-byte steps", 0, (64 << 20) / 16, 0, 4194304},
        {"negative bound is 0", -5, 10, 0, 10},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        NullLoadProgress p;
        p.SetProgressRange(c.low, c.high);
        EXPECT_EQ(p.rangeLow(), c.wantLow);
        EXPECT_EQ(p.rangeHigh(), c.wantHigh);
    }
}

TEST(LoadProgress, DefaultsAndPositionRules)
{
    NullLoadProgress p;
    EXPECT_EQ(p.rangeLow(), 0);
    EXPECT_EQ(p.rangeHigh(), 100);
    EXPECT_EQ(p.step(), 10);
    EXPECT_TRUE(p.OpenProgress());

    p.SetProgressRange(0, 3);
    p.SetProgressStep(1);
    p.SetProgressPos(0);
    p.StepProgress();
    p.StepProgress();
    EXPECT_EQ(p.position(), 2);
    p.StepProgress();
    p.StepProgress(); // one more than the range holds
    EXPECT_EQ(p.position(), 3);
    p.SetProgressPos(-7);
    EXPECT_EQ(p.position(), 0);
    p.SetProgressPos(99);
    EXPECT_EQ(p.position(), 3);
}

TEST(LoadProgress, CancelIsReadOnceAndCleared)
{
    NullLoadProgress p;
    EXPECT_FALSE(p.CheckCancel());
    p.requestCancel();
    p.requestCancel(); // pressed twice before the transfer polls
    EXPECT_TRUE(p.CheckCancel());
    EXPECT_FALSE(p.CheckCancel());
}

namespace
{

// Pumping is the presenter's business: a press arriving while events are
// pumped is seen by the same CheckCancel.
class PressDuringPump : public LoadProgress
{
public:
    int pumps = 0;
    bool pressOnNextPump = false;

protected:
    void pumpEvents() override
    {
        ++pumps;
        if (pressOnNextPump) {
            pressOnNextPump = false;
            requestCancel();
        }
    }
};

class CannotShow : public LoadProgress
{
protected:
    bool openView() override { return false; }
    void showPosition() override { ++shown; }

public:
    int shown = 0;
};

QByteArray readStream(std::FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    QByteArray all;
    char buf[256];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        all.append(buf, int(n));
    return all;
}

} // namespace

TEST(LoadProgress, EveryPollPumpsEvents)
{
    PressDuringPump p;
    p.OpenProgress();
    p.SetProgressPos(0);
    p.StepProgress();
    EXPECT_EQ(p.pumps, 2);
    p.pressOnNextPump = true;
    EXPECT_TRUE(p.CheckCancel());
    EXPECT_EQ(p.pumps, 3);
}

TEST(LoadProgress, TransferRunsWhenTheDisplayCannotBeShown)
{
    CannotShow p;
    EXPECT_FALSE(p.OpenProgress());
    EXPECT_FALSE(p.isOpen());
    p.SetProgressRange(0, 10);
    p.SetProgressStep(1);
    p.StepProgress();
    EXPECT_EQ(p.position(), 1);
    EXPECT_EQ(p.shown, 0);
    p.requestCancel();
    EXPECT_TRUE(p.CheckCancel());
}

TEST(ConsoleLoadProgress, OneLineRewrittenInPlaceAndEnded)
{
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ConsoleLoadProgress p(f);
        ASSERT_TRUE(p.OpenProgress());
        p.SetProgressTitle(QStringLiteral("Brennock PostLink"));
        p.SetProgressText(QStringLiteral("/work/APP"));
        p.SetProgressRange(0, 4);
        p.SetProgressStep(1);
        p.SetProgressPos(0);
        p.StepProgress();
        p.StepProgress();
        EXPECT_EQ(readStream(f), "\rBrennock PostLink: /work/APP [--------------------] 0/4"
                                 "\rBrennock PostLink: /work/APP [#####---------------] 1/4"
                                 "\rBrennock PostLink: /work/APP [##########----------] 2/4");
        std::fseek(f, 0, SEEK_END);
    }
    EXPECT_TRUE(readStream(f).endsWith("2/4\n"));
    std::fclose(f);
}

TEST(ConsoleLoadProgress, NothingPrintedWithoutProgress)
{
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ConsoleLoadProgress p(f);
        p.OpenProgress();
        p.SetProgressTitle(QStringLiteral("Sending..."));
    }
    EXPECT_EQ(readStream(f), QByteArray());
    std::fclose(f);
}

TEST(ConsoleLoadProgress, PlainLinesWhenNotATerminal)
{
    // A log or a pipe gets whole lines: the start and each further tenth, not one
    // line per step of a 1 MiB load.
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        ConsoleLoadProgress p(f, false);
        p.OpenProgress();
        p.SetProgressTitle(QStringLiteral("Sending CPM68K File"));
        p.SetProgressText(QStringLiteral("1048576 Bytes to 100000 @ 115200 Baud"));
        p.SetProgressRange(0, 1025);
        p.SetProgressStep(1);
        p.SetProgressPos(0);
        for (int i = 0; i < 1025; ++i)
            p.StepProgress();
    }
    const QByteArray out = readStream(f);
    std::fclose(f);
    EXPECT_FALSE(out.contains('\r'));
    EXPECT_EQ(out.count('\n'), 11) << out.toStdString();
    EXPECT_TRUE(out.startsWith("Sending CPM68K File: 1048576 Bytes to 100000 @ 115200 Baud "
                               "[--------------------] 0/1025\n"));
    EXPECT_TRUE(out.endsWith("[####################] 1025/1025\n"));
}

namespace
{
// What a terminal shows after bytes: text, CR, LF, and the cursor-up (ESC [ n A),
// erase-line (ESC [ K) and erase-below (ESC [ J) that the board uses.
QStringList screenAfter(const QByteArray& bytes)
{
    QStringList lines{QString()};
    int row = 0, col = 0;
    for (int i = 0; i < bytes.size(); ++i) {
        const char c = bytes.at(i);
        if (c == '\x1b' && i + 1 < bytes.size() && bytes.at(i + 1) == '[') {
            int j = i + 2, n = 0;
            while (j < bytes.size() && std::isdigit(uchar(bytes.at(j))))
                n = n * 10 + (bytes.at(j++) - '0');
            const char op = j < bytes.size() ? bytes.at(j) : '?';
            if (op == 'A')
                row = std::max(row - std::max(n, 1), 0);
            else if (op == 'K' || op == 'J')
                lines[row].truncate(col);
            if (op == 'J')
                lines = lines.mid(0, row + 1);
            i = j;
        } else if (c == '\r') {
            col = 0;
        } else if (c == '\n') {
            col = 0;
            if (++row == lines.size())
                lines << QString();
        } else {
            lines[row] =
                lines[row].leftJustified(col).left(col) + QLatin1Char(c) + lines[row].mid(col + 1);
            ++col;
        }
    }
    return lines;
}
} // namespace

TEST(LoadBoard, RowsRedrawnInPlaceWithMessagesAboveThem)
{
    std::FILE* f = std::tmpfile();
    ASSERT_NE(f, nullptr);
    {
        LoadBoard board(f, true, {QStringLiteral("A"), QStringLiteral("BB")});
        const std::unique_ptr<LoadProgress> p = openLoadProgress(
            board.progressFor(1), QStringLiteral("Sending"), QStringLiteral("x"), 4);
        p->StepProgress();
        board.feedbackFor(0).message(QStringLiteral("gone\rreplug it"), QStringLiteral("Error"),
                                     MessageIcon::Warning);
        p->StepProgress();
        board.finish(0, false);
        board.finish(1, true);
    }
    const QStringList screen = screenAfter(readStream(f));
    std::fclose(f);
    EXPECT_EQ(screen,
              QStringList({QStringLiteral("A: Error: gone"), QStringLiteral("A: replug it"),
                           QStringLiteral("A   failed"),
                           QStringLiteral("BB  done  [##########----------] 2/4  Sending: x"),
                           QString()}))
        << screen.join(QLatin1Char('|')).toStdString();
}
