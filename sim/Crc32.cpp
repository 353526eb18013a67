#include "Crc32.h"

#include <array>

namespace qx2sim
{
namespace
{

std::array<std::uint32_t, 256> makeTable()
{
    std::array<std::uint32_t, 256> table{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1u) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

} // namespace

std::uint32_t Crc32Update(const void* data, std::size_t length, std::uint32_t crc)
{
    static const std::array<std::uint32_t, 256> table = makeTable();
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ p[i]) & 0xFFu];
    return crc;
}

} // namespace qx2sim
