// Fuzzes the block load against a monitor that answers anything: the scripted line
// of the loader tests, each read taking the next input byte (0xFF 0xFF reads as a
// time-out). Whatever the answers, the line state and the terminal rate must be put
// back, the user told at most once, and success reported only when every block went
// out after its own '=' and the closing zero length followed.
#include "FakeMonitorLine.h"
#include "MonitorSession.h"
#include "RecordingFeedback.h"

#include <cstdlib>

namespace
{
constexpr uint32_t kTerminal = 9600;
constexpr uint32_t kDownload = 115200;

class AnsweringLine : public FakeMonitorLine
{
public:
    AnsweringLine(const uint8_t* data, size_t size)
        : answers(reinterpret_cast<const char*>(data), int(size))
    {
    }

    // What is queued: the bytes before the next time-out.
    int inputCount() override
    {
        const int pause = answers.indexOf("\xFF\xFF", at);
        return (pause < 0 ? answers.size() : pause) - at;
    }
    int read(char* buffer, int count) override
    {
        int n = 0;
        while (n < count && at < answers.size()) {
            if (uchar(answers[at]) == 0xFF && at + 1 < answers.size() &&
                uchar(answers[at + 1]) == 0xFF) {
                at += 2;
                break; // a time-out
            }
            const char c = answers[at++];
            if (c == '=' && state.baud == kDownload)
                equalsSinceBlock = true;
            buffer[n++] = c;
        }
        return n;
    }
    int write(const char* bytes, int count) override
    {
        if (state.baud == kDownload && count > 4) {
            if (!equalsSinceBlock)
                unasked = true;
            equalsSinceBlock = false;
            ++blocks;
        }
        return FakeMonitorLine::write(bytes, count);
    }

    int blocks = 0;
    bool unasked = false;

private:
    QByteArray answers;
    int at = 0;
    bool equalsSinceBlock = false;
};

void check(bool ok)
{
    if (!ok)
        std::abort();
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1)
        return 0;
    // The first byte chooses the image: 0 to 3,825 bytes (up to four blocks).
    const int count = data[0] * 15;
    AnsweringLine line(data + 1, size - 1);
    line.state.baud = kTerminal;
    const FakeLineState before = line.state;
    RecordingFeedback feedback;
    MonitorSession session(line, feedback, {kTerminal, kDownload});
    MonitorTiming timing;
    timing.replyReads = 20;
    timing.drainLimitMs = 50;
    session.setTiming(timing);
    session.setSleepFunction([](int) {});
    const QByteArray image(count, '\x5A');
    const int result = session.MonitorLoad(image.constData(), image.size(), 0x10000).ok() ? 0 : 1;

    check(line.state == before);
    check(line.restores == 1);
    check(!line.lowLatencyActive);
    check(feedback.messages.size() == (result == 0 ? 0 : 1));
    if (result == 0) {
        check(!line.unasked);
        check(line.blocks == (count + monitor::kBlockSize - 1) / monitor::kBlockSize);
        check(line.wire.endsWith(QByteArray(2, '\0')));
    }
    return 0;
}
