#include "SerialPort.h"
// Placeholder bodies; the termios implementation follows.
SerialPort::SerialPort(const QString& dev) : device(dev) { lastErr = 2; }
SerialPort::SerialPort() {}
SerialPort::~SerialPort() {}
QString SerialPort::lastErrorText() const { return errorText(lastErr); }
QString SerialPort::errorText(uint32_t) { return QString(); }
int SerialPort::Read(char*, int, bool) { return 0; }
int SerialPort::Write(const char*, int) { return 0; }
bool SerialPort::ArmEventWait() { return false; }
uint32_t SerialPort::GetEventResult(bool) { return 0; }
bool SerialPort::SetBaudRate(uint32_t) { return false; }
bool SerialPort::SetLineFormat(uint8_t, uint8_t, uint8_t) { return false; }
bool SerialPort::SetFlowControl(uint32_t, uint16_t, uint16_t, char, char) { return false; }
bool SerialPort::SetQueueSizes(uint32_t, uint32_t) { return false; }
bool SerialPort::SetReadTimeouts(uint32_t, uint32_t, uint32_t) { return false; }
bool SerialPort::SetWriteTimeouts(uint32_t, uint32_t) { return false; }
bool SerialPort::SetBreak() { return false; }
bool SerialPort::ClearBreak() { return false; }
bool SerialPort::ClearErrors(CommStatus*, uint32_t*) { return false; }
bool SerialPort::SetEventMask(uint32_t) { return false; }
bool SerialPort::Purge() { return false; }
bool SerialPort::GetState(CommState*) { return false; }
bool SerialPort::SetState(const CommState&) { return false; }
bool SerialPort::GetTimeouts(CommTimeouts*) { return false; }
bool SerialPort::SetTimeouts(const CommTimeouts&) { return false; }
bool SerialPort::StartReader(CommThreadProcedure, void*) { return false; }
uint32_t SerialPort::StopReader(const std::function<void()>&) { return 0; }
