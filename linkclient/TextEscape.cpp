#include "TextEscape.h"

namespace textescape
{

namespace
{
bool isControl(ushort u)
{
    return u < 0x20 || u == 0x7F || (u >= 0x80 && u <= 0x9F);
}

void appendEscape(QString& out, ushort u)
{
    switch (u) {
    case '\a':
        out += QLatin1String("\\a");
        return;
    case '\b':
        out += QLatin1String("\\b");
        return;
    case '\t':
        out += QLatin1String("\\t");
        return;
    case '\n':
        out += QLatin1String("\\n");
        return;
    case '\v':
        out += QLatin1String("\\v");
        return;
    case '\f':
        out += QLatin1String("\\f");
        return;
    case '\r':
        out += QLatin1String("\\r");
        return;
    default:
        break;
    }
    // Three octal digits per byte of the character's UTF-8 form, as ls writes it.
    const QByteArray bytes = QString(QChar(u)).toUtf8();
    for (char c : bytes)
        out += QString::asprintf("\\%03o", unsigned(static_cast<unsigned char>(c)));
}

QString escaped(const QString& text, bool backslash)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (isControl(c.unicode()))
            appendEscape(out, c.unicode());
        else if (backslash && c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else
            out += c;
    }
    return out;
}

int octal(char c)
{
    return c >= '0' && c <= '7' ? c - '0' : -1;
}
} // namespace

QString escapeControls(const QString& text)
{
    return escaped(text, false);
}

QString escapeName(const QString& name)
{
    return escaped(name, true);
}

QString unescapeName(const QString& printed)
{
    // Byte by byte over the UTF-8 form: an octal escape stands for one byte.
    const QByteArray in = printed.toUtf8();
    const QByteArray simple("abtnvfr\\");
    const char values[] = {'\a', '\b', '\t', '\n', '\v', '\f', '\r', '\\'};
    QByteArray out;
    for (int i = 0; i < in.size(); ++i) {
        if (in[i] == '\\' && i + 1 < in.size()) {
            const int k = simple.indexOf(in[i + 1]);
            if (k >= 0) {
                out += values[k];
                ++i;
                continue;
            }
            if (i + 3 < in.size() && octal(in[i + 1]) >= 0 && octal(in[i + 2]) >= 0 &&
                octal(in[i + 3]) >= 0) {
                const int v = octal(in[i + 1]) * 64 + octal(in[i + 2]) * 8 + octal(in[i + 3]);
                if (v <= 0xFF) {
                    out += char(v);
                    i += 3;
                    continue;
                }
            }
        }
        out += in[i];
    }
    return QString::fromUtf8(out);
}

} // namespace textescape
