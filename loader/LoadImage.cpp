#include "LoadImage.h"

#include "BigEndian.h"
#include "Crc32.h"

namespace loadimage
{

bool readHeader(const QByteArray& file, Cpm68kHeader* header)
{
    if (file.size() < kRamHeaderSize)
        return false;
    const auto* p = reinterpret_cast<const uchar*>(file.constData());
    header->magic = getBe16(p);
    header->textSize = getBe32(p + 2);
    header->dataSize = getBe32(p + 6);
    header->loadAddress = getBe32(p + 22);
    return !header->flash() || file.size() >= kFlashHeaderSize;
}

bool needsTrailerCheck(quint32 address, quint64 end)
{
    return address >= kFlashWindowStart && address % kFlashBlock == 0 && end <= kFlashWindowEnd;
}

QByteArray trailerBytes(quint32 crc, quint32 totalLength)
{
    QByteArray t(kTrailerSize, '\0');
    auto* p = reinterpret_cast<uchar*>(t.data());
    memcpy(p + 0, "AppB", 4);
    memcpy(p + 4, "lock", 4);
    memcpy(p + 8, "QX?\0", 4);
    memcpy(p + 12, "USER", 4);
    putBe32(p + 16, 0xFFFFFFFFu);
    putBe32(p + 20, crc);
    putBe32(p + 24, 0xFFFFFFFFu);
    putBe32(p + 28, totalLength);
    return t;
}

namespace
{

bool endsWithTrailer(const QByteArray& image)
{
    if (image.size() < kTrailerSize)
        return false;
    const char* t = image.constData() + image.size() - kTrailerSize;
    return memcmp(t, "AppB", 4) == 0 && memcmp(t + 4, "lock", 4) == 0 &&
           memcmp(t + 12, "USER", 4) == 0;
}

} // namespace

void addTrailer(QByteArray& image, quint32 address)
{
    const quint64 end = quint64(address) + quint64(image.size());
    if (end % kFlashBlock == 0 && endsWithTrailer(image))
        return;
    const quint32 used = quint32(end % kFlashBlock);
    if (used > kFlashBlock - kTrailerSize) {
        image.append(QByteArray(kTrailerSize, '\0'));
    } else {
        image.append(QByteArray(int(kFlashBlock - used), char(0xFF)));
    }
    const int before = image.size() - kTrailerSize;
    const quint32 crc = Crc32Update(reinterpret_cast<const uchar*>(image.constData()), before, 0);
    image.replace(before, kTrailerSize, trailerBytes(crc, quint32(image.size())));
}

namespace
{

QByteArray s2Address(quint32 address)
{
    uchar bytes[4] = {0x04, uchar(address >> 16), uchar(address >> 8), uchar(address)};
    uchar sum = 0;
    for (uchar b : bytes)
        sum = uchar(sum + b);
    const QByteArray hex =
        QByteArray(reinterpret_cast<const char*>(bytes + 1), 3).toHex().toUpper();
    return "S204" + hex + QByteArray::number(uchar(~sum), 16).rightJustified(2, '0').toUpper() +
           '\r';
}

} // namespace

QByteArray sRecordTail(quint32 address, quint32 end)
{
    return s2Address(address) + s2Address(end) + "S804000000FB\r";
}

} // namespace loadimage
