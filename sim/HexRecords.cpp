#include "HexRecords.h"

#include <cctype>

namespace qx2sim
{

namespace
{

bool hexBytes(const QByteArray& text, QByteArray* out)
{
    if (text.size() % 2)
        return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c)))
            return false;
    *out = QByteArray::fromHex(text);
    return true;
}

int addressBytesOfS(int type)
{
    switch (type) {
    case 0:
    case 1:
    case 5:
    case 9:
        return 2;
    case 2:
    case 6:
    case 8:
        return 3;
    case 3:
    case 7:
        return 4;
    default:
        return -1;
    }
}

} // namespace

bool parseHexRecord(const QByteArray& lineIn, HexRecord* out)
{
    const QByteArray line = lineIn.trimmed();
    HexRecord r;
    QByteArray bytes;
    if (line.size() >= 4 && (line[0] == 'S' || line[0] == 's')) {
        r.format = 'S';
        if (!std::isdigit(static_cast<unsigned char>(line[1])))
            return false;
        r.type = line[1] - '0';
        const int addrLen = addressBytesOfS(r.type);
        if (addrLen < 0 || !hexBytes(line.mid(2), &bytes) || bytes.isEmpty())
            return false;
        const int count = static_cast<unsigned char>(bytes[0]);
        if (count != bytes.size() - 1 || count < addrLen + 1)
            return false;
        unsigned sum = 0;
        for (int i = 0; i < bytes.size() - 1; ++i)
            sum += static_cast<unsigned char>(bytes[i]);
        r.checksumOk = static_cast<unsigned char>(~sum) == static_cast<unsigned char>(bytes.back());
        for (int i = 0; i < addrLen; ++i)
            r.address = (r.address << 8) | static_cast<unsigned char>(bytes[1 + i]);
        r.data = bytes.mid(1 + addrLen, count - addrLen - 1);
    } else if (line.size() >= 11 && line[0] == ':') {
        r.format = ':';
        if (!hexBytes(line.mid(1), &bytes) || bytes.size() < 5)
            return false;
        const int count = static_cast<unsigned char>(bytes[0]);
        if (bytes.size() != count + 5)
            return false;
        unsigned sum = 0;
        for (char b : bytes)
            sum += static_cast<unsigned char>(b);
        r.checksumOk = (sum & 0xFFu) == 0;
        r.address =
            (static_cast<unsigned char>(bytes[1]) << 8) | static_cast<unsigned char>(bytes[2]);
        r.type = static_cast<unsigned char>(bytes[3]);
        r.data = bytes.mid(4, count);
    } else {
        return false;
    }
    *out = r;
    return true;
}

QByteArray makeSRecord(int type, quint32 address, const QByteArray& data)
{
    const int addrLen = addressBytesOfS(type);
    QByteArray body;
    body.append(static_cast<char>(addrLen + data.size() + 1));
    for (int i = addrLen - 1; i >= 0; --i)
        body.append(static_cast<char>(address >> (8 * i)));
    body += data;
    unsigned sum = 0;
    for (char b : body)
        sum += static_cast<unsigned char>(b);
    body.append(static_cast<char>(~sum));
    return "S" + QByteArray::number(type) + body.toHex().toUpper();
}

} // namespace qx2sim
