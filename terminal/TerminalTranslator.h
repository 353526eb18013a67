// The terminal's translation of received bytes, free of widgets.
//
// Each delivery of bytes (one read of the comm thread, a local echo, a loader's
// status line) is translated at once and in order into runs of at most 1021 bytes
// (a CR that expands to CR LF may make it 1022):
//   BEL  beeps and is not shown;
//   BS   flushes the run, then deletes the last character shown;
//   CR   becomes CR LF unless an LF follows in the same delivery; a CR expanded as the
//        last byte of a delivery marks it, and an LF that opens the next delivery is
//        then dropped (the mark goes with that delivery's first byte, whatever it is);
//   LF   after a CR of the same delivery completes the CR LF, else it becomes CR LF;
//   anything else passes unchanged.
// Every flushed run goes to the output exactly as it is, so the capture file gets
// each byte shown (and a character a BS removed stays in it). The widget coalesces
// the runs for display; the translation itself never waits.
#pragma once

class TerminalOutput
{
public:
    virtual ~TerminalOutput() = default;
    // A run of translated bytes; line breaks are CR LF. Valid only during the call.
    virtual void run(const char* bytes, int count) = 0;
    // Delete the last character shown.
    virtual void backspace() = 0;
    virtual void bell() = 0;
};

class TerminalTranslator
{
public:
    static constexpr int kRunLimit = 1021; // a run this long is flushed first
    static constexpr int kRunCapacity = 1024;

    // Translates one delivery into output, in order.
    void deliver(const char* bytes, int count, TerminalOutput& output);

    // Forget the mark of a delivery that ended with an expanded CR (a cleared screen).
    void reset() { endedWithExpandedCr = false; }
    bool lastDeliveryEndedWithExpandedCr() const { return endedWithExpandedCr; }

private:
    bool endedWithExpandedCr = false;
};
