#include "MemoryModel.h"

namespace qx2sim
{

QByteArray MemoryModel::read(quint32 address, int length) const
{
    QByteArray out(length, char(0xFF));
    const quint64 lo = address;
    const quint64 hi = lo + static_cast<quint64>(length);
    for (const MemoryWrite& w : writes) {
        const quint64 wlo = w.address;
        const quint64 whi = wlo + static_cast<quint64>(w.bytes.size());
        const quint64 from = qMax(lo, wlo);
        const quint64 to = qMin(hi, whi);
        for (quint64 a = from; a < to; ++a)
            out[static_cast<int>(a - lo)] = w.bytes[static_cast<int>(a - wlo)];
    }
    return out;
}

} // namespace qx2sim
