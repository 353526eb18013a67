// Malformed .BIN files: truncated at every length, single bytes changed at
// every position, and huge counts and offsets in every structure. Each must
// end with an error code and a text, never a crash or a hang; a file-level
// run must write nothing.
#include "PostLink.h"
#include "TestSupport.h"

using namespace binfixture;
using namespace postlink;

namespace
{

QByteArray sampleBin()
{
    return sampleProgram({1, 2, 3}).bin();
}

int convert(const QByteArray& bin, int type, LoadImage& img)
{
    const ConversionError e = BuildLoadImage(ByteSpan(bin.constData(), bin.size()), type, img);
    if (e.failed()) {
        EXPECT_FALSE(e.detail.isEmpty()) << "error " << e.code;
        EXPECT_TRUE(img.image.isEmpty());
    }
    return e.code;
}

// Offsets of the structures of the sample file, read the way the format
// defines them (independently of the converter).
struct Layout {
    int fork = 128, dataArea = 0, map = 0, typeList = 0, codeRefs = 0;
    explicit Layout(const QByteArray& bin)
    {
        auto be32 = [&](int at) {
            return int(getBe32(reinterpret_cast<const uchar*>(bin.constData()) + at));
        };
        auto be16 = [&](int at) {
            return int(getBe16(reinterpret_cast<const uchar*>(bin.constData()) + at));
        };
        dataArea = fork + be32(fork);
        map = fork + be32(fork + 4);
        typeList = map + be16(map + 24);
        codeRefs = typeList + be16(typeList + 2 + 6); // 'CODE' is the first type
    }
};

QByteArray patched(QByteArray bin, int at, const QByteArray& bytes)
{
    bin.replace(at, bytes.size(), bytes);
    return bin;
}

} // namespace

TEST(Malformed, TruncatedAtEveryLength)
{
    const QByteArray bin = sampleBin();
    for (int length = 0; length < bin.size(); ++length) {
        SCOPED_TRACE(length);
        for (int type = 1; type <= 3; ++type) {
            LoadImage img;
            const int code = convert(bin.left(length), type, img);
            EXPECT_NE(code, Ok);
            EXPECT_TRUE(code == BadResourceFork || code == MissingResource || code == BadDataInit ||
                        code == BadRelocation || code == BadLoadTypeTable)
                << "error " << code;
        }
    }
    LoadImage img;
    EXPECT_EQ(convert(bin, 1, img), Ok);
}

TEST(Malformed, EveryByteChanged)
{
    const QByteArray bin = sampleBin();
    for (int at = 0; at < bin.size(); ++at) {
        for (char value : {char(0xFF), char(0x80), char(0x00), char(0x41)}) {
            QByteArray changed = bin;
            if (changed[at] == value)
                continue;
            changed[at] = value;
            for (int type = 1; type <= 3; ++type) {
                LoadImage img;
                const int code = convert(changed, type, img);
                if (code == Ok) {
                    EXPECT_EQ(img.image.size(), int(img.header.totalLength()));
                    EXPECT_GE(img.image.size(), kStartupBlockSize);
                }
            }
        }
    }
}

TEST(Malformed, HugeCountsAndOffsets)
{
    const QByteArray bin = sampleBin();
    const Layout l(bin);
    const QByteArray ff4("\xFF\xFF\xFF\xFF", 4);
    const QByteArray big4("\x7F\xFF\xFF\xFF", 4);
    const QByteArray ff2("\xFF\xFE", 2);
    const QByteArray ff3("\xFF\xFF\xFF", 3);
    const struct {
        const char* name;
        QByteArray bin;
        int error;
    } cases[] = {
        {"data area offset 0xFFFFFFFF", patched(bin, l.fork, ff4), BadResourceFork},
        {"map offset 0xFFFFFFFF", patched(bin, l.fork + 4, ff4), BadResourceFork},
        {"map offset 0x7FFFFFFF", patched(bin, l.fork + 4, big4), BadResourceFork},
        {"type list offset 0xFFFF", patched(bin, l.map + 24, QByteArray("\xFF\xFF", 2)),
         BadResourceFork},
        {"type count 0xFFFE, types found before the end", patched(bin, l.typeList, ff2), Ok},
        {"type count 0xFFFE, 'DATA' not there",
         patched(patched(bin, l.typeList, ff2), l.typeList + 2 + 8, QByteArray("DATX")),
         BadResourceFork},
        {"reference count 0xFFFF, 'CODE' 1 not there",
         patched(patched(bin, l.typeList + 2 + 4, QByteArray("\xFF\xFF", 2)), l.codeRefs + 12,
                 QByteArray("\0\x07", 2)),
         BadResourceFork},
        {"'CODE' 1 not there", patched(bin, l.codeRefs + 12, QByteArray("\0\x07", 2)),
         MissingResource},
        {"first type's reference list offset 0xFFFF",
         patched(bin, l.typeList + 2 + 6, QByteArray("\xFF\xFF", 2)), BadResourceFork},
        {"first resource data offset 0xFFFFFF", patched(bin, l.typeList + 2 + 8 * 2 + 5, ff3),
         BadResourceFork},
        {"first resource length 0xFFFFFFFF", patched(bin, l.dataArea, ff4), BadResourceFork},
        {"empty type list", patched(bin, l.typeList, QByteArray("\xFF\xFF", 2)), MissingResource},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadImage img;
        EXPECT_EQ(convert(c.bin, 1, img), c.error);
    }
}

TEST(Malformed, HugeValuesInsideTheProgram)
{
    auto with = [](auto change) {
        Program p = sampleProgram({1});
        change(p);
        return p.bin();
    };
    const QByteArray ff4("\xFF\xFF\xFF\xFF", 4);
    const struct {
        const char* name;
        QByteArray bin;
        int error;
    } cases[] = {
        {"table offset 0xFFFFFFFF", with([&](Program& p) {
             p.codePatches = {{22, ff4}};
         }),
         BadLoadTypeTable},
        {"table count 0xFFFFFFFF", with([&](Program& p) {
             p.codePatches = {{512, ff4}};
         }),
         BadLoadTypeTable},
        {"above-A5 size 0xFFFFFFFF", with([](Program& p) { p.aboveA5 = 0xFFFFFFFF; }),
         AddressRange},
        {"below-A5 size 0x80000000", with([](Program& p) { p.belowA5 = 0x80000000; }),
         AddressRange},
        {"A5 world of exactly 16 MiB", with([](Program& p) {
             p.aboveA5 = 0x1000000;
             p.belowA5 = 0;
         }),
         AddressRange},
        {"text start 0xFFFFFFFF", with([](Program& p) { p.entries[0].words[1] = 0xFFFFFFFF; }),
         AddressRange},
        {"data-init offset 0x7FFFFFFF", with([](Program& p) {
             p.dataInit = DataInitWriter()
                              .block(0x7FFFFFFF)
                              .copy("x")
                              .end()
                              .block(0)
                              .end()
                              .block(0)
                              .end()
                              .bytes();
         }),
         BadDataInit},
        {"relocation count 0xFFFFFFFF", with([&](Program& p) {
             p.relocations =
                 RelocationWriter().rawTable(0xFFFFFFFF, QByteArray(4096, char(0x80))).bytes();
         }),
         BadRelocation},
        {"relocation to the largest offset", with([](Program& p) {
             p.relocations = RelocationWriter()
                                 .rawTable(1, RelocationWriter::fourByte(0x7FFFFFFE))
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .bytes();
         }),
         BadRelocation},
        {"one-byte steps walking off the code", with([](Program& p) {
             p.relocations = RelocationWriter()
                                 .table({})
                                 .table({})
                                 .table({})
                                 .table({})
                                 .rawTable(5000, QByteArray(5000, char(0xBF)))
                                 .table({})
                                 .bytes();
         }),
         BadRelocation},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LoadImage img;
        EXPECT_EQ(convert(c.bin, 1, img), c.error);
    }
}

TEST(Malformed, FailedConversionWritesNoFile)
{
    QTemporaryDir tmp;
    ASSERT_TRUE(tmp.isValid());
    const QByteArray bin = sampleBin();
    RecordingFeedback feedback;
    // A cut in the map, in the code, and inside the data stream.
    for (int length : {bin.size() - 10, 700, 128 + 256 + 40}) {
        SCOPED_TRACE(length);
        const QString path = tmp.path() + QStringLiteral("/CUT.BIN");
        ASSERT_TRUE(writeAll(path, bin.left(length)));
        const PostLinkResult r = PostLink(path, feedback);
        EXPECT_FALSE(r.succeeded);
        EXPECT_EQ(filesIn(tmp.path()), QStringList({QStringLiteral("CUT.BIN")}));
    }
    EXPECT_EQ(feedback.messages.size(), 3);
    for (const RecordingFeedback::Message& m : feedback.messages) {
        EXPECT_EQ(m.caption, QStringLiteral("Error"));
        EXPECT_EQ(m.icon, MessageIcon::Warning);
        EXPECT_TRUE(m.text.contains(QStringLiteral("load type 1")));
    }
}

TEST(Malformed, ResourcesCutAtEveryLength)
{
    const Program p = sampleProgram({1, 2, 3});
    QByteArray code0(8, '\0');
    putBe32(reinterpret_cast<uchar*>(code0.data()), p.aboveA5);
    putBe32(reinterpret_cast<uchar*>(code0.data()) + 4, p.belowA5);
    const QByteArray code = p.code();
    const QByteArray data = QByteArray(4, '\0') + p.dataInit + p.relocations;
    auto bin = [&](const QByteArray& c0, const QByteArray& c1, const QByteArray& d0) {
        ResourceForkWriter w;
        w.add(fourCc("CODE"), 0, c0);
        w.add(fourCc("CODE"), 1, c1);
        w.add(fourCc("DATA"), 0, d0);
        return w.binFile();
    };
    for (int n = 0; n < data.size(); ++n) {
        SCOPED_TRACE(n);
        LoadImage img;
        const int code = convert(bin(code0, p.code(), data.left(n)), 1, img);
        EXPECT_TRUE(code == BadDataInit || code == BadRelocation) << "error " << code;
    }
    for (int n = 0; n < code.size(); ++n) {
        SCOPED_TRACE(n);
        LoadImage img;
        const int result = convert(bin(code0, code.left(n), data), 2, img);
        // The last relocated word of the code sits at 1000.
        if (n >= 1004)
            EXPECT_EQ(result, Ok);
        else
            EXPECT_TRUE(result == CodeTooShort || result == BadLoadTypeTable ||
                        result == BadRelocation)
                << "error " << result;
    }
    for (int n = 0; n < 8; ++n) {
        LoadImage img;
        EXPECT_EQ(convert(bin(code0.left(n), code, data), 3, img), BadResourceFork);
    }
}
