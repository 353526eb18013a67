// libFuzzer target: what harbrooklink reads from the instrument before it
// trusts it. Every input is taken as a listing reply and as a clock reply:
// split into entries, each entry read by its columns and from the right, the
// reply judged as a listing or an echo, and every name escaped for a terminal
// and read back. Findings are crashes, sanitizer reports, hangs, or a broken
// invariant (abort).
#include "ListingLine.h"
#include "ReplyCheck.h"
#include "TextEscape.h"

#include <cstdlib>

namespace
{
void check(bool ok)
{
    if (!ok)
        std::abort();
}

bool hasControl(const QString& text)
{
    for (const QChar c : text) {
        const ushort u = c.unicode();
        if (u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0x9F))
            return true;
    }
    return false;
}

void name(const QString& n)
{
    const QString printed = textescape::escapeName(n);
    check(!hasControl(printed));
    check(textescape::unescapeName(printed) == n);
    check(!hasControl(textescape::escapeControls(n)));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size > (1u << 16))
        return 0;
    const QByteArray reply(reinterpret_cast<const char*>(data), int(size));

    const listing::Parsed parsed = listing::parseListing(reply);
    const replycheck::ListingCheck judged =
        replycheck::checkListing(reply, QByteArrayLiteral("cC:\\DATA\nd"));
    check(judged.entries + judged.strayLines.size() == parsed.entries.size());
    check(!judged.fitsNoLine || judged.entries == 0);
    for (const QString& entry : parsed.entries) {
        check(!entry.contains(QChar(0)));
        listing::Fields f;
        if (listing::readFields(entry, &f)) {
            check(!f.name.isEmpty());
            check(!f.directory || f.size == -1);
            check(f.date.size() == 8 &&
                  (f.time.endsWith(QLatin1Char('a')) || f.time.endsWith(QLatin1Char('p'))));
            const QDateTime t = listing::fileTimeOf(f);
            check(!t.isValid() || t.timeSpec() == Qt::UTC);
            name(f.name);
        }
        if (listing::fitsColumns(entry))
            check(listing::readFields(entry, &f) && f.name == listing::firstField(entry));
        const QDateTime t = listing::fileTime(entry);
        check(!t.isValid() || t.timeSpec() == Qt::UTC);
        listing::sizeField(entry);
        listing::isDirectory(entry);
        listing::isSafeLocalName(listing::firstField(entry));
        name(entry);
    }

    const QString clock = replycheck::clockReplyText(reply);
    check(!clock.contains(QChar(0)) && clock == clock.simplified());
    if (replycheck::isEchoOf(reply, QByteArrayLiteral("tdate 01-02-2024 03:04:05 p\n")))
        check(reply.size() >= 27);
    name(QString::fromUtf8(reply));
    return 0;
}
