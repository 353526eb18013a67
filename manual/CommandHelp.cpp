#include "CommandHelp.h"

#include <QRegularExpression>
#include <QStringList>

#ifndef VANTREL_VERSION
#error "VANTREL_VERSION comes from the project's version in CMakeLists.txt"
#endif

namespace manual
{

namespace
{

constexpr int kHelpWidth = 79;

QStringList paragraphsOf(const QString& text)
{
    QStringList out;
    for (const QString& p : text.split(QStringLiteral("\n\n"), Qt::SkipEmptyParts)) {
        const QString joined = p.simplified();
        if (!joined.isEmpty())
            out << joined;
    }
    return out;
}

// Fills words into lines of at most kHelpWidth columns, each starting with indent.
QString wrapped(const QString& paragraph, int indent)
{
    const QString lead(indent, QLatin1Char(' '));
    QString out, line;
    for (const QString& word : paragraph.split(QLatin1Char(' '), Qt::SkipEmptyParts)) {
        if (!line.isEmpty() && lead.size() + line.size() + 1 + word.size() > kHelpWidth) {
            out += lead + line + QLatin1Char('\n');
            line.clear();
        }
        line += (line.isEmpty() ? QString() : QStringLiteral(" ")) + word;
    }
    if (!line.isEmpty())
        out += lead + line + QLatin1Char('\n');
    return out;
}

QString helpEntries(const QVector<Entry>& entries)
{
    QString out;
    for (const Entry& e : entries) {
        out += QStringLiteral("  ") + e.term + QLatin1Char('\n');
        for (const QString& p : paragraphsOf(e.text))
            out += wrapped(p, 6);
    }
    return out;
}

// Text for roff: backslashes printed as such, option dashes as minus signs (so that
// they can be searched and copied), and no line taken for a request.
QString roff(const QString& text)
{
    QString out;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\\')) {
            out += QStringLiteral("\\e");
        } else if (c == QLatin1Char('-') &&
                   (i == 0 || text.at(i - 1).isSpace() || text.at(i - 1) == QLatin1Char('-') ||
                    text.at(i - 1) == QLatin1Char('[') || text.at(i - 1) == QLatin1Char('|') ||
                    text.at(i - 1) == QLatin1Char('('))) {
            out += QStringLiteral("\\-");
        } else {
            out += c;
        }
    }
    return out;
}

QString roffLine(const QString& text)
{
    const QString r = roff(text);
    if (r.startsWith(QLatin1Char('.')) || r.startsWith(QLatin1Char('\'')))
        return QStringLiteral("\\&") + r + QLatin1Char('\n');
    return r + QLatin1Char('\n');
}

QString roffParagraphs(const QString& text)
{
    QString out;
    const QStringList paragraphs = paragraphsOf(text);
    for (int i = 0; i < paragraphs.size(); ++i) {
        if (i > 0)
            out += QStringLiteral(".PP\n");
        out += roffLine(paragraphs.at(i));
    }
    return out;
}

QString roffEntries(const QVector<Entry>& entries)
{
    QString out;
    for (const Entry& e : entries) {
        out += QStringLiteral(".TP\n\\fB") + roff(e.term) + QStringLiteral("\\fR\n");
        out += roffParagraphs(e.text);
    }
    return out;
}

} // namespace

QString packageVersion()
{
    return QStringLiteral(VANTREL_VERSION);
}

QString versionText(const CommandHelp& help)
{
    return help.program + QLatin1Char(' ') + packageVersion() + QLatin1Char('\n');
}

QString helpText(const CommandHelp& help)
{
    QString out = QStringLiteral("Usage:\n") + helpEntries(help.forms);
    for (const QString& p : paragraphsOf(help.description))
        out += QLatin1Char('\n') + wrapped(p, 0);
    for (const Section& s : help.sections) {
        out += QLatin1Char('\n') + s.title + QStringLiteral(":\n");
        for (const QString& p : paragraphsOf(s.text))
            out += wrapped(p, 2);
        out += helpEntries(s.entries);
    }
    return out;
}

QString manPage(const CommandHelp& help, const QString& version)
{
    // .nh: program and option names are never hyphenated.
    QString out = QStringLiteral(".TH %1 1 \"\" \"%2 %3\" \"User Commands\"\n.nh\n")
                      .arg(help.program.toUpper(), help.program, version);
    out += QStringLiteral(".SH NAME\n") + roff(help.program) + QStringLiteral(" \\- ") +
           roff(help.summary) + QLatin1Char('\n');
    out += QStringLiteral(".SH SYNOPSIS\n.nf\n");
    for (const Entry& form : help.forms)
        out += roffLine(form.term);
    out += QStringLiteral(".fi\n.SH DESCRIPTION\n") + roffParagraphs(help.description);
    out += roffEntries(help.forms);
    for (const Section& s : help.sections) {
        out += QStringLiteral(".SH ") + roff(s.title.toUpper()) + QLatin1Char('\n');
        out += roffParagraphs(s.text);
        out += roffEntries(s.entries);
    }
    if (!help.seeAlso.isEmpty())
        out += QStringLiteral(".SH SEE ALSO\n") + roffLine(help.seeAlso);
    return out;
}

} // namespace manual
