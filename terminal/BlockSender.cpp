#include "BlockSender.h"

#include "ControlChars.h"

#include <QElapsedTimer>

namespace
{
using ascii::kLf;
constexpr int kChunk = 1024; // at most this much per write
} // namespace

BlockSender::BlockSender(WriteSome writeSome, WriteOne writeOne, LineIdle lineIdle, Echo echo,
                         Finished finished)
    : writeSome(std::move(writeSome)), writeOne(std::move(writeOne)), lineIdle(std::move(lineIdle)),
      echo(std::move(echo)), finished(std::move(finished))
{
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&timer, &QTimer::timeout, this, [this] { step(); });
}

void BlockSender::add(const QByteArray& bytes, const Pacing& newPacing)
{
    if (bytes.isEmpty())
        return;
    const bool idle = !busy();
    if (idle) {
        data.clear();
        position = 0;
        blocks.clear();
    }
    data.append(bytes);
    // Each block goes out with its own pacing, the one in progress as well as those
    // queued behind it.
    blocks.push_back({int(data.size()), newPacing});
    if (idle && !stepping)
        step();
}

const BlockSender::Block& BlockSender::currentBlock()
{
    while (blocks.size() > 1 && blocks.front().end <= position)
        blocks.pop_front();
    return blocks.front();
}

void BlockSender::step()
{
    // A step can end in Finished, whose handler may queue the next block: no re-entry.
    stepping = true;
    if (pauseDue >= 0) {
        if (!lineIdle()) {
            timer.start(kRetryMs);
            stepping = false;
            return;
        }
        const int pause = pauseDue;
        pauseDue = -1;
        if (pause > 0) {
            timer.start(pause);
            stepping = false;
            return;
        }
    }
    QElapsedTimer slice;
    slice.start();
    while (moreToSend()) {
        const Block& block = currentBlock();
        const Pacing pacing = block.pacing;
        const bool paced = pacing.charDelayMs > 0 || pacing.lfDelayMs > 0;
        if (paced && !lineIdle()) {
            timer.start(kRetryMs);
            stepping = false;
            return;
        }
        const char* next = data.constData() + position;
        const int wanted = paced ? 1 : std::min(kChunk, block.end - position);
        const int taken = paced ? writeOne(next) : writeSome(next, wanted);
        if (taken < 0) {
            stepping = false;
            finish(Outcome::Failed);
            return;
        }
        if (taken > 0) {
            position += taken;
            echo(next, taken);
        }
        if (taken < wanted) {
            timer.start(kRetryMs); // the line is full: wait for room
            stepping = false;
            return;
        }
        if (paced) {
            const int pause = *next == kLf ? pacing.lfDelayMs : pacing.charDelayMs;
            if (pauseObserver)
                pauseObserver(pause);
            // The delay counts from the moment the byte has left.
            if (!lineIdle()) {
                pauseDue = pause;
                timer.start(kRetryMs);
                stepping = false;
                return;
            }
            if (pause > 0) { // after the last byte too: a queued block waits for it
                timer.start(pause);
                stepping = false;
                return;
            }
        }
        if (slice.elapsed() >= kSliceMs && moreToSend()) {
            timer.start(0); // let the event loop run
            stepping = false;
            return;
        }
    }
    stepping = false;
    finish(Outcome::Sent);
}

void BlockSender::stop(Outcome outcome)
{
    if (busy())
        finish(outcome);
}

void BlockSender::finish(Outcome outcome)
{
    timer.stop();
    const qint64 sent = position, total = data.size();
    data.clear();
    position = 0;
    blocks.clear();
    pauseDue = -1;
    if (finished)
        finished(outcome, sent, total);
}
