// The text outputs of a conversion: Motorola S-records of the image and the
// linker map with absolute addresses.
#include "PostLinkFormat.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace postlink
{

namespace
{

const char kHexDigits[] = "0123456789ABCDEF";

// Builds one record as bytes (count, address, data) with the checksum
// accumulated on the way, then prints it as hex.
class SRecordWriter
{
public:
    explicit SRecordWriter(QByteArray& out) : out_(out) {}

    void record(char type, quint32 address, int fill, const uchar* data, int n)
    {
        uchar bytes[4 + 32];
        int len = 0;
        bytes[len++] = uchar(4 + fill + n);
        bytes[len++] = uchar(address >> 16);
        bytes[len++] = uchar(address >> 8);
        bytes[len++] = uchar(address);
        std::memset(bytes + len, 0xFF, size_t(fill));
        len += fill;
        if (n > 0)
            std::memcpy(bytes + len, data, size_t(n));
        len += n;

        char line[2 + 2 * (4 + 32) + 2 + 2];
        int at = 0;
        line[at++] = 'S';
        line[at++] = type;
        uchar sum = 0;
        for (int i = 0; i < len; ++i) {
            sum = uchar(sum + bytes[i]);
            line[at++] = kHexDigits[bytes[i] >> 4];
            line[at++] = kHexDigits[bytes[i] & 15];
        }
        const uchar check = uchar(~sum);
        line[at++] = kHexDigits[check >> 4];
        line[at++] = kHexDigits[check & 15];
        line[at++] = '\r';
        line[at++] = '\n';
        out_.append(line, at);
    }

private:
    QByteArray& out_;
};

} // namespace

int WriteSRecords(ByteSpan image, quint32 start, QByteArray& text)
{
    if (qint64(start) + image.size > kAddressLimit)
        return AddressRange;

    try {
        // Sized by what is needed: each record carries at most 32 bytes in 78
        // characters; the fill below the start adds up to eight records.
        const qint64 records = image.size / 32 + 8 + 2;
        text.clear();
        text.reserve(int(records * 78 + 16));
        SRecordWriter w(text);

        int off = int(start % 256);
        quint32 address = start - quint32(off);
        if (off > 32) {
            for (int k = (off - 1) / 32; k > 0; --k) {
                w.record('2', address, 32, nullptr, 0);
                off -= 32;
                address += 32;
            }
        }

        const uchar* p = image.data;
        qint64 remaining = image.size;
        while (remaining > 0) {
            int n = int(std::min<qint64>(remaining, 32));
            // A short image after a large fill: the record must still carry
            // every fill byte and then image bytes, never a negative count.
            if (n < off)
                n = int(std::min<qint64>(remaining + off, 32));
            const int take = n - off;
            w.record('2', address, off, p, take);
            p += take;
            remaining -= take;
            address += quint32(n);
            off = 0;
        }
        w.record('8', start, 0, nullptr, 0);
    } catch (const std::bad_alloc&) {
        text.clear();
        return NotEnoughMemory;
    }
    return Ok;
}

namespace
{

bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// The number after a label as the listing's scanf conversions read it
// (leading white space, a sign, for hex an optional 0x), as a 32-bit value.
// False when there is no number or it does not fit 32 bits.
bool parseNumber(const QByteArray& text, int at, bool hexadecimal, quint32& value)
{
    const int end = text.size();
    while (at < end && isSpace(text[at]))
        ++at;
    bool negative = false;
    if (at < end && (text[at] == '+' || text[at] == '-'))
        negative = text[at++] == '-';
    const int base = hexadecimal ? 16 : 10;
    if (hexadecimal && at + 2 < end && text[at] == '0' && (text[at + 1] | 0x20) == 'x' &&
        hexValue(text[at + 2]) >= 0)
        at += 2;

    quint64 v = 0;
    int digits = 0;
    for (; at < end; ++at) {
        const int d = hexValue(text[at]);
        if (d < 0 || d >= base)
            break;
        v = v * quint64(base) + quint64(d);
        if (v > 0xFFFFFFFFull)
            return false;
        ++digits;
    }
    if (digits == 0)
        return false;
    if (!hexadecimal && v > (negative ? 0x80000000ull : 0x7FFFFFFFull))
        return false;
    value = negative ? quint32(0) - quint32(v) : quint32(v);
    return true;
}

// Rewrites every label occurrence from `from` on; returns the field start of
// the last occurrence (or -1).
int relocateEntries(QByteArray& text, const char* label, int from, bool hexadecimal, quint32 base,
                    int& relocated, int& skipped)
{
    constexpr int labelLength = 6;
    constexpr int fieldWidth = 7; // six digits and a space
    int last = -1;
    for (int at = text.indexOf(label, from); at >= 0; at = text.indexOf(label, from)) {
        const int field = at + labelLength;
        last = field;
        from = field;
        quint32 value = 0;
        if (field + fieldWidth > text.size() || !parseNumber(text, field, hexadecimal, value)) {
            ++skipped;
            continue;
        }
        const quint32 address = base + value;
        if (address > 0xFFFFFF) {
            ++skipped;
            continue;
        }
        char* out = text.data() + field;
        for (int i = 5; i >= 0; --i)
            out[5 - i] = kHexDigits[(address >> (4 * i)) & 15];
        out[6] = ' ';
        from = field + fieldWidth;
        ++relocated;
    }
    return last;
}

} // namespace

MapRelocation RelocateMapText(QByteArray& text, quint32 codeBase, quint32 a5Address)
{
    MapRelocation r;
    const int lastCode =
        relocateEntries(text, "Code: ", 0, true, codeBase, r.codeEntries, r.skipped);
    // "Data: " entries before the last "Code: " entry are left as they are.
    relocateEntries(text, "Data: ", std::max(lastCode, 0), false, a5Address, r.dataEntries,
                    r.skipped);
    return r;
}

} // namespace postlink
