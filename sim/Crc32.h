// CRC-32 as the boot monitor checks a load: the reflected IEEE 802.3 table
// (0xEDB88320), run from the register value the caller passes (the loader
// always starts at 0) and without the final inversion. "123456789" from 0
// gives 0x2DFD2D88.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx2sim
{

std::uint32_t Crc32Update(const void* data, std::size_t length, std::uint32_t crc);

} // namespace qx2sim
