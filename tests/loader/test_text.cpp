// S-record output and the relocated map text.
#include "PostLinkFormat.h"
#include "TestSupport.h"

using namespace postlink;

namespace
{

QByteArray counting(int n)
{
    QByteArray b;
    for (int i = 0; i < n; ++i)
        b.append(char(i * 7 + 1));
    return b;
}

QList<QByteArray> srecLines(const QByteArray& image, quint32 start)
{
    QByteArray text;
    EXPECT_EQ(WriteSRecords(ByteSpan(image.constData(), image.size()), start, text), Ok);
    EXPECT_TRUE(text.endsWith("\r\n"));
    QList<QByteArray> lines = text.split('\n');
    lines.removeLast();
    for (QByteArray& l : lines) {
        EXPECT_TRUE(l.endsWith('\r'));
        l.chop(1);
    }
    return lines;
}

// A record read back independently: type, address, data; the count and the
// checksum are verified here.
struct Record {
    char type = 0;
    quint32 address = 0;
    QByteArray data;
};

Record parse(const QByteArray& line)
{
    Record r;
    EXPECT_EQ(line.left(1), QByteArray("S"));
    r.type = line.at(1);
    const QByteArray body = QByteArray::fromHex(line.mid(2));
    EXPECT_EQ(body.size() * 2, line.size() - 2) << line.toStdString();
    EXPECT_EQ(uchar(body.at(0)), body.size() - 1) << "count byte of " << line.toStdString();
    uint sum = 0;
    for (char c : body)
        sum += uchar(c);
    EXPECT_EQ(sum & 0xFF, 0xFFu) << "checksum of " << line.toStdString();
    r.address = (uchar(body[1]) << 16) | (uchar(body[2]) << 8) | uchar(body[3]);
    r.data = body.mid(4, body.size() - 5);
    return r;
}

} // namespace

TEST(SRecords, UnalignedStartGetsFillFromTheBoundaryBelow)
{
    const QByteArray image = counting(100);
    const QList<QByteArray> lines = srecLines(image, 0x001234);
    ASSERT_EQ(lines.size(), 6);
    // Checked by hand: 0x24 + 0x12 + 32 x 0xFF = 0x2016, complement of 0x16 is 0xE9.
    EXPECT_EQ(lines[0], "S224001200" + QByteArray(64, 'F') + "E9");
    const Record second = parse(lines[1]);
    EXPECT_EQ(second.address, 0x001220u);
    EXPECT_EQ(second.data, QByteArray(20, char(0xFF)) + image.left(12));
    EXPECT_EQ(parse(lines[2]).address, 0x001240u);
    EXPECT_EQ(parse(lines[2]).data, image.mid(12, 32));
    EXPECT_EQ(parse(lines[4]).data, image.mid(76)) << "the short last record";
    EXPECT_EQ(lines[4].left(4), QByteArray("S21C"));
    // 0x04 + 0x12 + 0x34 = 0x4A, complement 0xB5.
    EXPECT_EQ(lines[5], QByteArray("S804001234B5"));
}

TEST(SRecords, AlignedStartBeginsWithImageBytes)
{
    const QByteArray image = counting(64);
    const QList<QByteArray> lines = srecLines(image, 0x001300);
    ASSERT_EQ(lines.size(), 3);
    const Record first = parse(lines[0]);
    EXPECT_EQ(first.type, '2');
    EXPECT_EQ(first.address, 0x001300u);
    EXPECT_EQ(first.data, image.left(32));
    EXPECT_EQ(parse(lines[1]).data, image.mid(32));
    EXPECT_EQ(lines[2], QByteArray("S804001300E8"));
}

TEST(SRecords, LayoutsRoundTrip)
{
    const struct {
        const char* name;
        quint32 start;
        int length;
        QList<int> recordSizes; // data bytes per S2 record
    } cases[] = {
        {"aligned, whole records", 0x010000, 96, {32, 32, 32}},
        {"aligned, short last record", 0x010000, 70, {32, 32, 6}},
        {"fill of exactly 32", 0x010020, 40, {32, 32, 8}},
        {"fill of 33 makes one fill record", 0x010021, 40, {32, 32, 9}},
        {"fill of 20, image shorter than 32", 0x001214, 25, {25, 20}},
        {"fill of 20, image shorter than the fill", 0x001234, 5, {32, 25}},
        {"fill of 20, image one byte shorter", 0x001214, 19, {32, 7}},
        {"fill of 20, image as long as the fill", 0x001214, 20, {20, 20}},
        {"image of 340 at 0x0002FF (beyond length x 3 + 256)",
         0x0002FF,
         340,
         {32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 32, 19}},
        {"last byte at 0xFFFFFF", 0xFFFF00, 256, {32, 32, 32, 32, 32, 32, 32, 32}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const QByteArray image = counting(c.length);
        const QList<QByteArray> lines = srecLines(image, c.start);
        ASSERT_EQ(lines.size(), c.recordSizes.size() + 1);

        // Rebuild the memory from the records: contiguous from the boundary.
        const quint32 boundary = c.start & ~0xFFu;
        QByteArray memory;
        for (int i = 0; i < c.recordSizes.size(); ++i) {
            const Record r = parse(lines[i]);
            EXPECT_EQ(r.type, '2');
            EXPECT_EQ(r.address, boundary + quint32(memory.size()));
            EXPECT_EQ(r.data.size(), c.recordSizes[i]);
            memory += r.data;
        }
        const int fill = int(c.start - boundary);
        EXPECT_EQ(memory, QByteArray(fill, char(0xFF)) + image);
        const Record end = parse(lines.last());
        EXPECT_EQ(end.type, '8');
        EXPECT_EQ(end.address, c.start);
        EXPECT_TRUE(end.data.isEmpty());
    }
}

TEST(SRecords, TextIsSizedByNeed)
{
    // 7 fill records, 18 data records and the end record: more than a buffer of
    // length x 3 + 256 characters could hold.
    const QByteArray image = counting(340);
    QByteArray text;
    ASSERT_EQ(WriteSRecords(ByteSpan(image.constData(), image.size()), 0x0002FF, text), Ok);
    // "S2", count, address, data, checksum, CR LF; then "S804", address, checksum, CR LF.
    EXPECT_EQ(text.size(), 18 * 78 + (2 + 2 + 6 + 2 * 19 + 2 + 2) + (4 + 6 + 2 + 2));
    EXPECT_GT(text.size(), 340 * 3 + 256);
}

TEST(SRecords, ImageBeyondTwentyFourBitsIsRefused)
{
    const QByteArray image = counting(32);
    QByteArray text;
    EXPECT_EQ(WriteSRecords(ByteSpan(image.constData(), image.size()), 0xFFFFF0, text),
              AddressRange);
    EXPECT_EQ(WriteSRecords(ByteSpan(image.constData(), image.size()), 0x1000000, text),
              AddressRange);
}

TEST(MapText, CodeAndDataEntriesBecomeAbsolute)
{
    const struct {
        const char* name;
        QByteArray in;
        QByteArray out;
        int code, data, skipped;
    } cases[] = {
        {"code entry", "  main   Code: 000100 Seg: 1\r\n", "  main   Code: 010100 Seg: 1\r\n", 1, 0,
         0},
        {"data entry, -32 right-aligned", "Code: 000000 x\r\n  g   Data:    -32 \r\n",
         "Code: 010000 x\r\n  g   Data: 01FFE0 \r\n", 1, 1, 0},
        {"short number still takes seven characters", "Code: 1 abcdefgh", "Code: 010001 fgh", 1, 0,
         0},
        {"long number takes seven characters", "Code: 00000010XYZ", "Code: 010010 0XYZ", 1, 0, 0},
        {"hex with 0x prefix", "Code: 0x20   .", "Code: 010020 .", 1, 0, 0},
        {"positive data", "Data:     +8 .", "Data: 020008 .", 0, 1, 0},
        {"data before the last code entry is kept",
         "Data:     -4 .\nCode: 000004 .\nData:      4 .\n",
         "Data:     -4 .\nCode: 010004 .\nData: 020004 .\n", 1, 1, 0},
        {"no number", "Code: zzzzzz .", "Code: zzzzzz .", 0, 0, 1},
        {"label at the very end", "xx Code: ", "xx Code: ", 0, 0, 1},
        {"fewer than seven characters left", "Code: 12", "Code: 12", 0, 0, 1},
        {"address beyond six digits", "Code: FFFFFF .", "Code: FFFFFF .", 0, 0, 1},
        {"number beyond 32 bits", "Data: 99999999999 .", "Data: 99999999999 .", 0, 0, 1},
        {"several entries", "Code: 000001 Code: 000002 \nData:      1 Data:      2 ",
         "Code: 010001 Code: 010002 \nData: 020001 Data: 020002 ", 2, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        QByteArray text = c.in;
        const MapRelocation r = RelocateMapText(text, 0x010000, 0x020000);
        EXPECT_EQ(text, c.out);
        EXPECT_EQ(r.codeEntries, c.code);
        EXPECT_EQ(r.dataEntries, c.data);
        EXPECT_EQ(r.skipped, c.skipped);
    }
}
