// The time-outs and pauses of the monitor conversations, in one place. The
// program keeps these values; tests shorten the long ones through
// MonitorSession::setTiming (the defaults make a missing '+' take 110 s).
#pragma once

#include <cstdint>

struct ReadTimeouts {
    uint32_t interval;
    uint32_t perByte;
    uint32_t constant;
};

struct MonitorTiming {
    // A one-byte read during a block load gives up after 11 s.
    ReadTimeouts loadRead{0, 1000, 10000};
    // While waiting for '+' and '-': 1.1 s per read, 100 reads.
    ReadTimeouts replyRead{0, 100, 1000};
    uint32_t writePerByteMs = 10;
    uint32_t writeConstantMs = 1000;
    int replyReads = 100;
    // A '+' is the monitor's go-ahead only when the line stays quiet this long after
    // it: one inside a refusal ("LOAD: address + count ...") has text right behind it.
    int plusQuietMs = 30;

    // Prompt wake-up: after each CR, a pause, then the line is drained.
    int wakeAttempts = 5;
    int promptSettleMs = 25;
    int promptDrainMs = 50;

    // The longest a drain of the line goes on when the line never goes quiet.
    int drainLimitMs = 5000;

    // After the switch to the download rate, before the host's '+'.
    int baudSwitchMs = 100;
    // After a CPM68K load, before 'G'.
    int afterLoadDrainMs = 100;

    // "tom8" and "lo" of the hex download and the S-record tail.
    int tom8SettleMs = 500;
    int tom8DrainMs = 500;
    int loSettleMs = 10;
    int loDrainMs = 100;
    int hexEndDrainMs = 500;
    ReadTimeouts hexRead{1000, 0, 10000};
    uint32_t hexRate = 57600;

    // After LoadCpm68kFile: space, pause, BS, pause.
    int afterLoadKeyMs = 10;
    // PXE and capture send: after the CR that precedes the command.
    int commandSettleMs = 100;
};
