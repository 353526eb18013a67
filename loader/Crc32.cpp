#include "Crc32.h"

#include <array>

namespace
{

std::array<quint32, 256> makeTable()
{
    std::array<quint32, 256> table{};
    for (quint32 i = 0; i < 256; ++i) {
        quint32 c = i;
        for (int bit = 0; bit < 8; ++bit)
            c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
        table[i] = c;
    }
    return table;
}

} // namespace

quint32 Crc32Update(const uchar* data, qint64 length, quint32 crc)
{
    static const std::array<quint32, 256> table = makeTable();
    for (qint64 i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ data[i]) & 0xFF];
    return crc;
}
