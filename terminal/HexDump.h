// The bytes of the line for the hex view, free of widgets: what the port received and
// what was sent to it, in the order they crossed, each sent byte marked as such.
//
// Rows of 16: "OOOOOOOO  hh hh ... hh  |printable|", the offset counting every byte
// since the dump was cleared. Only the last limit() bytes are kept (16 MiB, the text
// view's bound in characters); older rows are dropped whole, so offsets stay aligned.
#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

class HexDump
{
public:
    static constexpr int kBytesPerRow = 16;
    static constexpr qint64 kDefaultLimit = 16 * 1024 * 1024;

    void append(const char* bytes, int count, bool sent);
    void clear();
    // The most bytes kept (rounded up to whole rows); kDefaultLimit but for tests.
    void setLimit(qint64 bytes);
    qint64 limit() const { return keep; }

    qint64 firstOffset() const { return base; } // of the oldest byte kept
    qint64 endOffset() const { return base + data.size(); }
    qint64 rowCount() const { return (data.size() + kBytesPerRow - 1) / kBytesPerRow; }
    const QByteArray& keptBytes() const { return data; }
    bool wasSent(qint64 offset) const;

    // Row row of the kept rows (0 the oldest); bit i of *sentMask set when its byte i was
    // sent. Printable ASCII shows as itself, every other byte as '.'.
    QString rowText(qint64 row, quint32* sentMask = nullptr) const;
    // Character columns of byte i's hex pair and of its printable character in a row.
    static int hexColumn(int i) { return 10 + 3 * i + (i >= 8 ? 1 : 0); }
    static int charColumn(int i) { return 10 + 3 * kBytesPerRow + 1 + 2 + i; }

private:
    struct Span {
        qint64 from, to; // sent bytes [from, to)
    };
    void dropOldRows();

    QByteArray data;
    qint64 base = 0;
    QVector<Span> sent;
    qint64 keep = kDefaultLimit;
};
