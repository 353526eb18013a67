#include "LinkCli.h"

#include "RemotePortUrl.h"

#include "LinkCommandHelp.h"
#include "LinkSession.h"
#include "ListingLine.h"
#include "ShortNames.h"
#include "TextEscape.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QRegularExpression>
#include <QUrl>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace linkcli
{

namespace
{
const QStringList kCommands = {QStringLiteral("ls"), QStringLiteral("get"), QStringLiteral("put"),
                               QStringLiteral("settime")};

// Every line printed holds text from the instrument: control characters are
// escaped so that it cannot rewrite the terminal.
void printErr(const QString& text)
{
    fprintf(stderr, "%s\n", textescape::escapeControls(text).toLocal8Bit().constData());
    fflush(stderr);
}

void printOut(const QString& text)
{
    fprintf(stdout, "%s\n", textescape::escapeControls(text).toUtf8().constData());
}

// A row of ls: its fields are escaped already, the TABs between them are ours.
void printRow(const QString& row)
{
    fprintf(stdout, "%s\n", row.toUtf8().constData());
}

// An entry read from the right, its trailing CR dropped; false when the line is
// not an entry in the listing's columns.
bool entryFields(const QString& entry, listing::Fields* f)
{
    QString text = entry;
    while (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    return listing::readFields(text, f);
}

// An entry of a listing: its fields and the line they came from.
struct Entry {
    listing::Fields fields;
    QString line;
};

// One line of `ls`: the name escaped (one token, no TAB or line end inside),
// size or <DIR>, date and time as the listing gives them.
QString lsLine(const listing::Fields& f)
{
    const QString size = f.directory ? QStringLiteral("<DIR>") : QString::number(f.size);
    return textescape::escapeName(f.name) + QLatin1Char('\t') + size + QLatin1Char('\t') + f.date +
           QLatin1Char(' ') + f.time;
}

// A name as given to get matches the name ls printed, or the card's name.
bool namesMatch(const QString& given, const QString& cardName)
{
    return given == textescape::escapeName(cardName) ||
           given.compare(cardName, Qt::CaseInsensitive) == 0 ||
           textescape::unescapeName(given).compare(cardName, Qt::CaseInsensitive) == 0;
}

// A --port value: a name holding '/' or naming an existing file is a path (made
// absolute, since the serial library looks bare names up in /dev); any other
// name is a device in /dev, as ttyUSB0. A port server's rfc2217:// address stays.
QString portArgument(const QString& value)
{
    if (RemotePortUrl::isRemote(value))
        return value;
    if (value.contains(QLatin1Char('/')) || QFileInfo::exists(value))
        return QFileInfo(value).absoluteFilePath();
    return value;
}

// Progress of the file in transfer, drawn as a bar when stderr is a terminal.
class ProgressBar
{
public:
    explicit ProgressBar(LinkSession& session)
    {
        if (!isatty(STDERR_FILENO))
            return;
        QObject::connect(&session, &LinkSession::transferFile,
                         [this](const QString& n) { name = textescape::escapeControls(n); });
        QObject::connect(&session, &LinkSession::transferFileSize, [this](qint64 n) { size = n; });
        QObject::connect(&session, &LinkSession::transferFileCompleted, [this](qint64 n) {
            if (shown.isValid() && shown.elapsed() < 100 && n < size)
                return;
            shown.start();
            draw(n);
        });
        QObject::connect(&session, &LinkSession::logLine, [this](const QString&) { clear(); });
        QObject::connect(&session, &LinkSession::jobFinished, [this](bool) { clear(); });
    }
    ~ProgressBar() { clear(); }

private:
    void draw(qint64 done)
    {
        constexpr int width = 30;
        const qint64 shownDone = qMax<qint64>(0, done);
        const int filled = size > 0 ? int(qMin<qint64>(width, shownDone * width / size)) : width;
        const int percent = size > 0 ? int(qMin<qint64>(100, shownDone * 100 / size)) : 100;
        fprintf(stderr, "\r%-14s [%s%s] %3d%% %lld/%lld", name.toLocal8Bit().constData(),
                QByteArray(filled, '#').constData(), QByteArray(width - filled, ' ').constData(),
                percent, static_cast<long long>(shownDone), static_cast<long long>(size));
        fflush(stderr);
        drawn = true;
    }
    void clear()
    {
        if (drawn)
            fprintf(stderr, "\r\033[K");
        drawn = false;
    }
    QString name;
    qint64 size = 0;
    bool drawn = false;
    QElapsedTimer shown;
};

// The conversations of the command line, each waiting in an event loop for
// the session's answer.
class Runner
{
public:
    Runner(const Request& r, const LinkTiming& timing) : request(r)
    {
        session.setTiming(timing);
        // A listing is announced as a success only once it was checked.
        QObject::connect(&session, &LinkSession::logLine, [](const QString& t) {
            if (t != LinkSession::listingSuccessText())
                printErr(t);
        });
    }

    int exec()
    {
        // Names are checked before anything is opened: a bad one is a usage error.
        if (request.kind == Request::Put && !chooseCardNames())
            return Usage;
        // Local files are checked before the instrument is asked anything, so that a
        // refusal is never preceded by a listing's success line.
        if (request.kind == Request::Put) {
            bool refused = false;
            for (const QString& file : request.operands) {
                const Outcome uploadable = LinkSession::checkUploadable(file);
                if (uploadable.failed())
                    printErr(uploadable.text());
                refused = refused || uploadable.failed();
            }
            if (refused)
                return Failure;
        }
        if (!session.selectPort(request.ports.first()))
            return Failure;
        switch (request.kind) {
        case Request::List:
            return list();
        case Request::Get:
            return get();
        case Request::Put:
            return put();
        case Request::SetTime:
            return setTime();
        default:
            return Usage;
        }
    }

private:
    // Lists the card folder; false (after a message) when there is no answer, the
    // answer is no listing, or the folder is not there. Entry lines that are not
    // in the listing's columns are left out of entries and named in strays.
    bool listDirectory(const QStringList& path, QList<Entry>* entries,
                       QStringList* strays = nullptr)
    {
        QEventLoop loop;
        bool answered = false;
        bool missing = false;
        QStringList lines;
        auto got = QObject::connect(
            &session, &LinkSession::listingReceived,
            [&](const QStringList& e, const QStringList& others, bool) {
                answered = true;
                lines = e;
                for (const QString& line : others)
                    missing = missing || line.trimmed().compare(QLatin1String("File not found"),
                                                                Qt::CaseInsensitive) == 0;
                loop.quit();
            });
        auto silent = QObject::connect(&session, &LinkSession::noAnswer, [&] { loop.quit(); });
        if (session.performCD(path))
            loop.exec();
        QObject::disconnect(got);
        QObject::disconnect(silent);
        if (!answered)
            return false;
        // The session has said what the answer was instead.
        if (session.lastListingCheck().fitsNoLine)
            return false;
        if (missing) {
            printErr(QStringLiteral("harbrooklink: no folder C:\\%1 on the card")
                         .arg(path.join(QLatin1Char('\\'))));
            return false;
        }
        entries->clear();
        for (const QString& line : lines) {
            listing::Fields f;
            if (entryFields(line, &f))
                entries->append({f, line});
            else if (strays)
                strays->append(line);
        }
        printErr(LinkSession::listingSuccessText());
        return true;
    }

    int list()
    {
        QList<Entry> entries;
        QStringList strays;
        if (!listDirectory(request.cardPath, &entries, &strays))
            return Failure;
        for (const Entry& e : entries)
            printRow(lsLine(e.fields));
        fflush(stdout);
        for (const QString& line : strays)
            printErr(QStringLiteral("harbrooklink: left out a line of the answer that is not a "
                                    "listing entry: \"%1\"")
                         .arg(line));
        return strays.isEmpty() ? Success : Failure;
    }

    // Waits for the end of a job; true when every file arrived whole.
    bool runJob(const std::function<bool()>& start)
    {
        QEventLoop loop;
        bool complete = false;
        bool finished = false;
        auto done = QObject::connect(&session, &LinkSession::jobFinished, [&](bool ok) {
            complete = ok;
            finished = true;
            loop.quit();
        });
        ProgressBar bar(session);
        if (start() && !finished)
            loop.exec();
        QObject::disconnect(done);
        return finished && complete;
    }

    int get()
    {
        const QFileInfo dir(request.localDir.isEmpty() ? QDir::currentPath() : request.localDir);
        if (!dir.isDir()) {
            printErr(QStringLiteral("harbrooklink: %1 is not a folder").arg(dir.filePath()));
            return Failure;
        }
        QList<Entry> entries;
        if (!listDirectory(request.cardPath, &entries))
            return Failure;
        QStringList lines;
        bool allFound = true;
        for (const QString& name : request.operands) {
            const Entry* found = nullptr;
            for (const Entry& e : entries) {
                if (!e.fields.directory && namesMatch(name, e.fields.name)) {
                    found = &e;
                    break;
                }
            }
            if (!found) {
                printErr(QStringLiteral("harbrooklink: no file %1 in C:\\%2")
                             .arg(name, request.cardPath.join(QLatin1Char('\\'))));
                allFound = false;
                continue;
            }
            lines.append(found->line);
        }
        if (lines.isEmpty())
            return Failure;
        const bool complete =
            runJob([&] { return session.startDownload(lines, dir.absoluteFilePath()); });
        return complete && allFound ? Success : Failure;
    }

    // The 8.3 names by the program's rule, or as given with --name; false (after a
    // message) when one is not usable.
    bool chooseCardNames()
    {
        names = shortnames::makeShortNames(request.operands);
        for (int i = 0; i < names.size(); ++i) {
            if (!request.cardNames.value(i).isEmpty())
                names[i] = request.cardNames.at(i);
        }
        const QString problem = shortnames::problemWithNames(names);
        if (problem.isEmpty())
            return true;
        printErr(QStringLiteral("harbrooklink: %1; give the card name with --name after the file")
                     .arg(problem));
        return false;
    }

    int put()
    {
        QList<QUrl> urls;
        for (const QString& file : request.operands)
            urls.append(QUrl::fromLocalFile(QFileInfo(file).absoluteFilePath()));
        {
            QList<Entry> before;
            if (!listDirectory(request.cardPath, &before))
                return Failure;
        }
        QStringList entries;

        // The job ends with a fresh listing of the folder: it shows what arrived.
        QEventLoop loop;
        bool listed = false;
        bool silent = false;
        auto got = QObject::connect(&session, &LinkSession::listingReceived,
                                    [&](const QStringList& e, const QStringList&, bool) {
                                        entries = e;
                                        listed = true;
                                        loop.quit();
                                    });
        auto none = QObject::connect(&session, &LinkSession::noAnswer, [&] {
            silent = true;
            loop.quit();
        });
        const bool complete = runJob([&] { return session.startUpload(urls, names); });
        if (!listed && !silent && session.currentState() == LinkSession::DirListing)
            loop.exec();
        QObject::disconnect(got);
        QObject::disconnect(none);
        if (!complete)
            return Failure;
        if (!listed) {
            printErr(QStringLiteral("harbrooklink: no listing after the upload; cannot tell "
                                    "whether the files arrived"));
            return Failure;
        }
        bool allThere = true;
        for (int i = 0; i < names.size(); ++i) {
            const qint64 size = QFileInfo(request.operands.at(i)).size();
            bool there = false;
            for (const QString& entry : entries) {
                listing::Fields f;
                if (listing::readFields(entry, &f) && !f.directory &&
                    f.name.compare(names.at(i), Qt::CaseInsensitive) == 0 && f.size == size)
                    there = true;
            }
            if (!there) {
                printErr(QStringLiteral("harbrooklink: %1 is not on the card with %2 bytes")
                             .arg(names.at(i))
                             .arg(size));
                allThere = false;
            }
        }
        return allThere ? Success : Failure;
    }

    int setTime()
    {
        QEventLoop loop;
        QString reply;
        bool answered = false;
        auto got = QObject::connect(&session, &LinkSession::setTimeReply, [&](const QString& t) {
            reply = t;
            answered = true;
            loop.quit();
        });
        auto silent = QObject::connect(&session, &LinkSession::noAnswer, [&] { loop.quit(); });
        session.sendSetTime();
        loop.exec();
        QObject::disconnect(got);
        QObject::disconnect(silent);
        // Nothing answered, or the console echoed the command: the clock was not set
        // (the session has said which).
        if (!answered || session.lastClockReplyWasEcho())
            return Failure;
        printOut(reply);
        return Success;
    }

    const Request request;
    LinkSession session;
    QStringList names; // put: the card names, in the order of the files
};

bool takeValue(const QStringList& args, int* i, QString* value, QString* error)
{
    const QString option = args.at(*i);
    if (*i + 1 >= args.size()) {
        *error = QStringLiteral("%1 needs a value").arg(option);
        return false;
    }
    *value = args.at(++*i);
    return true;
}
} // namespace

bool isCommandLine(const QStringList& args)
{
    // Qt's own options that take a value; the window takes them, not a command.
    static const QStringList qtOptionsWithValue = {QStringLiteral("-platform"),
                                                   QStringLiteral("-platformpluginpath"),
                                                   QStringLiteral("-platformtheme"),
                                                   QStringLiteral("-plugin"),
                                                   QStringLiteral("-qwindowgeometry"),
                                                   QStringLiteral("-qwindowtitle"),
                                                   QStringLiteral("-qwindowicon"),
                                                   QStringLiteral("-style"),
                                                   QStringLiteral("-stylesheet"),
                                                   QStringLiteral("-display"),
                                                   QStringLiteral("-geometry"),
                                                   QStringLiteral("-title"),
                                                   QStringLiteral("-name"),
                                                   QStringLiteral("-session")};
    for (int i = 0; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h") ||
            a == QLatin1String("--version"))
            return true;
        if (a == QLatin1String("--port") || qtOptionsWithValue.contains(a)) {
            ++i;
            continue;
        }
        // A command, or a word that is none: both are for the command line to judge.
        if (!a.startsWith(QLatin1Char('-')))
            return true;
    }
    return false;
}

QStringList cardPathFrom(const QString& text)
{
    QString t = text;
    if (t.startsWith(QLatin1String("C:"), Qt::CaseInsensitive))
        t = t.mid(2);
    QStringList path;
    const QStringList parts =
        t.split(QRegularExpression(QStringLiteral("[/\\\\]")), Qt::SkipEmptyParts);
    for (const QString& part : parts) {
        if (part == QLatin1String("."))
            continue;
        if (part == QLatin1String("..")) {
            if (!path.isEmpty())
                path.removeLast();
            continue;
        }
        path.append(part);
    }
    return path;
}

bool parse(const QStringList& args, Request* out, QString* error)
{
    Request r;
    int i = 0;
    // Options before the command.
    for (; i < args.size(); ++i) {
        const QString& a = args.at(i);
        if (a == QLatin1String("--help") || a == QLatin1String("-h")) {
            r.kind = Request::Help;
            *out = r;
            return true;
        }
        if (a == QLatin1String("--version")) {
            r.kind = Request::Version;
            *out = r;
            return true;
        }
        if (a == QLatin1String("--port")) {
            QString value;
            if (!takeValue(args, &i, &value, error))
                return false;
            r.ports.append(portArgument(value));
            continue;
        }
        if (a.startsWith(QLatin1String("--port="))) {
            r.ports.append(portArgument(a.mid(7)));
            continue;
        }
        break;
    }
    if (i >= args.size()) {
        r.kind = Request::Window;
        *out = r;
        return true;
    }
    const QString command = args.at(i++);
    if (!kCommands.contains(command)) {
        *error = QStringLiteral("unknown command or option: %1").arg(command);
        return false;
    }
    if (r.ports.isEmpty()) {
        *error = QStringLiteral("%1 needs --port DEVICE before it").arg(command);
        return false;
    }
    for (; i < args.size(); ++i) {
        const QString& a = args.at(i);
        QString value;
        if (command == QLatin1String("get") && a == QLatin1String("--from")) {
            if (!takeValue(args, &i, &value, error))
                return false;
            r.cardPath = cardPathFrom(value);
        } else if (command == QLatin1String("get") && a == QLatin1String("--to")) {
            if (!takeValue(args, &i, &value, error))
                return false;
            r.localDir = value;
        } else if (command == QLatin1String("put") && a == QLatin1String("--to")) {
            if (!takeValue(args, &i, &value, error))
                return false;
            r.cardPath = cardPathFrom(value);
        } else if (command == QLatin1String("put") && a == QLatin1String("--name")) {
            if (!takeValue(args, &i, &value, error))
                return false;
            if (r.operands.isEmpty()) {
                *error = QStringLiteral("--name comes after the FILE it names");
                return false;
            }
            r.cardNames[r.operands.size() - 1] = value;
        } else if (a.startsWith(QLatin1String("--"))) {
            *error = QStringLiteral("%1 does not take %2").arg(command, a);
            return false;
        } else {
            r.operands.append(a);
            r.cardNames.append(QString());
        }
    }
    if (command == QLatin1String("ls")) {
        if (r.operands.size() > 1) {
            *error = QStringLiteral("ls takes one folder at most");
            return false;
        }
        r.kind = Request::List;
        r.cardPath = cardPathFrom(r.operands.value(0));
        r.operands.clear();
    } else if (command == QLatin1String("settime")) {
        if (!r.operands.isEmpty()) {
            *error = QStringLiteral("settime takes no arguments");
            return false;
        }
        r.kind = Request::SetTime;
    } else {
        if (r.operands.isEmpty()) {
            *error = QStringLiteral("%1 needs at least one %2")
                         .arg(command, command == QLatin1String("get") ? QStringLiteral("NAME")
                                                                       : QStringLiteral("FILE"));
            return false;
        }
        r.kind = command == QLatin1String("get") ? Request::Get : Request::Put;
    }
    *out = r;
    return true;
}

QString helpText()
{
    return manual::helpText(linkCommandHelp());
}

int run(const Request& request, const LinkTiming& timing)
{
    Runner runner(request, timing);
    return runner.exec();
}

} // namespace linkcli
