// Linux termios2 access, kept in its own file: <asm/termbits.h> and <termios.h>
// cannot share a translation unit.
#pragma once

#include <cstdint>

// Sets any rate in both directions (BOTHER). false with *error = errno on failure.
bool setArbitraryBaudRate(int fd, uint32_t rate, int* error);
// The rate the driver runs at, as a number; false when the driver cannot tell.
bool readActualBaudRate(int fd, uint32_t* rate);
