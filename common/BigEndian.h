// Big-endian values of the target's file formats (.BIN, CPM68K, S-records).
//
// Every multi-byte field of a target format goes through this one helper pair,
// so no caller ever depends on the host's byte order. ByteSpan is a read-only
// view with bounds checks in 64-bit arithmetic: offsets and lengths taken from
// an untrusted file can be tested with contains() before anything is read.
#pragma once

#include <QtGlobal>

inline quint16 getBe16(const uchar* p)
{
    return quint16((quint16(p[0]) << 8) | quint16(p[1]));
}

inline quint32 getBe32(const uchar* p)
{
    return (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
}

inline void putBe16(uchar* p, quint16 v)
{
    p[0] = uchar(v >> 8);
    p[1] = uchar(v);
}

inline void putBe32(uchar* p, quint32 v)
{
    p[0] = uchar(v >> 24);
    p[1] = uchar(v >> 16);
    p[2] = uchar(v >> 8);
    p[3] = uchar(v);
}

struct ByteSpan {
    const uchar* data = nullptr;
    qint64 size = 0;

    ByteSpan() = default;
    ByteSpan(const uchar* d, qint64 n) : data(d), size(n) {}
    ByteSpan(const char* d, qint64 n) : data(reinterpret_cast<const uchar*>(d)), size(n) {}

    // True when [offset, offset + length) lies inside the span.
    bool contains(qint64 offset, qint64 length) const
    {
        return offset >= 0 && length >= 0 && offset <= size && length <= size - offset;
    }

    // The part from offset on (callers check contains() first).
    ByteSpan from(qint64 offset) const { return ByteSpan(data + offset, size - offset); }
    ByteSpan part(qint64 offset, qint64 length) const { return ByteSpan(data + offset, length); }
};

// Reads a stream front to back; every take fails instead of reading past the end.
class SpanReader
{
public:
    explicit SpanReader(ByteSpan span) : span_(span) {}

    qint64 position() const { return pos_; }
    qint64 remaining() const { return span_.size - pos_; }

    bool take8(quint8& v)
    {
        if (!span_.contains(pos_, 1))
            return false;
        v = span_.data[pos_++];
        return true;
    }
    bool take16(quint16& v)
    {
        if (!span_.contains(pos_, 2))
            return false;
        v = getBe16(span_.data + pos_);
        pos_ += 2;
        return true;
    }
    bool take32(quint32& v)
    {
        if (!span_.contains(pos_, 4))
            return false;
        v = getBe32(span_.data + pos_);
        pos_ += 4;
        return true;
    }
    // Hands out the next n bytes without copying them.
    bool takeBytes(qint64 n, const uchar*& p)
    {
        if (!span_.contains(pos_, n))
            return false;
        p = span_.data + pos_;
        pos_ += n;
        return true;
    }

private:
    ByteSpan span_;
    qint64 pos_ = 0;
};
