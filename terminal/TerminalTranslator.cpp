#include "TerminalTranslator.h"

#include "ControlChars.h"

namespace
{
using ascii::kBel;
using ascii::kBs;
using ascii::kCr;
using ascii::kLf;
} // namespace

void TerminalTranslator::deliver(const char* bytes, int count, TerminalOutput& output)
{
    char run[kRunCapacity];
    int length = 0;
    const auto flush = [&] {
        if (length > 0)
            output.run(run, length);
        length = 0;
    };

    const bool followsExpandedCr = endedWithExpandedCr;
    if (count > 0)
        endedWithExpandedCr = false; // the first byte clears the mark, whatever it is

    for (int i = 0; i < count; ++i) {
        if (length >= kRunLimit)
            flush();
        const char byte = bytes[i];
        switch (byte) {
        case kBel:
            output.bell();
            break;
        case kBs:
            flush();
            output.backspace();
            break;
        case kCr:
            run[length++] = kCr;
            if (i + 1 == count || bytes[i + 1] != kLf) {
                run[length++] = kLf;
                if (i + 1 == count)
                    endedWithExpandedCr = true;
            }
            break;
        case kLf:
            if (i > 0 && bytes[i - 1] == kCr) {
                run[length++] = kLf;
            } else if (i == 0 && followsExpandedCr) {
                // The far end's CR LF was split across two reads: one break, not two.
            } else {
                run[length++] = kCr;
                run[length++] = kLf;
            }
            break;
        default:
            run[length++] = byte;
            break;
        }
    }
    flush();
}
