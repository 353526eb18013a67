// The load image of one type: golden bytes of a small program, the per-type
// adjustments, the signature walk and the checks of a malformed .BIN.
#include "PostLinkFormat.h"
#include "TestSupport.h"

using namespace binfixture;
using namespace postlink;

namespace
{

// A 336-byte code segment and a 16-byte A5 world (8 below A5, 8 above),
// loaded at 0x001000 as type 2; data and relocations touch both areas.
// With all three types the table sits at 26 and the signature at 290, both
// inside the start-up block, so the image is the same.
Program goldenProgram(bool allTypes = false)
{
    Program p;
    p.codeSize = 336;
    p.tableOffset = allTypes ? 26 : 180;
    p.signatureOffset = allTypes ? 290 : 152;
    p.aboveA5 = 8;
    p.belowA5 = 8;
    p.entries = {LoadTypeEntry::make(2, 0x001000, 0x001000, 0x002000, ".APP", ".SAP", ".AMP")};
    if (allTypes) {
        p.entries << LoadTypeEntry::make(1, 0x010000, 0x5555, 0x6666, ".RUN", ".SRN", ".RMP")
                  << LoadTypeEntry::make(3, 0x030000, 0x030000, 0x7777, ".FLA", ".SFL", ".FMP");
    }
    p.dataInit = DataInitWriter()
                     .block(-8)
                     .copy("ABCD")
                     .skip(2)
                     .repeat(0x41, 2)
                     .end()
                     .block(0)
                     .entry1(0x12, 0x34)
                     .end()
                     .block(0)
                     .end()
                     .bytes();
    p.relocations = RelocationWriter()
                        .table({0})
                        .table({-8})
                        .table({})
                        .table({324})
                        .table({10, 328})
                        .table({})
                        .bytes();
    return p;
}

ConversionError build(const QByteArray& bin, int type, LoadImage& out)
{
    return BuildLoadImage(ByteSpan(bin.constData(), bin.size()), type, out);
}

const char kStub[] = "60000006 00000000 4BFAFFF6 206D0068 4EE80000 206D006C 4EE80000 4E7A8801 "
                     "20680004 4EE80000";
const char kRoutine[] =
    "222D0054 02010003 5301674A 5301670E 226D0028 246D0030 202D002C 6012202D 0030D0AD 00342240 "
    "246D003C 202D0040 5680E488 266D0078 B7FC0000 00006710 24D916BC 005516BC 00AA51C8 FFF46006 "
    "24D951C8 FFFC206D 0070222D 0074202D 0048D0AD 004C2E40 200D2A6D 00602A80 4FEFFFF4 2EBC5779 "
    "6C0043D7 2F490004 42AF0008 486F0004 3F3C0001 2F014ED0";

} // namespace

TEST(LoadImage, GoldenBytesOfASmallImage)
{
    LoadImage img;
    const ConversionError e = build(goldenProgram().bin(), 2, img);
    ASSERT_EQ(e.code, Ok) << e.detail.toStdString();
    const QByteArray& b = img.image;
    ASSERT_EQ(b.size(), 0x160);

    EXPECT_EQ(hexOf(b, 0, 40), hexText(kStub));
    EXPECT_EQ(hexOf(b, 40, 96),
              hexText("00001000 00000160 00001000 00000150 03030303 00002000 00000010 00100000 "
                      "06060606 07070707 00000000 00000002 00002010 000FFFF0 00002008 00001000 "
                      "00001014 000010B4 8996B3B0 0000101C 0C0C0C0C 2E415050 2E534150 2E414D50"));
    EXPECT_EQ(hexOf(b, 136, 16), hexText("00000000 00000000 00000000 00000000"));
    EXPECT_EQ(b.mid(152, 28), QByteArray("Tandrowel startup stamp 96\0\0", 28));
    EXPECT_EQ(hexOf(b, 180, 144), hexText(kRoutine));
    // The rest of the code: counting pattern, words at 324 (+A5) and 328 (+code base).
    EXPECT_EQ(hexOf(b, 324, 12), hexText("7B88B5AA AFBCD9D6 E3F0FD0A"));
    // A5 world: "ABCD" + code base, two skipped, 0x20 run; entry 0x01 + A5 address.
    EXPECT_EQ(hexOf(b, 336, 16), hexText("41425344 00004141 00002008 FFFF1234"));

    EXPECT_EQ(img.cpmExtension, QStringLiteral(".APP"));
    EXPECT_EQ(img.srecExtension, QStringLiteral(".SAP"));
    EXPECT_EQ(img.mapExtension, QStringLiteral(".AMP"));
    EXPECT_EQ(hexOf(BuildCpm68kHeader(img.header), 0, 36),
              hexText("601B 00000150 00000010 00000000 00000000 00000000 00001000 0000 00002000 "
                      "00000000"));
}

TEST(LoadImage, AdjustmentsPerType)
{
    const struct {
        int type;
        QList<QPair<int, quint32>> fields; // header offset, value
        const char* cpmHeader;
    } cases[] = {
        {1,
         {{40, 0x10000},
          {44, 0x160},
          {48, 0x10000},
          {56, 0x100000},
          {60, 0x10150},
          {68, 0xFFEB0},
          {84, 1},
          {88, 0x10160},
          {92, 0xFFEA0},
          {96, 0x10158},
          {100, 0x10000},
          {104, 0x10014},
          {108, 0x100B4},
          {112, 0x8997A3B0},
          {116, 0x1001C}},
         "601A 00000150 00000010 00000000 00000000 00000000 00010000 0000"},
        {3,
         {{40, 0x30000},
          {48, 0x30000},
          {56, 0x03030303},
          {60, 0x30150},
          {68, 0xFFEA0},
          {84, 3},
          {88, 0x30160},
          {92, 0xFFE90},
          {96, 0x30158},
          {100, 0x30000},
          {112, 0x8999A3B0}},
         "601B 00000150 00000010 00000000 00000000 00000000 00030000 0000 00030150 00000000"},
    };
    const QByteArray bin = goldenProgram(true).bin();
    LoadImage type2, golden;
    ASSERT_EQ(build(bin, 2, type2).code, Ok);
    ASSERT_EQ(build(goldenProgram().bin(), 2, golden).code, Ok);
    EXPECT_EQ(type2.image, golden.image);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.type);
        LoadImage img;
        ASSERT_EQ(build(bin, c.type, img).code, Ok);
        for (const auto& f : c.fields) {
            SCOPED_TRACE(f.first);
            EXPECT_EQ(getBe32(reinterpret_cast<const uchar*>(img.image.constData()) + f.first),
                      f.second);
            EXPECT_EQ(img.header.at(f.first), f.second);
        }
        const QByteArray cpm = BuildCpm68kHeader(img.header);
        EXPECT_EQ(hexOf(cpm, 0, cpm.size()), hexText(c.cpmHeader));
    }
}

TEST(LoadImage, ResourceOrderDoesNotMatter)
{
    Program p = goldenProgram();
    p.extraResources = {{{fourCc("CODE"), 2}, QByteArray(40, 'x')},
                        {{fourCc("DATA"), 1}, QByteArray(12, 'y')},
                        {{fourCc("STR "), 0}, QByteArray("hello")},
                        {{fourCc("CODE"), -1}, QByteArray(8, 'z')}};
    LoadImage reference;
    ASSERT_EQ(build(goldenProgram().bin(), 2, reference).code, Ok);
    const struct {
        const char* name;
        Order types, data;
        quint32 seed;
    } layouts[] = {
        {"as added", Order::AsAdded, Order::AsAdded, 1},
        {"reversed", Order::Reversed, Order::Reversed, 1},
        {"types reversed, data shuffled", Order::Reversed, Order::Shuffled, 5},
        {"shuffled 1", Order::Shuffled, Order::Shuffled, 11},
        {"shuffled 2", Order::Shuffled, Order::AsAdded, 23},
    };
    for (const auto& l : layouts) {
        SCOPED_TRACE(l.name);
        p.typeOrder = l.types;
        p.dataOrder = l.data;
        p.seed = l.seed;
        LoadImage img;
        ASSERT_EQ(build(p.bin(), 2, img).code, Ok);
        EXPECT_EQ(img.image, reference.image);
    }
}

TEST(LoadImage, FindForkResourceTakesTheFirstMatch)
{
    ResourceForkWriter w;
    w.add(fourCc("CODE"), 5, "first");
    w.add(fourCc("CODE"), 5, "second");
    w.add(fourCc("CODE"), -3, "negative");
    w.add(fourCc("STR#"), 5, "string");
    const QByteArray fork = w.fork(Order::AsAdded, Order::Reversed);
    const ByteSpan span(fork.constData(), fork.size());
    auto text = [](const ForkResource& r) {
        return QByteArray(reinterpret_cast<const char*>(r.bytes.data), int(r.bytes.size));
    };

    EXPECT_EQ(text(FindForkResource(span, fourCc("CODE"), 5)), QByteArray("first"));
    EXPECT_EQ(text(FindForkResource(span, fourCc("CODE"), -3)), QByteArray("negative"));
    EXPECT_EQ(text(FindForkResource(span, fourCc("STR#"), 5)), QByteArray("string"));
    EXPECT_EQ(FindForkResource(span, fourCc("CODE"), 4).status, Lookup::Missing);
    EXPECT_EQ(FindForkResource(span, fourCc("DATA"), 5).status, Lookup::Missing);

    // An empty type list is stored as a count of 0xFFFF.
    ResourceForkWriter empty;
    const QByteArray none = empty.fork();
    EXPECT_EQ(FindForkResource(ByteSpan(none.constData(), none.size()), fourCc("CODE"), 0).status,
              Lookup::Missing);
}

TEST(LoadImage, SignatureWalk)
{
    // Signature at 400 in a 512-byte code: everything up to its end is cleared,
    // the code after it is kept.
    Program p = goldenProgram();
    p.codeSize = 512;
    p.signatureOffset = 400;
    p.relocations = RelocationWriter::empty();
    LoadImage img;
    ASSERT_EQ(build(p.bin(), 2, img).code, Ok);
    EXPECT_EQ(img.image.mid(324, 426 - 324), QByteArray(426 - 324, '\0'));
    EXPECT_EQ(img.image.mid(426, 86), p.code().mid(426, 86));

    const struct {
        const char* name;
        QByteArray patch;
    } missed[] = {
        {"no signature", QByteArray(26, 'x')},
        {"a doubled first letter hides it", QByteArray("TTandrowel startup stamp 96")},
        {"a partial copy just before hides it",
         QByteArray("Tandrowel startup stamp 9Tandrowel startup stamp 96")},
    };
    for (const auto& m : missed) {
        SCOPED_TRACE(m.name);
        Program q = goldenProgram();
        q.codeSize = 512;
        q.signatureOffset = 600; // not placed
        q.codePatches = {{400, m.patch}};
        EXPECT_EQ(build(q.bin(), 2, img).code, NoSignature);
    }
}

TEST(LoadImage, MalformedProgramsAreRefused)
{
    auto with = [](auto change) {
        Program p = goldenProgram();
        change(p);
        return p.bin();
    };
    auto withoutResource = [](quint32 type, qint16 id) {
        const Program p = goldenProgram();
        ResourceForkWriter w;
        QByteArray code0(8, '\0');
        code0[3] = 8, code0[7] = 8;
        if (!(type == fourCc("CODE") && id == 0))
            w.add(fourCc("CODE"), 0, code0);
        if (!(type == fourCc("CODE") && id == 1))
            w.add(fourCc("CODE"), 1, p.code());
        if (type != fourCc("DATA"))
            w.add(fourCc("DATA"), 0, QByteArray(4, '\0') + p.dataInit + p.relocations);
        w.add(fourCc("CODE"), 2, "other");
        return w.binFile();
    };
    auto ext = [](const char* cpm, const char* srec, const char* map) {
        return [=](Program& p) {
            p.entries[0].words[13] = extWord(cpm);
            p.entries[0].words[14] = extWord(srec);
            p.entries[0].words[15] = extWord(map);
        };
    };
    const struct {
        const char* name;
        QByteArray bin;
        int type;
        int error;
    } cases[] = {
        {"type 4", goldenProgram().bin(), 4, NoSuchType},
        {"type 0", goldenProgram().bin(), 0, NoSuchType},
        {"type not in the table",
         [] {
             Program p = goldenProgram(true);
             p.entries.removeLast();
             return p.bin();
         }(),
         3, NoSuchType},
        {"no 'CODE' 0", withoutResource(fourCc("CODE"), 0), 2, MissingResource},
        {"no 'CODE' 1", withoutResource(fourCc("CODE"), 1), 2, MissingResource},
        {"no 'DATA' 0", withoutResource(fourCc("DATA"), 0), 2, MissingResource},
        {"empty file", QByteArray(), 2, BadResourceFork},
        {"header only", QByteArray(128, '\0'), 2, BadResourceFork},
        {"'CODE' 0 of four bytes",
         [] {
             ResourceForkWriter w;
             w.add(fourCc("CODE"), 0, QByteArray(4, '\0'));
             w.add(fourCc("CODE"), 1, goldenProgram().code());
             return w.binFile();
         }(),
         2, BadResourceFork},
        {"code shorter than the start-up block", with([](Program& p) {
             p.codeSize = 300;
             p.tableOffset = 200;
         }),
         2, CodeTooShort},
        {"table outside the code", with([](Program& p) {
             p.codePatches = {{22, QByteArray("\x7F\xFF\xFF\xF0", 4)}};
         }),
         2, BadLoadTypeTable},
        {"table header across the end", with([](Program& p) {
             p.codePatches = {{22, QByteArray("\0\0\x01\x4C", 4)}};
         }),
         2, BadLoadTypeTable},
        {"table count beyond the code", with([](Program& p) {
             p.codePatches = {{180, QByteArray("\x7F\xFF\xFF\xFF", 4)}};
         }),
         2, BadLoadTypeTable},
        {"table count one too many", with([](Program& p) {
             p.codePatches = {{180, QByteArray("\0\0\0\x03", 4)}};
         }),
         2, BadLoadTypeTable},
        {"empty extension", with(ext("", ".SAP", ".AMP")), 2, BadLoadTypeTable},
        {"extension with a slash", with(ext("/../", ".SAP", ".AMP")), 2, BadLoadTypeTable},
        {"extension with a control byte", with(ext(".A\tP", ".SAP", ".AMP")), 2, BadLoadTypeTable},
        {"extension .bin overwrites the input", with(ext(".bin", ".SAP", ".AMP")), 2,
         BadLoadTypeTable},
        {"map extension .MAP overwrites the listing", with(ext(".APP", ".SAP", ".MAP")), 2,
         BadLoadTypeTable},
        {"two outputs share an extension", with(ext(".APP", ".APP", ".AMP")), 2, BadLoadTypeTable},
        {"'DATA' 0 of two bytes",
         [] {
             Program p = goldenProgram();
             p.dataInit = QByteArray();
             p.relocations = QByteArray();
             ResourceForkWriter w;
             QByteArray code0(8, '\0');
             w.add(fourCc("CODE"), 0, code0);
             w.add(fourCc("CODE"), 1, p.code());
             w.add(fourCc("DATA"), 0, QByteArray(2, '\0'));
             return w.binFile();
         }(),
         2, BadDataInit},
        {"A5 world of 8 GB", with([](Program& p) {
             p.aboveA5 = 0xFFFFFFFF;
             p.belowA5 = 0xFFFFFFFF;
         }),
         2, AddressRange},
        {"image ending above 0xFFFFFF", with([](Program& p) { p.entries[0].words[1] = 0xFFFF00; }),
         2, AddressRange},
        {"data init outside the A5 world", with([](Program& p) {
             p.dataInit =
                 DataInitWriter().block(8).fillFF(1).end().block(0).end().block(0).end().bytes();
         }),
         2, BadDataInit},
        {"relocation outside the code", with([](Program& p) {
             p.relocations = RelocationWriter()
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({334})
                                 .table({})
                                 .bytes();
         }),
         2, BadRelocation},
        {"third code table not empty", with([](Program& p) {
             p.relocations = RelocationWriter()
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({4})
                                 .bytes();
         }),
         2, SelfRelocation},
        {"relocation stream missing", with([](Program& p) { p.relocations = QByteArray(); }), 2,
         BadRelocation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadImage img;
        const ConversionError e = build(c.bin, c.type, img);
        EXPECT_EQ(e.code, c.error) << e.detail.toStdString();
        EXPECT_FALSE(e.detail.isEmpty());
        EXPECT_TRUE(img.image.isEmpty());
    }
}
