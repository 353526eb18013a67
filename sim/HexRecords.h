// Reading the text that "lo" downloads carry: Motorola S-records and Intel
// hex lines. The monitor uses them to find the end of a download and to put
// the data bytes into its memory.
#pragma once

#include <QByteArray>
#include <QList>

namespace qx2sim
{

struct HexRecord {
    char format = 'S';   // 'S' (Motorola) or ':' (Intel)
    int type = 0;        // S-record digit, or Intel record type
    quint32 address = 0; // as written in the record (Intel: without extension)
    QByteArray data;
    bool checksumOk = false;

    // S7/S8/S9, or Intel type 01.
    bool isEnd() const { return format == 'S' ? (type >= 7 && type <= 9) : type == 1; }
    // S1/S2/S3, or Intel type 00.
    bool isData() const { return format == 'S' ? (type >= 1 && type <= 3) : type == 0; }
};

// Parses one line without its line end. False when it is not a well-formed
// record (a bad checksum still parses, with checksumOk false).
bool parseHexRecord(const QByteArray& line, HexRecord* out);

// "S204" + address as six hex digits + checksum: the record the loader sends
// to name the ends of a flash image. Any S-record with address bytes and data.
QByteArray makeSRecord(int type, quint32 address, const QByteArray& data);

} // namespace qx2sim
