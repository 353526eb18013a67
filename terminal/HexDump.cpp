#include "HexDump.h"

#include <algorithm>

namespace
{
// Rows are dropped a megabyte at a time: one move of the kept bytes per megabyte.
constexpr qint64 kDropSlack = 1024 * 1024;
} // namespace

void HexDump::append(const char* bytes, int count, bool sentBytes)
{
    if (count <= 0)
        return;
    const qint64 at = endOffset();
    if (sentBytes) {
        if (!sent.isEmpty() && sent.last().to == at)
            sent.last().to += count;
        else
            sent.append({at, at + count});
    }
    data.append(bytes, count);
    if (data.size() > keep + kDropSlack)
        dropOldRows();
}

void HexDump::clear()
{
    data.clear();
    data.squeeze();
    sent.clear();
    base = 0;
}

void HexDump::setLimit(qint64 bytes)
{
    keep = std::max<qint64>(kBytesPerRow, (bytes + kBytesPerRow - 1) / kBytesPerRow * kBytesPerRow);
    if (data.size() > keep)
        dropOldRows();
}

void HexDump::dropOldRows()
{
    const qint64 excess = data.size() - keep;
    const int drop = int((excess + kBytesPerRow - 1) / kBytesPerRow * kBytesPerRow);
    data.remove(0, drop);
    base += drop;
    const auto gone =
        std::find_if(sent.begin(), sent.end(), [this](const Span& s) { return s.to > base; });
    sent.erase(sent.begin(), gone);
}

bool HexDump::wasSent(qint64 offset) const
{
    const auto after = std::upper_bound(sent.begin(), sent.end(), offset,
                                        [](qint64 o, const Span& s) { return o < s.from; });
    return after != sent.begin() && offset < (after - 1)->to;
}

QString HexDump::rowText(qint64 row, quint32* sentMask) const
{
    static const char digits[] = "0123456789abcdef";
    const qint64 first = qint64(row) * kBytesPerRow;
    QString text(charColumn(kBytesPerRow) + 1, QLatin1Char(' '));
    const qint64 offset = base + first;
    for (int i = 0; i < 8; ++i)
        text[i] = QLatin1Char(digits[(offset >> (28 - 4 * i)) & 15]);
    quint32 mask = 0;
    const int n = int(std::min<qint64>(kBytesPerRow, data.size() - first));
    text[charColumn(0) - 1] = QLatin1Char('|');
    for (int i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(data.at(int(first + i)));
        text[hexColumn(i)] = QLatin1Char(digits[c >> 4]);
        text[hexColumn(i) + 1] = QLatin1Char(digits[c & 15]);
        text[charColumn(i)] = c >= 0x20 && c < 0x7F ? QLatin1Char(char(c)) : QLatin1Char('.');
        if (wasSent(offset + i))
            mask |= 1u << i;
    }
    text[charColumn(n)] = QLatin1Char('|');
    text.truncate(charColumn(n) + 1);
    if (sentMask)
        *sentMask = mask;
    return text;
}
