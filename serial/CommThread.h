// The comm thread: waits for received characters and hands them over to the UI thread.
#pragma once

#include <cstdint>

class SerialPort;
class ReaderHandOver;

// The comm thread's argument: the port it reads and where the bytes go. Its owner (the
// terminal document) keeps it for as long as the port exists and changes it only
// while no comm thread runs.
struct CommThreadContext {
    SerialPort* port = nullptr;
    ReaderHandOver* handOver = nullptr;
};

// Receives in units of at most this many bytes, one read per character event.
constexpr int kCommReadChunk = 1024;

// Thread procedure for SerialPort::StartReader with a CommThreadContext. Exit code 0
// when the loop ended (StopReader, or a failed wait), 0xFFFFFFFF when the first wait
// could not be armed.
uint32_t CommThreadProc(void* context);
