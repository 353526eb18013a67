// The comm thread: waits for received characters and hands them to the document.
#pragma once

#include <cstdint>

class SerialPort;
class CBrennockDoc;

// The comm thread's argument. It lives inside the document, so it stays valid for as
// long as the port exists.
struct CommThreadContext {
    SerialPort* port = nullptr;
    CBrennockDoc* document = nullptr;
};

// Receives in units of at most this many bytes, one read per character event.
constexpr int kCommReadChunk = 1024;

// Thread procedure for SerialPort::StartReader with a CommThreadContext. Exit code 0
// when the loop ended (StopReader, or a failed wait), 0xFFFFFFFF when the first wait
// could not be armed.
uint32_t CommThreadProc(void* context);
