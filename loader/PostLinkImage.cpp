// Building the load image of one load type: resource lookup, data
// initialisation, relocation, signature search and the start-up block.
#include "PostLinkFormat.h"

#include <QCoreApplication>

#include <cerrno>
#include <cstring>
#include <new>

namespace postlink
{

const char kSignature[] = "Tandrowel startup stamp 96";

const uchar kStartupStub[40] = {
    0x60, 0x00, 0x00, 0x06, 0x00, 0x00, 0x00, 0x00, 0x4B, 0xFA, 0xFF, 0xF6, 0x20, 0x6D,
    0x00, 0x68, 0x4E, 0xE8, 0x00, 0x00, 0x20, 0x6D, 0x00, 0x6C, 0x4E, 0xE8, 0x00, 0x00,
    0x4E, 0x7A, 0x88, 0x01, 0x20, 0x68, 0x00, 0x04, 0x4E, 0xE8, 0x00, 0x00,
};

const uchar kStartupRoutine[144] = {
    0x22, 0x2D, 0x00, 0x54, 0x02, 0x01, 0x00, 0x03, 0x53, 0x01, 0x67, 0x4A, 0x53, 0x01, 0x67, 0x0E,
    0x22, 0x6D, 0x00, 0x28, 0x24, 0x6D, 0x00, 0x30, 0x20, 0x2D, 0x00, 0x2C, 0x60, 0x12, 0x20, 0x2D,
    0x00, 0x30, 0xD0, 0xAD, 0x00, 0x34, 0x22, 0x40, 0x24, 0x6D, 0x00, 0x3C, 0x20, 0x2D, 0x00, 0x40,
    0x56, 0x80, 0xE4, 0x88, 0x26, 0x6D, 0x00, 0x78, 0xB7, 0xFC, 0x00, 0x00, 0x00, 0x00, 0x67, 0x10,
    0x24, 0xD9, 0x16, 0xBC, 0x00, 0x55, 0x16, 0xBC, 0x00, 0xAA, 0x51, 0xC8, 0xFF, 0xF4, 0x60, 0x06,
    0x24, 0xD9, 0x51, 0xC8, 0xFF, 0xFC, 0x20, 0x6D, 0x00, 0x70, 0x22, 0x2D, 0x00, 0x74, 0x20, 0x2D,
    0x00, 0x48, 0xD0, 0xAD, 0x00, 0x4C, 0x2E, 0x40, 0x20, 0x0D, 0x2A, 0x6D, 0x00, 0x60, 0x2A, 0x80,
    0x4F, 0xEF, 0xFF, 0xF4, 0x2E, 0xBC, 0x57, 0x79, 0x6C, 0x00, 0x43, 0xD7, 0x2F, 0x49, 0x00, 0x04,
    0x42, 0xAF, 0x00, 0x08, 0x48, 0x6F, 0x00, 0x04, 0x3F, 0x3C, 0x00, 0x01, 0x2F, 0x01, 0x4E, 0xD0,
};

QString errorText(int code)
{
    switch (code) {
    case Ok:
        return QStringLiteral("success");
    case NotEnoughMemory:
        return QStringLiteral("not enough memory");
    case CannotOpenBin:
        return QStringLiteral("the .BIN file cannot be opened");
    case MissingResource:
        return QStringLiteral("a required resource is missing");
    case NoSignature:
        return QStringLiteral("the start-up signature was not found in the code");
    case NoSuchType:
        return QStringLiteral("the .BIN file defines no entry for this load type");
    case BadResourceFork:
        return QStringLiteral("the resource fork is malformed");
    case BadLoadTypeTable:
        return QStringLiteral("the load-type table is malformed");
    case BadDataInit:
        return QStringLiteral("the data-initialisation stream is malformed");
    case BadRelocation:
        return QStringLiteral("the relocation stream is malformed");
    case SelfRelocation:
        return QStringLiteral("a self-relative relocation table is not empty");
    case CodeTooShort:
        return QStringLiteral("the code segment is shorter than the start-up block");
    case AddressRange:
        return QStringLiteral("the image does not fit in the 24-bit address space");
    default:
        return QStringLiteral("unknown error");
    }
}

QString systemErrorText(int error)
{
    return QString::fromLocal8Bit(std::strerror(error));
}

static QString hex(quint64 v)
{
    return QStringLiteral("0x") + QString::number(v, 16).toUpper();
}

static QString typeName(quint32 type)
{
    QString s;
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char(type >> shift);
        s += (c >= 0x20 && c < 0x7F) ? QLatin1Char(c) : QLatin1Char('?');
    }
    return s;
}

ForkResource FindForkResource(ByteSpan fork, quint32 type, qint16 id)
{
    ForkResource r;
    const QString what = QStringLiteral("'%1' %2").arg(typeName(type)).arg(id);
    auto malformed = [&](const QString& problem) {
        r.status = Lookup::Malformed;
        r.problem = problem;
        return r;
    };

    if (!fork.contains(0, 8))
        return malformed(QStringLiteral("The file ends inside the resource fork header."));
    const qint64 dataArea = getBe32(fork.data);
    const qint64 map = getBe32(fork.data + 4);
    if (!fork.contains(map, 26))
        return malformed(QStringLiteral("The resource map (fork offset %1) lies outside the file.")
                             .arg(hex(quint64(map))));
    const qint64 typeList = map + getBe16(fork.data + map + 24);
    if (!fork.contains(typeList, 2))
        return malformed(QStringLiteral("The type list (fork offset %1) lies outside the file.")
                             .arg(hex(quint64(typeList))));
    // The count is stored minus one; 0xFFFF stands for an empty list.
    const int typeCount = (getBe16(fork.data + typeList) + 1) & 0xFFFF;

    for (int i = 0; i < typeCount; ++i) {
        const qint64 entry = typeList + 2 + qint64(i) * 8;
        if (!fork.contains(entry, 8))
            return malformed(QStringLiteral("The type list claims %1 types but the file ends "
                                            "after %2 of them.")
                                 .arg(typeCount)
                                 .arg(i));
        if (getBe32(fork.data + entry) != type)
            continue;

        const int refCount = getBe16(fork.data + entry + 4) + 1;
        const qint64 refList = typeList + getBe16(fork.data + entry + 6);
        for (int j = 0; j < refCount; ++j) {
            const qint64 ref = refList + qint64(j) * 12;
            if (!fork.contains(ref, 12))
                return malformed(QStringLiteral("The reference list of type '%1' lies outside "
                                                "the file.")
                                     .arg(typeName(type)));
            if (qint16(getBe16(fork.data + ref)) != id)
                continue;
            const qint64 at = dataArea + (getBe32(fork.data + ref + 4) & 0xFFFFFF);
            if (!fork.contains(at, 4))
                return malformed(
                    QStringLiteral("The data of resource %1 lies outside the file.").arg(what));
            const qint64 length = getBe32(fork.data + at);
            if (!fork.contains(at + 4, length))
                return malformed(QStringLiteral("Resource %1 claims %2 bytes, more than the file "
                                                "holds.")
                                     .arg(what)
                                     .arg(length));
            r.status = Lookup::Found;
            r.bytes = fork.part(at + 4, length);
            return r;
        }
        return r; // only the first entry of a type is searched
    }
    return r;
}

static bool inside(const ImageArea& area, qint64 at, qint64 n)
{
    return at >= area.low && n >= 0 && at <= area.high && n <= area.high - at;
}

static QString a5Relative(qint64 at, const ImageArea& area)
{
    const qint64 d = at - area.origin;
    return d < 0 ? QStringLiteral("-%1").arg(-d) : QStringLiteral("+%1").arg(d);
}

StreamResult ExpandDataInit(ByteSpan stream, const ImageArea& area)
{
    SpanReader in(stream);
    StreamResult r;
    auto fail = [&](int block, const QString& what) {
        r.error = BadDataInit;
        r.end = in.position();
        r.detail = QStringLiteral("Data-initialisation block %1: %2").arg(block + 1).arg(what);
        return r;
    };
    const QString cutShort = QStringLiteral("the stream ends in the middle of it.");

    for (int block = 0; block < 3; ++block) {
        quint32 offset = 0;
        if (!in.take32(offset))
            return fail(block, cutShort);
        qint64 at = area.origin + qint32(offset);

        for (;;) {
            quint8 op = 0;
            if (!in.take8(op))
                return fail(block, cutShort);
            if (op == 0x00 || (op >= 0x05 && op <= 0x0F))
                break;

            qint64 n = 0;
            if (op >= 0x80)
                n = (op & 0x7F) + 1;
            else if (op >= 0x40)
                n = (op & 0x3F) + 1;
            else if (op >= 0x20)
                n = (op & 0x1F) + 2;
            else if (op >= 0x10)
                n = (op & 0x0F) + 1;
            else
                n = 8; // opcodes 0x01 to 0x04 fill one 8-byte entry
            if (!inside(area, at, n))
                return fail(block, QStringLiteral("opcode 0x%1 writes %2 bytes at A5%3, outside "
                                                  "the A5 world.")
                                       .arg(op, 2, 16, QLatin1Char('0'))
                                       .arg(n)
                                       .arg(a5Relative(at, area)));
            uchar* out = area.image + at;

            if (op >= 0x80) {
                const uchar* src = nullptr;
                if (!in.takeBytes(n, src))
                    return fail(block, cutShort);
                std::memcpy(out, src, size_t(n));
            } else if (op >= 0x40) {
                // skipped bytes keep their 0x00
            } else if (op >= 0x20) {
                quint8 b = 0;
                if (!in.take8(b))
                    return fail(block, cutShort);
                std::memset(out, b, size_t(n));
            } else if (op >= 0x10) {
                std::memset(out, 0xFF, size_t(n));
            } else {
                const int operands = op == 0x01 ? 2 : op == 0x04 ? 4 : 3;
                const uchar* v = nullptr;
                if (!in.takeBytes(operands, v))
                    return fail(block, cutShort);
                switch (op) {
                case 0x01:
                    out[4] = 0xFF, out[5] = 0xFF, out[6] = v[0], out[7] = v[1];
                    break;
                case 0x02:
                    out[4] = 0xFF, out[5] = v[0], out[6] = v[1], out[7] = v[2];
                    break;
                case 0x03:
                    out[0] = 0xA9, out[1] = 0xF0, out[4] = v[0], out[5] = v[1], out[7] = v[2];
                    break;
                case 0x04:
                    out[0] = 0xA9, out[1] = 0xF0, out[3] = v[0], out[4] = v[1], out[5] = v[2];
                    out[7] = v[3];
                    break;
                }
            }
            at += n;
        }
    }
    r.end = in.position();
    return r;
}

StreamResult ApplyRelocations(ByteSpan stream, const ImageArea& area, quint32 a5Address,
                              quint32 codeBase)
{
    SpanReader in(stream);
    StreamResult r;
    const QString areaName = QString::fromLatin1(area.name);
    auto fail = [&](int code, int table, const QString& what) {
        r.error = code;
        r.end = in.position();
        r.detail = QStringLiteral("Relocation table %1 of the %2: %3")
                       .arg(table + 1)
                       .arg(areaName)
                       .arg(what);
        return r;
    };
    const QString cutShort = QStringLiteral("the stream ends in the middle of it.");

    for (int table = 0; table < 3; ++table) {
        quint32 count = 0;
        if (!in.take32(count))
            return fail(BadRelocation, table, cutShort);
        if (table == 2 && count != 0)
            return fail(SelfRelocation, table,
                        QStringLiteral("%1 entries would add the converter's own buffer "
                                       "address, which means nothing on the target. Relink "
                                       "without self-relative relocations.")
                            .arg(count));
        const quint32 base = table == 0 ? a5Address : codeBase;

        // Each entry takes at least one byte, so a huge count ends at the
        // stream's end instead of looping.
        qint64 offset = 0;
        for (quint32 k = 0; k < count; ++k) {
            quint8 b0 = 0;
            if (!in.take8(b0))
                return fail(BadRelocation, table, cutShort);
            if (b0 & 0x80) {
                int d = b0 & 0x7F;
                if (d & 0x40)
                    d -= 0x80;
                offset += qint64(d) * 2;
            } else if (b0 & 0x40) {
                quint8 b1 = 0;
                if (!in.take8(b1))
                    return fail(BadRelocation, table, cutShort);
                int d = ((b0 << 8) | b1) & 0x3FFF;
                if (d & 0x2000)
                    d -= 0x4000;
                offset += qint64(d) * 2;
            } else {
                const uchar* rest = nullptr;
                if (!in.takeBytes(3, rest))
                    return fail(BadRelocation, table, cutShort);
                const quint32 v = (quint32(b0) << 24) | (quint32(rest[0]) << 16) |
                                  (quint32(rest[1]) << 8) | rest[2];
                offset = qint64(v & 0x3FFFFFFF) * 2;
            }
            const qint64 at = area.origin + offset;
            if (!inside(area, at, 4))
                return fail(BadRelocation, table,
                            QStringLiteral("entry %1 points at offset %2, outside the %3.")
                                .arg(k + 1)
                                .arg(offset)
                                .arg(areaName));
            putBe32(area.image + at, getBe32(area.image + at) + base);
        }
    }
    r.end = in.position();
    return r;
}

QString HeaderRecord::extension(int offset) const
{
    QString ext;
    const quint32 w = at(offset);
    for (int shift = 24; shift >= 0; shift -= 8) {
        const char c = char(w >> shift);
        if (c == 0)
            break;
        ext += QLatin1Char(c);
    }
    return ext;
}

void HeaderRecord::store(uchar* out) const
{
    std::memset(out, 0, kHeaderRecordSize);
    for (int offset = 40; offset < 136; offset += 4)
        putBe32(out + offset, at(offset));
    putBe32(out + 148, at(148));
}

// An extension names a file beside the input; refuse one that could leave the
// directory, is unprintable, or would overwrite the .BIN, the linker's .MAP
// (re-relocated on every later conversion) or another output of the type.
static QString checkExtensions(const LoadImage& img)
{
    const QString exts[3] = {img.cpmExtension, img.srecExtension, img.mapExtension};
    const char* roles[3] = {"CPM68K", "S-record", "map"};
    for (int i = 0; i < 3; ++i) {
        const QString& e = exts[i];
        const QString role = QString::fromLatin1(roles[i]);
        if (e.isEmpty())
            return QStringLiteral("The %1 file extension is empty.").arg(role);
        for (QChar c : e) {
            if (c.unicode() < 0x21 || c.unicode() > 0x7E || c == QLatin1Char('/') ||
                c == QLatin1Char('\\'))
                return QStringLiteral("The %1 file extension holds the invalid character 0x%2.")
                    .arg(role)
                    .arg(c.unicode(), 2, 16, QLatin1Char('0'));
        }
        if (e.compare(QLatin1String(".BIN"), Qt::CaseInsensitive) == 0 ||
            e.compare(QLatin1String(".MAP"), Qt::CaseInsensitive) == 0)
            return QStringLiteral("The %1 file extension \"%2\" would overwrite an input file.")
                .arg(role, e);
        for (int j = 0; j < i; ++j) {
            if (e.compare(exts[j], Qt::CaseInsensitive) == 0)
                return QStringLiteral("The %1 and %2 outputs share the extension \"%3\".")
                    .arg(QString::fromLatin1(roles[j]), role, e);
        }
    }
    return QString();
}

static ConversionError failure(int code, const QString& detail)
{
    return ConversionError{code, detail};
}

static ConversionError lookupFailure(const ForkResource& r, const char* what)
{
    if (r.status == Lookup::Malformed)
        return failure(BadResourceFork, r.problem);
    return failure(MissingResource,
                   QStringLiteral("The resource %1 is missing.").arg(QLatin1String(what)));
}

// Load-type table: count, 4 unused bytes, then 64-byte entries, all inside the code.
static ConversionError findLoadTypeEntry(ByteSpan code, int type, const uchar** entry)
{
    const qint64 codeSize = code.size;
    const qint64 table = getBe32(code.data + 22);
    if (!code.contains(table, 8))
        return failure(BadLoadTypeTable, QStringLiteral("The load-type table (code offset %1) "
                                                        "lies outside the code segment.")
                                             .arg(hex(quint64(table))));
    const qint64 count = getBe32(code.data + table);
    if (count > (codeSize - table - 8) / kLoadTypeEntrySize)
        return failure(BadLoadTypeTable,
                       QStringLiteral("The load-type table claims %1 entries; the code segment "
                                      "has room for %2.")
                           .arg(count)
                           .arg((codeSize - table - 8) / kLoadTypeEntrySize));
    for (qint64 i = 0; i < count && !*entry; ++i) {
        const uchar* e = code.data + table + 8 + i * kLoadTypeEntrySize;
        if (getBe32(e) == quint32(type))
            *entry = e;
    }
    if (!*entry)
        return failure(NoSuchType,
                       QStringLiteral("The load-type table has no entry for type %1.").arg(type));
    return ConversionError{};
}

static HeaderRecord headerFromEntry(const uchar* entry)
{
    HeaderRecord h;
    auto word = [entry](int i) { return getBe32(entry + 4 * i); };
    h.set(84, word(0));
    h.set(40, word(1));
    h.set(48, word(2));
    h.set(56, word(3));
    h.set(60, word(4));
    h.set(68, word(5));
    h.set(72, word(6));
    h.set(76, word(7));
    for (int i = 8; i <= 15; ++i)
        h.set(104 + (i - 8) * 4, word(i));
    return h;
}

static void adjustForType(HeaderRecord& h, int type, qint64 codeSize, qint64 total)
{
    // Adjustments per type (32-bit arithmetic, as on the target).
    switch (type) {
    case 1: // RAM application: the code runs where it is loaded, the A5 world follows it
        h.set(48, h.textStart());
        h.set(56, h.at(68));
        h.set(60, h.at(48) + quint32(codeSize));
        h.set(68, h.at(68) - quint32(codeSize));
        break;
    case 2:
        break;
    case 3:
        h.set(60, h.at(48) + quint32(codeSize));
        h.set(68, h.at(68) - quint32(total));
        break;
    }
}

static bool clearThroughSignature(uchar* img, qint64 total)
{
    // The signature marks the end of the linker's placeholder: every byte up to
    // and including it is cleared. The walk restarts the match without
    // comparing the mismatching byte again.
    qint64 pos = 0;
    int matched = 0;
    while (pos < total && matched < kSignatureLength) {
        const char c = char(img[pos]);
        img[pos++] = 0;
        matched = c == kSignature[matched] ? matched + 1 : 0;
    }
    return matched == kSignatureLength;
}

static void putStartupBlock(const HeaderRecord& h, uchar* img)
{
    // The start-up block: header record, stub over its first 40 bytes,
    // signature with its NUL, one 0x00, the start-up routine.
    uchar block[kStartupBlockSize];
    h.store(block);
    std::memcpy(block, kStartupStub, sizeof kStartupStub);
    std::memcpy(block + kHeaderRecordSize, kSignature, kSignatureLength + 1);
    block[179] = 0;
    std::memcpy(block + 180, kStartupRoutine, sizeof kStartupRoutine);
    std::memcpy(img, block, sizeof block);
}

ConversionError BuildLoadImage(ByteSpan binFile, int type, LoadImage& out)
{
    if (type < 1 || type > 3)
        return failure(NoSuchType, QStringLiteral("Load type %1 does not exist.").arg(type));
    if (!binFile.contains(0, kBinHeaderSize))
        return failure(BadResourceFork,
                       QStringLiteral("The file is shorter than its 128-byte header."));
    const ByteSpan fork = binFile.from(kBinHeaderSize);

    const ForkResource code0 = FindForkResource(fork, fourCc("CODE"), 0);
    if (code0.status != Lookup::Found)
        return lookupFailure(code0, "'CODE' 0");
    const ForkResource code1 = FindForkResource(fork, fourCc("CODE"), 1);
    if (code1.status != Lookup::Found)
        return lookupFailure(code1, "'CODE' 1");
    if (code0.bytes.size < 8)
        return failure(BadResourceFork,
                       QStringLiteral("'CODE' 0 holds %1 bytes, fewer than the 8 that give the "
                                      "sizes of the A5 world.")
                           .arg(code0.bytes.size));

    const ByteSpan code = code1.bytes;
    const qint64 codeSize = code.size;
    if (codeSize < kStartupBlockSize)
        return failure(CodeTooShort, QStringLiteral("'CODE' 1 holds %1 bytes; the start-up "
                                                    "block alone needs %2.")
                                         .arg(codeSize)
                                         .arg(kStartupBlockSize));

    const uchar* entry = nullptr;
    const ConversionError noEntry = findLoadTypeEntry(code, type, &entry);
    if (noEntry.failed())
        return noEntry;

    HeaderRecord h = headerFromEntry(entry);

    const ForkResource data0 = FindForkResource(fork, fourCc("DATA"), 0);
    if (data0.status != Lookup::Found)
        return lookupFailure(data0, "'DATA' 0");
    if (data0.bytes.size < 4)
        return failure(BadDataInit,
                       QStringLiteral("'DATA' 0 holds only %1 bytes.").arg(data0.bytes.size));

    const quint32 aboveA5 = getBe32(code0.bytes.data);
    const quint32 belowA5 = getBe32(code0.bytes.data + 4);
    const qint64 a5World = qint64(aboveA5) + belowA5;
    const qint64 total = codeSize + a5World;
    if (qint64(h.textStart()) + total > kAddressLimit)
        return failure(AddressRange,
                       QStringLiteral("The image of %1 bytes at %2 would end above 0xFFFFFF, "
                                      "beyond the 24-bit addresses of the target.")
                           .arg(total)
                           .arg(hex(h.textStart())));
    h.set(44, quint32(total));
    h.set(52, quint32(codeSize));
    h.set(64, quint32(a5World));

    adjustForType(h, type, codeSize, total);
    const quint32 codeBase = h.at(48);
    const quint32 a5Address = belowA5 + h.at(60);
    h.set(96, a5Address);

    out.cpmExtension = h.extension(124);
    out.srecExtension = h.extension(128);
    out.mapExtension = h.extension(132);
    const QString badExtension = checkExtensions(out);
    if (!badExtension.isEmpty())
        return failure(BadLoadTypeTable, badExtension);

    QByteArray image;
    try {
        image = QByteArray(int(total), '\0');
    } catch (const std::bad_alloc&) {
        return failure(NotEnoughMemory,
                       QStringLiteral("No memory for an image of %1 bytes.").arg(total));
    }
    uchar* img = reinterpret_cast<uchar*>(image.data());
    std::memcpy(img, code.data, size_t(codeSize));

    const qint64 a5Pos = codeSize + belowA5;
    const ImageArea a5Area{img, a5Pos, codeSize, total, "A5 world"};
    const ImageArea codeArea{img, 0, 0, codeSize, "code"};
    const ByteSpan initStream = data0.bytes.from(4);
    const StreamResult init = ExpandDataInit(initStream, a5Area);
    if (init.error)
        return failure(init.error, init.detail);
    const ByteSpan a5Relocs = initStream.from(init.end);
    const StreamResult relocA5 = ApplyRelocations(a5Relocs, a5Area, a5Address, codeBase);
    if (relocA5.error)
        return failure(relocA5.error, relocA5.detail);
    const StreamResult relocCode =
        ApplyRelocations(a5Relocs.from(relocA5.end), codeArea, a5Address, codeBase);
    if (relocCode.error)
        return failure(relocCode.error, relocCode.detail);

    h.set(112, getBe32(img + 10));

    if (!clearThroughSignature(img, total))
        return failure(NoSignature, QStringLiteral("The code holds no start-up signature \"%1\".")
                                        .arg(QLatin1String(kSignature)));

    h.set(100, codeBase);
    h.set(88, h.dataStart() + quint32(a5World));
    h.set(92, h.at(68) - quint32(a5World));
    h.set(104, h.textStart() + 20);
    h.set(108, h.textStart() + 180);
    h.set(116, h.textStart() + 28);

    putStartupBlock(h, img);

    out.image = image;
    out.header = h;
    return ConversionError{};
}

QByteArray BuildCpm68kHeader(const HeaderRecord& h)
{
    const bool flash = h.loadType() != 1;
    QByteArray header(flash ? 36 : 28, '\0');
    uchar* p = reinterpret_cast<uchar*>(header.data());
    putBe16(p, flash ? 0x601B : 0x601A);
    putBe32(p + 2, h.codeSize());
    putBe32(p + 6, h.a5WorldSize());
    putBe32(p + 22, h.textStart());
    if (flash)
        putBe32(p + 28, h.dataStart());
    return header;
}

} // namespace postlink
