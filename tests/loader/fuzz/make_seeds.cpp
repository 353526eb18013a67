// Writes the seed corpus of the .BIN fuzz target: small valid programs of
// every load-type mix and resource layout, and a map listing.
#include "BinFixture.h"

#include <QFile>

#include <cstdio>

using namespace binfixture;

static bool write(const QString& path, const QByteArray& bytes)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fputs("usage: make_seeds DIR\n", stderr);
        return 2;
    }
    const QString dir = QFile::decodeName(argv[1]) + QLatin1Char('/');
    const QVector<QVector<int>> mixes = {{1, 2, 3}, {2}, {1}, {3, 1}};
    int n = 0;
    bool ok = true;
    for (const QVector<int>& mix : mixes) {
        for (Order order : {Order::AsAdded, Order::Reversed, Order::Shuffled}) {
            Program p = sampleProgram(mix);
            p.typeOrder = order;
            p.dataOrder = order;
            p.extraResources = {{{0x53545220, 0}, QByteArray("seed")}}; // 'STR '
            ok = write(dir + QStringLiteral("seed%1.bin").arg(n++), p.bin()) && ok;
        }
    }
    Program small = sampleProgram({2});
    small.codeSize = 340;
    small.tableOffset = 180;
    small.entries[0].words[1] = 0x0002FF;
    small.dataInit = DataInitWriter()
                         .block(-64)
                         .copy("data")
                         .skip(70)
                         .repeat(0x41, 3)
                         .fillFF(17)
                         .entry1(1, 2)
                         .entry2(1, 2, 3)
                         .entry3(1, 2, 3)
                         .entry4(1, 2, 3, 4)
                         .end(0x07)
                         .block(8)
                         .end()
                         .block(-8)
                         .end()
                         .bytes();
    small.relocations = RelocationWriter()
                            .table({0, 4, 200, -64, 20000 & ~1})
                            .table({8})
                            .table({})
                            .table({324, 330, 20})
                            .table({10})
                            .table({})
                            .bytes();
    small.aboveA5 = 20000;
    ok = write(dir + QStringLiteral("small.bin"), small.bin()) && ok;
    ok = write(dir + QStringLiteral("listing.map"),
               mapListing({{"start", 0}, {"main", 0x144}}, {{"g", -32}, {"h", 12}})) &&
         ok;
    return ok ? 0 : 1;
}
