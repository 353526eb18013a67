// What the image sender does to a CPM68K file before it goes on the line, as pure
// functions: the header fields it uses, the 32-byte application trailer that a
// flash application in the flash window must end with, and the three S-records
// that tell the monitor where a staged low-address flash image belongs.
#pragma once

#include <QByteArray>
#include <QtGlobal>

namespace loadimage
{

constexpr quint16 kMagicRam = 0x601A;   // 28-byte header
constexpr quint16 kMagicFlash = 0x601B; // 36-byte header
constexpr int kRamHeaderSize = 28;
constexpr int kFlashHeaderSize = 36;

constexpr quint32 kLowFlashLimit = 0x40000; // below: staged, then moved by the monitor
constexpr quint32 kStagingAddress = 0x2D0000;
constexpr quint32 kFlashWindowStart = 0xE40000;
constexpr quint32 kFlashWindowEnd = 0xEFFFE0;
constexpr quint32 kFlashBlock = 0x10000;
constexpr int kTrailerSize = 32;
// Room for fill bytes and a trailer beyond the file's own bytes.
constexpr int kImageSlack = 65568;

struct Cpm68kHeader {
    quint16 magic = 0;
    quint32 textSize = 0;
    quint32 dataSize = 0;
    quint32 loadAddress = 0;
    bool flash() const { return magic == kMagicFlash; }
    int headerSize() const { return flash() ? kFlashHeaderSize : kRamHeaderSize; }
    quint64 count() const { return quint64(textSize) + dataSize; }
};

// False when the file is too short to hold a header.
bool readHeader(const QByteArray& file, Cpm68kHeader* header);

// True when an image loaded at address must end with an application trailer:
// the address is in the flash window on a 64 KiB boundary and the end is inside it.
bool needsTrailerCheck(quint32 address, quint64 end);

// Makes image (loaded at address) end with a valid trailer: unchanged when it
// already ends on a 64 KiB boundary with "AppB" "lock" .. "USER" in its last 32
// bytes; else grown by 32 bytes (end 1 to 31 bytes below a boundary) or filled
// with 0xFF to the next boundary (a full 64 KiB when on one) with the trailer in
// the last 32 bytes. The trailer's CRC covers every byte before it.
void addTrailer(QByteArray& image, quint32 address);

// The 32 trailer bytes for an image of totalLength bytes whose bytes before the
// trailer have the given CRC.
QByteArray trailerBytes(quint32 crc, quint32 totalLength);

// "S204" address checksum CR, "S204" end checksum CR, "S804000000FB" CR: 39 bytes.
QByteArray sRecordTail(quint32 address, quint32 end);

} // namespace loadimage
