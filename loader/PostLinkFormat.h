// The post-link converter's pure part: from the bytes of a .BIN linker output
// to the load image, its S-records and the relocated map text, without files.
//
// A .BIN file is a 128-byte header followed by a resource fork. 'CODE' 0 gives
// the sizes of the A5 world, 'CODE' 1 is the code segment with the load-type
// table inside it, 'DATA' 0 holds the data-initialisation stream followed by
// six relocation tables (three for the A5 world, three for the code). For one
// load type the converter builds an absolute image of code + A5 world whose
// first 324 bytes are replaced by the start-up block (header record, stub,
// signature, start-up routine).
//
// The input is untrusted: every offset, count and length is checked against
// its buffer before use, and a malformed file ends the conversion with an
// error code and a text saying what is wrong. Functions here never allocate
// more than the 16 MiB that a 24-bit target address space can hold.
#pragma once

#include "BigEndian.h"

#include <QByteArray>
#include <QString>

#include <array>

namespace postlink
{

// Result codes of one conversion. 1 to 5 are the converter's classic codes;
// 201 and up are the checks of a malformed file. System errors (errno) of failed
// file operations are never stored as one of these: see LoadTypeOutcome.
enum Error : int {
    Ok = 0,
    NotEnoughMemory = 1,
    CannotOpenBin = 2,
    MissingResource = 3,
    NoSignature = 4,
    NoSuchType = 5,
    BadResourceFork =
        201, // fork header, map, type or reference list, or a resource outside the file
    BadLoadTypeTable = 202, // load-type table outside the code, or an unusable file extension
    BadDataInit = 203,      // data-initialisation stream truncated or writing outside the A5 world
    BadRelocation = 204,    // relocation stream truncated or a target outside its area
    SelfRelocation = 205,   // a non-empty third relocation table (no meaning on the target)
    CodeTooShort = 206,     // code segment shorter than the 324-byte start-up block
    AddressRange = 207,     // image does not fit below 0x1000000 (24-bit S-record addresses)
};

// Short description of a converter code.
QString errorText(int code);
// The system's words for an errno value.
QString systemErrorText(int error);

constexpr int kBinHeaderSize = 128;
constexpr int kHeaderRecordSize = 152;
constexpr int kStartupBlockSize = 324;
constexpr int kLoadTypeEntrySize = 64;
constexpr qint64 kAddressLimit = 0x1000000;
extern const char kSignature[]; // "Tandrowel startup stamp 96"
constexpr int kSignatureLength = 26;
extern const uchar kStartupStub[40];
extern const uchar kStartupRoutine[144];

constexpr quint32 fourCc(const char (&s)[5])
{
    return (quint32(uchar(s[0])) << 24) | (quint32(uchar(s[1])) << 16) |
           (quint32(uchar(s[2])) << 8) | quint32(uchar(s[3]));
}

struct ConversionError {
    int code = Ok;
    QString detail; // what is wrong, for the user

    bool failed() const { return code != Ok; }
};

// FindForkResource: the first resource of the given type and ID, scanning the
// type list and then its reference list in order.
enum class Lookup { Found, Missing, Malformed };
struct ForkResource {
    Lookup status = Lookup::Missing;
    ByteSpan bytes;  // the resource's data (after its length word)
    QString problem; // set when Malformed
};
ForkResource FindForkResource(ByteSpan fork, quint32 type, qint16 id);

// A window of the image that a stream may touch. Offsets in the stream count
// from origin; every byte written or relocated must lie in [low, high).
struct ImageArea {
    uchar* image = nullptr;
    qint64 origin = 0;
    qint64 low = 0;
    qint64 high = 0;
    const char* name = "image"; // for messages: "A5 world", "code"
};

// Outcome of a stream step: the position after what it read, or an error.
struct StreamResult {
    int error = Ok;
    qint64 end = 0;
    QString detail;
};

// Expands the three data-initialisation blocks into the A5 world (origin = A5).
StreamResult ExpandDataInit(ByteSpan stream, const ImageArea& area);

// Applies one group of three relocation tables to an area: the first adds the
// A5 address, the second the code base. The third would add the converter's
// own buffer address, which has no meaning on the target: a non-empty third
// table is refused with SelfRelocation.
StreamResult ApplyRelocations(ByteSpan stream, const ImageArea& area, quint32 a5Address,
                              quint32 codeBase);

// The 152-byte header record in host order, indexed by byte offset.
class HeaderRecord
{
public:
    quint32 at(int offset) const { return words_[size_t(offset / 4)]; }
    void set(int offset, quint32 v) { words_[size_t(offset / 4)] = v; }

    quint32 textStart() const { return at(40); }
    quint32 totalLength() const { return at(44); }
    quint32 codeSize() const { return at(52); }
    quint32 dataStart() const { return at(60); }
    quint32 a5WorldSize() const { return at(64); }
    quint32 loadType() const { return at(84); }
    quint32 a5Address() const { return at(96); }
    quint32 codeBase() const { return at(100); }
    // Up to four characters of an extension word (124, 128, 132), ending at a NUL.
    QString extension(int offset) const;

    // Offsets 40 to 135 and 148 to 151 as big-endian words; the rest stays 0.
    void store(uchar* out) const;

private:
    std::array<quint32, kHeaderRecordSize / 4> words_{};
};

struct LoadImage {
    QByteArray image; // code, then A5 world; the start-up block at its front
    HeaderRecord header;
    QString cpmExtension;
    QString srecExtension;
    QString mapExtension;
};

// Builds the image of one load type (1, 2 or 3) from a whole .BIN file.
ConversionError BuildLoadImage(ByteSpan binFile, int type, LoadImage& out);

// The 28-byte (type 1, magic 0x601A) or 36-byte (0x601B) CPM68K file header.
QByteArray BuildCpm68kHeader(const HeaderRecord& header);

// S2 data records from the 256-byte boundary below start (0xFF fill before the
// image) and an S8 end record carrying start; CR LF after each record.
// Returns Ok, NotEnoughMemory, or AddressRange when the image does not fit
// 24-bit addresses.
int WriteSRecords(ByteSpan image, quint32 start, QByteArray& text);

// Rewrites "Code: " and "Data: " entries of a linker map in place as absolute
// six-digit addresses. An entry is left as it is (and counted as skipped) when
// no number follows it, fewer than seven characters follow the label, or the
// address does not fit six digits.
struct MapRelocation {
    int codeEntries = 0;
    int dataEntries = 0;
    int skipped = 0;
};
MapRelocation RelocateMapText(QByteArray& text, quint32 codeBase, quint32 a5Address);

} // namespace postlink
