// A program's command line described once, as data: the forms it is called in,
// what it does, its options, exit statuses, files and environment. The same
// table prints the program's --help text and, through a small generator run at
// build time, its man page, so the two cannot say different things.
#pragma once

#include <QString>
#include <QVector>

namespace manual
{

// One term and what it means: a command-line form, an option, an exit status,
// a file or an environment variable.
struct Entry {
    QString term;
    QString text;
};

// A titled part of the page: a paragraph (may be empty), then its entries.
// Paragraphs are separated by blank lines; a line break inside one is a space.
struct Section {
    QString title;
    QString text;
    QVector<Entry> entries;
};

struct CommandHelp {
    QString program;      // "brennock"
    QString summary;      // one line: what the program is for
    QVector<Entry> forms; // each way of calling it, with what that form does
    QString description;  // after the forms, before the sections
    QVector<Section> sections;
    QString seeAlso; // "qx2sim(1), harbrooklink(1)"
};

// The version of the packages, set where the project is declared.
QString packageVersion();

// "brennock 0.1.0\n": what --version prints.
QString versionText(const CommandHelp& help);

// The --help text, wrapped at 79 columns.
QString helpText(const CommandHelp& help);

// The man page (section 1) in roff, for the version given.
QString manPage(const CommandHelp& help, const QString& version);

} // namespace manual
