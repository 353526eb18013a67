// Benchmark of the post-link converter on a linker output of several
// megabytes: a 4 MiB code segment and a 4 MiB A5 world, a megabyte of
// initialised data, some 120,000 relocations and a 20,000-entry map.
//
//   postlink_bench [RUNS] [OUTPUT.md]
//
// Prints a Markdown table of the median and best times of each step and the
// peak memory, and writes it to OUTPUT.md when given.
#include "BinFixture.h"
#include "ConsoleFeedback.h"
#include "PostLink.h"
#include "UserFeedback.h"

#include <QElapsedTimer>
#include <QFile>
#include <QSysInfo>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <sys/resource.h>
#include <vector>

using namespace binfixture;

namespace
{

int relocationCount = 0;

Program bigProgram()
{
    constexpr int kCode = 4 << 20;
    constexpr int kBelow = 2 << 20;
    constexpr int kAbove = 2 << 20;
    Program p;
    p.codeSize = kCode;
    p.tableOffset = 512;
    p.signatureOffset = 152;
    p.belowA5 = kBelow;
    p.aboveA5 = kAbove;
    p.entries = {LoadTypeEntry::make(1, 0x100000, 0, 0, ".RUN", ".SRN", ".RMP"),
                 LoadTypeEntry::make(2, 0x100000, 0x100000, 0x600000, ".APP", ".SAP", ".AMP")};

    QByteArray initialised(1 << 20, '\0');
    for (int i = 0; i < initialised.size(); ++i)
        initialised[i] = char((i * 31) ^ (i >> 7));
    DataInitWriter init;
    init.block(-kBelow).copy(initialised);
    for (int i = 0; i < 4096; ++i)
        init.skip(100).repeat(0x20, 20).fillFF(8).entry1(1, 2);
    init.end().block(0);
    for (int i = 0; i < 8192; ++i)
        init.entry4(1, 2, 3, 4).skip(56);
    init.end().block(kAbove - 64).fillFF(64).end();
    p.dataInit = init.bytes();

    QVector<qint64> a5ToA5, a5ToCode, codeToA5, codeToCode;
    // Entries below A5 are reached by steps from 0, so they start near it.
    for (qint64 off = -16000; off < kAbove; off += 64)
        (off & 64 ? a5ToA5 : a5ToCode).append(off);
    for (qint64 off = 1024; off + 4 <= kCode; off += 48)
        (off % 96 ? codeToA5 : codeToCode).append(off);
    relocationCount = a5ToA5.size() + a5ToCode.size() + codeToA5.size() + codeToCode.size();
    p.relocations = RelocationWriter()
                        .table(a5ToA5)
                        .table(a5ToCode)
                        .table({})
                        .table(codeToA5)
                        .table(codeToCode)
                        .table({})
                        .bytes();
    return p;
}

QByteArray bigMap()
{
    QVector<MapSymbol> code, data;
    for (int i = 0; i < 10000; ++i) {
        code.append({"function_" + QByteArray::number(i), qint64(i) * 400});
        data.append({"global_" + QByteArray::number(i), qint64(i) * 200 - (2 << 20) + 8});
    }
    return mapListing(code, data);
}

struct Figure {
    const char* step;
    double median = 0, best = 0;
};

Figure measure(const char* step, int runs, const std::function<void()>& work)
{
    std::vector<double> ms;
    for (int i = 0; i < runs; ++i) {
        QElapsedTimer t;
        t.start();
        work();
        ms.push_back(double(t.nsecsElapsed()) / 1e6);
    }
    std::sort(ms.begin(), ms.end());
    return Figure{step, ms[ms.size() / 2], ms.front()};
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, atoi(argv[1])) : 5;
    QTemporaryDir tmp;
    if (!tmp.isValid())
        return 1;
    const Program program = bigProgram();
    const QByteArray bin = program.bin();
    const QByteArray map = bigMap();
    if (!writeProgram(program, map, tmp.path(), QStringLiteral("BIG")))
        return 1;
    const QString path = tmp.path() + QStringLiteral("/BIG.BIN");
    const ByteSpan span(bin.constData(), bin.size());

    postlink::LoadImage image;
    const postlink::ConversionError built = postlink::BuildLoadImage(span, 1, image);
    if (built.failed()) {
        std::fprintf(stderr, "error %d: %s\n", built.code, qPrintable(built.detail));
        return 1;
    }
    QByteArray srec;
    ConsoleFeedback feedback;

    std::vector<Figure> figures;
    figures.push_back(measure("read the .BIN", runs, [&] {
        QByteArray bytes;
        QString detail;
        postlink::ReadBinFile(path, bytes, detail);
    }));
    figures.push_back(measure("BuildLoadImage (type 1)", runs, [&] {
        postlink::LoadImage img;
        postlink::BuildLoadImage(span, 1, img);
    }));
    figures.push_back(measure("WriteSRecords (type 1 image)", runs, [&] {
        postlink::WriteSRecords(ByteSpan(image.image.constData(), image.image.size()),
                                image.header.textStart(), srec);
    }));
    figures.push_back(measure("RelocateMapText", runs, [&] {
        QByteArray text = map;
        postlink::RelocateMapText(text, 0x100000, 0x500000);
    }));
    figures.push_back(measure("PostLink, 2 types, 6 files written", runs, [&] {
        if (!postlink::PostLink(path, feedback).succeeded)
            std::fprintf(stderr, "conversion failed\n");
    }));

    struct rusage usage {
    };
    getrusage(RUSAGE_SELF, &usage);

    QByteArray md;
    md += "| Step | Median ms | Best ms |\n|---|---:|---:|\n";
    for (const Figure& f : figures)
        md += QByteArray("| ") + f.step + " | " + QByteArray::number(f.median, 'f', 1) + " | " +
              QByteArray::number(f.best, 'f', 1) + " |\n";
    md += "\nInput: .BIN of " + QByteArray::number(bin.size()) + " bytes (image " +
          QByteArray::number(image.image.size()) + " bytes, S-records " +
          QByteArray::number(srec.size()) + " bytes), " + QByteArray::number(relocationCount) +
          " relocations, map of " + QByteArray::number(map.size()) + " bytes; " +
          QByteArray::number(runs) + " runs each.\n";
    md += "Peak resident memory of the whole benchmark: " +
          QByteArray::number(qint64(usage.ru_maxrss) / 1024) + " MiB.\n";
    md += "Machine: " + QSysInfo::prettyProductName().toUtf8() + ", " +
          QSysInfo::currentCpuArchitecture().toUtf8() + ".\n";
    std::fwrite(md.constData(), 1, size_t(md.size()), stdout);

    if (argc > 2) {
        QFile out(QFile::decodeName(argv[2]));
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(md) != md.size())
            return 1;
    }
    return 0;
}
