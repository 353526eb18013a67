// Sends a pasted or generated block on the UI thread without ever blocking it.
//
// Unpaced, it hands the driver as much as it takes at once and comes back when the
// line has room again; paced, it writes one byte, waits until the line has sent it
// (on a slow line the byte time comes before the delay, as it does on the wire),
// and lets the character or line-feed delay pass on a timer. Between steps the event
// loop runs, so the window stays responsive, received text (the instrument's echo) is
// shown, and the user can cancel. Blocks given while one is being sent queue behind
// it, in order.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <deque>
#include <functional>

class BlockSender : public QObject
{
public:
    static constexpr int kSliceMs = 10; // the longest the UI thread sends at a stretch
    static constexpr int kRetryMs = 5;  // line full: look again after this long

    struct Pacing {
        int charDelayMs = 0; // after every byte but a line feed
        int lfDelayMs = 0;   // after a line feed
    };
    enum class Outcome { Sent, Cancelled, Failed };

    // Writes what the driver takes at once: bytes taken, or -1 when the port is gone.
    using WriteSome = std::function<int(const char* bytes, int count)>;
    // Writes and waits until sent; the bytes sent, or -1 when the port is gone.
    using WriteOne = std::function<int(const char* byte)>;
    // True when the line has sent all it was given.
    using LineIdle = std::function<bool()>;
    using Echo = std::function<void(const char* bytes, int count)>;
    using Finished = std::function<void(Outcome outcome, qint64 sent, qint64 total)>;

    BlockSender(WriteSome writeSome, WriteOne writeOne, LineIdle lineIdle, Echo echo,
                Finished finished);

    // Queues the bytes with the pacing they are to go out with; the first steps run at
    // once, so a short block is often sent before this returns.
    void add(const QByteArray& bytes, const Pacing& pacing);
    // From add() until Finished, the pause after the last paced byte included.
    bool busy() const { return !data.isEmpty(); }
    // Ends the send now; Finished reports how far it got.
    void stop(Outcome outcome);

    // Each pause after a paced byte, as it is taken (a seam for tests).
    void setPauseObserver(std::function<void(int ms)> observer) { pauseObserver = observer; }

private:
    // The bytes of one add() end at end (an offset into data) and go out with pacing.
    struct Block {
        int end;
        Pacing pacing;
    };

    void step();
    void finish(Outcome outcome);
    bool moreToSend() const { return position < data.size(); }
    // The block the next byte belongs to; blocks already sent are dropped.
    const Block& currentBlock();

    WriteSome writeSome;
    WriteOne writeOne;
    LineIdle lineIdle;
    Echo echo;
    Finished finished;
    std::function<void(int)> pauseObserver;
    QTimer timer;
    QByteArray data;
    int position = 0;
    std::deque<Block> blocks; // in order; data holds their bytes back to back
    int pauseDue = -1;        // a paced byte is still on the line: then this pause
    bool stepping = false;
};
