#include "ReplyCheck.h"

#include "ListingLine.h"

namespace replycheck
{

namespace
{
QByteArray withoutLineEnds(const QByteArray& bytes)
{
    QByteArray out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        if (c != '\n' && c != '\r' && c != '\0')
            out += c;
    }
    return out;
}
} // namespace

ListingCheck checkListing(const QByteArray& reply, const QByteArray& command)
{
    ListingCheck out;
    out.echo = isEchoOf(reply, command);
    const listing::Parsed parsed = listing::parseListing(reply);
    if (!parsed.others.isEmpty())
        out.fitsNoLine = false;
    for (const QString& entry : parsed.entries) {
        QString text = entry;
        while (text.endsWith(QLatin1Char('\r')))
            text.chop(1);
        listing::Fields f;
        if (listing::readFields(text, &f)) {
            ++out.entries;
            out.fitsNoLine = false;
        } else {
            out.strayLines.append(text);
        }
    }
    return out;
}

bool isEchoOf(const QByteArray& reply, const QByteArray& command)
{
    const QByteArray echo = withoutLineEnds(command);
    return !echo.isEmpty() && withoutLineEnds(reply.left(echo.size() * 2 + 16)).startsWith(echo);
}

QString clockReplyText(const QByteArray& reply)
{
    // A stray NUL is dropped, not taken as the end: the new clock comes after it.
    QByteArray text = reply;
    text.replace('\0', QByteArray());
    return QString::fromUtf8(text).simplified();
}

} // namespace replycheck
