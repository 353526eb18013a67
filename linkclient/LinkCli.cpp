#include "LinkCli.h"

#include "LinkCommandHelp.h"
#include "LinkSession.h"
#include "ListingLine.h"
#include "ShortNames.h"

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

void printErr(const QString& text)
{
    fprintf(stderr, "%s\n", text.toLocal8Bit().constData());
    fflush(stderr);
}

void printOut(const QString& text)
{
    fprintf(stdout, "%s\n", text.toUtf8().constData());
}

// One line of `ls`: name, size or <DIR>, date and time as the listing gives them.
QString lsLine(const QString& entry)
{
    listing::Fields f;
    QString text = entry;
    while (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (!listing::readFields(text, &f))
        return text.trimmed() + QStringLiteral("\t?\t?");
    const QString size = f.directory ? QStringLiteral("<DIR>") : QString::number(f.size);
    return f.name + QLatin1Char('\t') + size + QLatin1Char('\t') + f.date + QLatin1Char(' ') +
           f.time;
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
                         [this](const QString& n) { name = n; });
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
        QObject::connect(&session, &LinkSession::logLine, [](const QString& t) { printErr(t); });
    }

    int exec()
    {
        // Names are checked before anything is opened: a bad one is a usage error.
        if (request.kind == Request::Put && !chooseCardNames())
            return Usage;
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
    // Lists the card folder; false (after a message) when there is no answer or
    // the folder is not there.
    bool listDirectory(const QStringList& path, QStringList* entries)
    {
        QEventLoop loop;
        bool answered = false;
        bool missing = false;
        auto got = QObject::connect(
            &session, &LinkSession::listingReceived,
            [&](const QStringList& e, const QStringList& others, bool) {
                answered = true;
                *entries = e;
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
        if (answered && missing) {
            printErr(QStringLiteral("harbrooklink: no folder C:\\%1 on the card")
                         .arg(path.join(QLatin1Char('\\'))));
            return false;
        }
        return answered;
    }

    int list()
    {
        QStringList entries;
        if (!listDirectory(request.cardPath, &entries))
            return Failure;
        for (const QString& entry : entries)
            printOut(lsLine(entry));
        fflush(stdout);
        return Success;
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
        QStringList entries;
        if (!listDirectory(request.cardPath, &entries))
            return Failure;
        QStringList lines;
        bool allFound = true;
        for (const QString& name : request.operands) {
            QString found;
            for (const QString& entry : entries) {
                if (listing::firstField(entry).compare(name, Qt::CaseInsensitive) == 0 &&
                    !listing::isDirectory(entry)) {
                    found = entry;
                    break;
                }
            }
            if (found.isEmpty()) {
                printErr(QStringLiteral("harbrooklink: no file %1 in C:\\%2")
                             .arg(name, request.cardPath.join(QLatin1Char('\\'))));
                allFound = false;
                continue;
            }
            lines.append(found);
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
        QStringList entries;
        if (!listDirectory(request.cardPath, &entries))
            return Failure;

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
        if (!answered)
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
            r.ports.append(value);
            continue;
        }
        if (a.startsWith(QLatin1String("--port="))) {
            r.ports.append(a.mid(7));
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
