// libFuzzer target: the .BIN reader and everything that runs on its output.
// Every input is taken as a whole .BIN file and converted for the three load
// types; a built image goes on to the S-records and the CPM68K header, and the
// input is also fed to the map rewriter as listing text. Findings are crashes,
// sanitizer reports, hangs, or a broken invariant (abort).
#include "PostLinkFormat.h"

#include <cstdlib>

using namespace postlink;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 20))
        return 0;
    const ByteSpan bin(data, qint64(size));

    for (int type = 1; type <= 3; ++type) {
        LoadImage img;
        const ConversionError e = BuildLoadImage(bin, type, img);
        if (e.failed()) {
            if (e.detail.isEmpty() || !img.image.isEmpty())
                std::abort();
            continue;
        }
        const HeaderRecord& h = img.header;
        if (img.image.size() != qint64(h.totalLength()) || img.image.size() < kStartupBlockSize ||
            qint64(h.textStart()) + img.image.size() > kAddressLimit)
            std::abort();

        QByteArray srec;
        const ByteSpan image(img.image.constData(), img.image.size());
        if (WriteSRecords(image, h.textStart(), srec) != Ok || !srec.endsWith("\r\n"))
            std::abort();
        const QByteArray cpm = BuildCpm68kHeader(h);
        if (cpm.size() != (type == 1 ? 28 : 36))
            std::abort();

        QByteArray map(reinterpret_cast<const char*>(data), int(qMin<size_t>(size, 4096)));
        const int before = map.size();
        RelocateMapText(map, h.codeBase(), h.a5Address());
        if (map.size() != before)
            std::abort();
    }

    QByteArray text(reinterpret_cast<const char*>(data), int(size));
    RelocateMapText(text, 0x010000, 0x020000);
    if (text.size() != int(size))
        std::abort();
    return 0;
}
