// Data-initialisation opcodes and relocation entries, on a small image with
// hand-written streams.
#include "PostLinkFormat.h"
#include "TestSupport.h"

#include <vector>

using namespace postlink;

namespace
{

QByteArray bytes(std::initializer_list<int> list)
{
    QByteArray b;
    for (int v : list)
        b.append(char(v));
    return b;
}

QByteArray be32(qint64 v)
{
    QByteArray b(4, '\0');
    putBe32(reinterpret_cast<uchar*>(b.data()), quint32(v));
    return b;
}

// A block offset, then opcodes.
QByteArray block(qint32 offset, std::initializer_list<int> ops)
{
    return be32(offset) + bytes(ops);
}

const QByteArray kEmptyBlock = block(0, {0x00});

// Image of 512 bytes filled with 0xEE; A5 at 256, the A5 world is [128, 512).
struct InitImage {
    QByteArray image = QByteArray(512, char(0xEE));
    ImageArea area()
    {
        return ImageArea{reinterpret_cast<uchar*>(image.data()), 256, 128, 512, "A5 world"};
    }
    QByteArray at(int fromA5, int n) const { return image.mid(256 + fromA5, n); }
};

struct InitCase {
    const char* name;
    QByteArray stream;
    int fromA5;        // where the expected bytes start
    QByteArray expect; // bytes there after expansion
};

} // namespace

TEST(DataInit, OpcodesWriteWhatTheyDefine)
{
    const QByteArray seq128 = [] {
        QByteArray b;
        for (int i = 0; i < 128; ++i)
            b.append(char(i));
        return b;
    }();
    const InitCase cases[] = {
        {"0x80 copies one byte", block(0, {0x80, 0xAA, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xAA, 0xEE})},
        {"0xFF copies 128 bytes",
         block(0, {0xFF}) + seq128 + bytes({0x00}) + kEmptyBlock + kEmptyBlock, 0,
         seq128 + bytes({0xEE})},
        {"0x40 skips one byte",
         block(0, {0x40, 0x81, 0xBB, 0xCC, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xEE, 0xBB, 0xCC, 0xEE})},
        {"0x7F skips 64 bytes", block(0, {0x7F, 0x80, 0xDD, 0x00}) + kEmptyBlock + kEmptyBlock, 63,
         bytes({0xEE, 0xDD, 0xEE})},
        {"0x20 writes its byte twice", block(0, {0x20, 0x41, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0x41, 0x41, 0xEE})},
        {"0x21 writes its byte three times",
         block(0, {0x21, 0x41, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0x41, 0x41, 0x41, 0xEE})},
        {"0x3F writes its byte 33 times", block(0, {0x3F, 0x5A, 0x00}) + kEmptyBlock + kEmptyBlock,
         0, QByteArray(33, 'Z') + bytes({0xEE})},
        {"0x10 writes one 0xFF", block(0, {0x10, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xFF, 0xEE})},
        {"0x1F writes sixteen 0xFF", block(0, {0x1F, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         QByteArray(16, char(0xFF)) + bytes({0xEE})},
        {"0x01 entry", block(0, {0x01, 0x12, 0x34, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xEE, 0xEE, 0xEE, 0xEE, 0xFF, 0xFF, 0x12, 0x34, 0xEE})},
        {"0x02 entry", block(0, {0x02, 0x12, 0x34, 0x56, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xEE, 0xEE, 0xEE, 0xEE, 0xFF, 0x12, 0x34, 0x56, 0xEE})},
        {"0x03 entry", block(0, {0x03, 0x12, 0x34, 0x56, 0x00}) + kEmptyBlock + kEmptyBlock, 0,
         bytes({0xA9, 0xF0, 0xEE, 0xEE, 0x12, 0x34, 0xEE, 0x56, 0xEE})},
        {"0x04 entry", block(0, {0x04, 0x12, 0x34, 0x56, 0x78, 0x00}) + kEmptyBlock + kEmptyBlock,
         0, bytes({0xA9, 0xF0, 0xEE, 0x12, 0x34, 0x56, 0xEE, 0x78, 0xEE})},
        {"entries advance by eight",
         block(0, {0x01, 0xA1, 0xA2, 0x02, 0xB1, 0xB2, 0xB3, 0x00}) + kEmptyBlock + kEmptyBlock, 4,
         bytes({0xFF, 0xFF, 0xA1, 0xA2, 0xEE, 0xEE, 0xEE, 0xEE, 0xFF, 0xB1, 0xB2, 0xB3, 0xEE})},
        {"opcodes run on from each other",
         block(0, {0x20, 0x41, 0x10, 0x81, 0xC1, 0xC2, 0x40, 0x80, 0xC3, 0x00}) + kEmptyBlock +
             kEmptyBlock,
         0, bytes({0x41, 0x41, 0xFF, 0xC1, 0xC2, 0xEE, 0xC3, 0xEE})},
        {"negative block offset", block(-4, {0x83, 1, 2, 3, 4, 0x00}) + kEmptyBlock + kEmptyBlock,
         -5, bytes({0xEE, 1, 2, 3, 4, 0xEE})},
        {"0x05 ends a block",
         block(0, {0x80, 0xAA, 0x05}) + block(1, {0x80, 0xBB, 0x00}) + kEmptyBlock, 0,
         bytes({0xAA, 0xBB, 0xEE})},
        {"0x0F ends a block",
         block(0, {0x80, 0xAA, 0x0F}) + block(1, {0x80, 0xBB, 0x00}) + kEmptyBlock, 0,
         bytes({0xAA, 0xBB, 0xEE})},
        {"third block is the last", kEmptyBlock + kEmptyBlock + block(8, {0x80, 0x77, 0x00}), 8,
         bytes({0x77, 0xEE})},
    };
    for (const InitCase& c : cases) {
        SCOPED_TRACE(c.name);
        InitImage img;
        const QByteArray stream = c.stream + QByteArray("REST");
        const StreamResult r =
            ExpandDataInit(ByteSpan(stream.constData(), stream.size()), img.area());
        ASSERT_EQ(r.error, Ok) << r.detail.toStdString();
        EXPECT_EQ(r.end, c.stream.size()) << "the relocation stream begins after the third block";
        EXPECT_EQ(img.at(c.fromA5, c.expect.size()).toHex(' '), c.expect.toHex(' '));
    }
}

TEST(DataInit, MalformedStreamsFailWithoutWritingOutside)
{
    const struct {
        const char* name;
        QByteArray stream;
    } cases[] = {
        {"empty stream", QByteArray()},
        {"offset cut short", bytes({0, 0})},
        {"block without end", block(0, {0x80, 0xAA})},
        {"copy runs past the stream", block(0, {0x83, 1, 2})},
        {"0x20 without its byte", block(0, {0x20})},
        {"0x04 without operands", block(0, {0x04, 1, 2})},
        {"only two blocks", kEmptyBlock + kEmptyBlock},
        {"write past the A5 world", block(255, {0x21, 0x41, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"write below the A5 world", block(-129, {0x80, 0xAA, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"entry past the A5 world", block(250, {0x01, 1, 2, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"skip past the A5 world", block(254, {0x42, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"offset 0x7FFFFFFF", block(0x7FFFFFFF, {0x10, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"offset -0x80000000",
         block(qint32(0x80000000u), {0x10, 0x00}) + kEmptyBlock + kEmptyBlock},
        {"fill run marching off the end",
         block(0, {0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F, 0x1F,
                   0x1F, 0x1F, 0x1F, 0x1F, 0x00})},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        // Guard bytes around the A5 world must stay untouched.
        InitImage img;
        const StreamResult r =
            ExpandDataInit(ByteSpan(c.stream.constData(), c.stream.size()), img.area());
        EXPECT_EQ(r.error, BadDataInit);
        EXPECT_FALSE(r.detail.isEmpty());
        EXPECT_EQ(img.image.left(128), QByteArray(128, char(0xEE)));
    }
}

namespace
{

// Image of 64 bytes holding 0..63; area origin 16, relocations allowed in [0, 64).
struct RelocImage {
    QByteArray image;
    RelocImage()
    {
        for (int i = 0; i < 64; ++i)
            image.append(char(i));
    }
    ImageArea area()
    {
        return ImageArea{reinterpret_cast<uchar*>(image.data()), 16, 0, 64, "code"};
    }
    quint32 word(int at) const
    {
        return getBe32(reinterpret_cast<const uchar*>(image.constData()) + at);
    }
    static quint32 initial(int at)
    {
        return quint32(at << 24 | (at + 1) << 16 | (at + 2) << 8 | (at + 3));
    }
};

constexpr quint32 kA5 = 0x00100000;
constexpr quint32 kBase = 0x00002000;

QByteArray table(std::initializer_list<int> entryBytes, quint32 count)
{
    return be32(count) + bytes(entryBytes);
}

const QByteArray kNoTable = be32(0);

struct Change {
    int at;        // image position of a relocated word
    quint32 added; // what was added to it
};

} // namespace

TEST(Relocations, EntrySizesAndBases)
{
    const struct {
        const char* name;
        QByteArray stream;
        std::vector<Change> changes;
    } cases[] = {
        {"one-byte entry, +4", table({0x82}, 1) + kNoTable + kNoTable, {{20, kA5}}},
        {"one-byte entry, negative", table({0xFE}, 1) + kNoTable + kNoTable, {{12, kA5}}},
        {"one-byte entries accumulate",
         table({0x82, 0x82, 0xFC}, 3) + kNoTable + kNoTable,
         {{20, kA5}, {24, kA5}, {16, kA5}}},
        {"two-byte entry, +32", table({0x40, 0x10}, 1) + kNoTable + kNoTable, {{48, kA5}}},
        {"two-byte entry, negative", table({0x7F, 0xF8}, 1) + kNoTable + kNoTable, {{0, kA5}}},
        {"four-byte entry sets the offset",
         table({0x82, 0x00, 0x00, 0x00, 0x02, 0x82}, 3) + kNoTable + kNoTable,
         {{20, kA5 + kA5}, {24, kA5}}},
        {"four-byte entry uses 30 bits",
         table({0x00, 0x00, 0x00, 0x0C}, 1) + kNoTable + kNoTable,
         {{40, kA5}}},
        {"second table adds the code base", kNoTable + table({0x84}, 1) + kNoTable, {{24, kBase}}},
        {"each table starts at offset 0",
         table({0x84}, 1) + table({0x84}, 1) + kNoTable,
         {{24, kA5 + kBase}}},
        {"last word of the area",
         table({0x00, 0x00, 0x00, 0x16}, 1) + kNoTable + kNoTable,
         {{60, kA5}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelocImage img;
        const QByteArray stream = c.stream + QByteArray("TAIL");
        const StreamResult r =
            ApplyRelocations(ByteSpan(stream.constData(), stream.size()), img.area(), kA5, kBase);
        ASSERT_EQ(r.error, Ok) << r.detail.toStdString();
        EXPECT_EQ(r.end, c.stream.size());
        QByteArray expected;
        for (int i = 0; i < 64; ++i)
            expected.append(char(i));
        for (const Change& ch : c.changes)
            putBe32(reinterpret_cast<uchar*>(expected.data()) + ch.at,
                    RelocImage::initial(ch.at) + ch.added);
        EXPECT_EQ(img.image.toHex(' '), expected.toHex(' '));
    }
}

TEST(Relocations, AdditionWrapsAt32Bits)
{
    QByteArray image(8, char(0xFF));
    const ImageArea area{reinterpret_cast<uchar*>(image.data()), 0, 0, 8, "code"};
    const QByteArray stream = table({0x80}, 1) + kNoTable + kNoTable;
    ASSERT_EQ(ApplyRelocations(ByteSpan(stream.constData(), stream.size()), area, 2, kBase).error,
              Ok);
    EXPECT_EQ(image.toHex(), QByteArray("00000001ffffffff"));
}

TEST(Relocations, MalformedOrRefusedTables)
{
    const struct {
        const char* name;
        QByteArray stream;
        int error;
    } cases[] = {
        {"third table not empty", kNoTable + kNoTable + table({0x82}, 1), SelfRelocation},
        {"target past the area", table({0x00, 0x00, 0x00, 0x20}, 1) + kNoTable + kNoTable,
         BadRelocation},
        {"target across the end", table({0x00, 0x00, 0x00, 0x17}, 1) + kNoTable + kNoTable,
         BadRelocation},
        {"target below the area", table({0xF6}, 1) + kNoTable + kNoTable, BadRelocation},
        {"largest four-byte offset", table({0x3F, 0xFF, 0xFF, 0xFF}, 1) + kNoTable + kNoTable,
         BadRelocation},
        {"count cut short", bytes({0, 0}), BadRelocation},
        {"two tables only", kNoTable + kNoTable, BadRelocation},
        {"two-byte entry cut short", table({0x40}, 1), BadRelocation},
        {"four-byte entry cut short", table({0x00, 0x00, 0x01}, 1), BadRelocation},
        {"huge count, one entry", table({0x82}, 0xFFFFFFFF), BadRelocation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        RelocImage img;
        const QByteArray before = img.image;
        const StreamResult r = ApplyRelocations(ByteSpan(c.stream.constData(), c.stream.size()),
                                                img.area(), kA5, kBase);
        EXPECT_EQ(r.error, c.error);
        EXPECT_FALSE(r.detail.isEmpty());
        if (c.error == SelfRelocation) {
            EXPECT_EQ(img.image, before);
        }
    }
}
