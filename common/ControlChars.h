// The ASCII control characters that the programs send or look for, by name, in
// one place.
#pragma once

namespace ascii
{
constexpr char kEtx = 0x03;  // Ctrl+C: ends a capture send, stops a program
constexpr char kBel = 0x07;
constexpr char kBs = 0x08;
constexpr char kLf = 0x0A;
constexpr char kCr = 0x0D;
constexpr char kXon = 0x11;  // DC1: software flow control, go on
constexpr char kXoff = 0x13; // DC3: software flow control, stop
} // namespace ascii
