// The load check: the table-driven, reflected CRC-32 of IEEE 802.3 (constant
// 0xEDB88320), run without initial or final inversion. Every caller starts at 0,
// so "123456789" gives 0x2DFD2D88.
#pragma once

#include <QtGlobal>

quint32 Crc32Update(const uchar* data, qint64 length, quint32 crc);
