#include "LinkServer.h"

#include "InstrumentWire.h"

#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

namespace qx2sim
{

using namespace wire;

namespace
{

// All the bytes: QString::fromUtf8(QByteArray) would stop at a NUL.
QString textOf(const QByteArray& bytes)
{
    return QString::fromUtf8(bytes.constData(), bytes.size());
}

bool hasControl(const QString& text)
{
    for (QChar c : text)
        if (c.unicode() < 0x20 || c.unicode() == 0x7F)
            return true;
    return false;
}

// Shown back in a reply: control bytes as '?', so the reply stays one line.
QByteArray printable(const QString& text)
{
    QByteArray out = text.toUtf8();
    for (char& c : out)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return out;
}

// Lines of a listing, each with its line end, so faults can rewrite entries.
QList<QByteArray> linesOf(const QByteArray& text)
{
    QList<QByteArray> out;
    int from = 0;
    while (from < text.size()) {
        const int lf = text.indexOf('\n', from);
        const int end = lf < 0 ? text.size() : lf + 1;
        out.append(text.mid(from, end - from));
        from = end;
    }
    return out;
}

bool isEntryLine(const QByteArray& line)
{
    return !line.isEmpty() && line[0] != ' ' && line[0] != '\r' && line[0] != '\n';
}

// --hostile-names, --control-names: the extra entries come right after the
// header's empty line.
QByteArray withExtraEntries(const QByteArray& text, const QByteArray& lineEnd,
                            const QStringList& names, qint64 size)
{
    QList<QByteArray> lines = linesOf(text);
    QByteArray extra;
    for (const QString& name : names) {
        ListingEntry e;
        e.name = name;
        e.size = size;
        e.stamp = QDateTime(QDate(2019, 1, 5), QTime(15, 45), Qt::UTC);
        extra += formatListingLine(e).toUtf8() + lineEnd;
    }
    lines.insert(qMin(3, lines.size()), extra);
    return lines.join();
}

// --bad-dates: month 13, day 45 in every file entry that keeps to the columns.
QByteArray withBadDates(const QByteArray& text)
{
    QList<QByteArray> lines = linesOf(text);
    for (QByteArray& l : lines) {
        if (isEntryLine(l) && l.size() >= 37 && l.mid(15, 5) != "<DIR>" && l[28] == ' ' &&
            l[31] == '-' && l[34] == '-')
            l.replace(29, 5, "13-45");
    }
    return lines.join();
}

} // namespace

LinkServer::~LinkServer()
{
    // An upload cut short by shutdown is not a file on the card.
    if (upload)
        upload->cancelWriting();
}

void LinkServer::start()
{
    core.simMode = SimMode::Skiffer;
    core.active = Activity::Link;
    step = Step::Idle;
    core.cwdValid = true;
    switchUart(0, QStringLiteral("link server on the USB link"));
    note(QStringLiteral("Skiffer link server started"));
    outLine(QStringLiteral(" Skiffer link server running; Ctrl-C stops it"));
}

int LinkServer::consume(const char* p, int n)
{
    switch (step) {
    case Step::Idle:
        idleByte(static_cast<unsigned char>(p[0]));
        return 1;
    case Step::Line:
        return commandLine(p, n);
    case Step::UploadData:
        return uploadData(p, n);
    }
    return 1;
}

int LinkServer::commandLine(const char* p, int n)
{
    int i = 0;
    while (i < n && p[i] != '\n')
        ++i;
    for (int j = 0; j < i; ++j)
        if (p[j] != '\r' || !options.lenient) // a CR is part of the command
            line.append(p[j]);
    if (line.size() > kMaxLinkLine) {
        note(QStringLiteral("link: command line too long, dropped"));
        line.clear();
        step = Step::Idle;
        return i < n ? i + 1 : n;
    }
    if (i < n) {
        step = Step::Idle;
        const QByteArray arg = line;
        line.clear();
        command(commandLetter, arg);
        return i + 1;
    }
    return n;
}

int LinkServer::uploadData(const char* p, int n)
{
    qint64 allow = uploadRemaining;
    if (options.uploadStallAfter >= 0)
        allow = qMin(allow, options.uploadStallAfter - uploadReceived);
    if (allow <= 0) {
        uploadStalled = true;
        note(QStringLiteral("fault: upload reading stops after %1 bytes").arg(uploadReceived));
        return 0;
    }
    const int k = static_cast<int>(qMin<qint64>(n, allow));
    if (uploadReceived == 0)
        uploadSettings = io->lineSettings();
    if (upload && uploadKeep && upload->write(p, k) != k)
        uploadKeep = false; // reported when the file is finished
    uploadRemaining -= k;
    uploadReceived += k;
    if (options.uploadText == QLatin1String("during") && !uploadTextSent &&
        uploadReceived * 2 >= uploadAnnounced && uploadRemaining > 0) {
        uploadTextSent = true;
        out(" Receiving " + uploadCardPath.toUtf8() + "\r\n");
    }
    if (uploadRemaining == 0)
        finishUpload();
    return k;
}

qint64 LinkServer::deadline() const
{
    if (step != Step::UploadData)
        return -1;
    return core.lastByteAt + options.timing.uploadIdleMs;
}

void LinkServer::expire()
{
    if (uploadStalled) {
        uploadStalled = false;
        discardUpload(QStringLiteral("reading stopped after %1 bytes (fault), then %2 ms")
                          .arg(uploadReceived)
                          .arg(options.timing.uploadIdleMs));
    } else {
        discardUpload(QStringLiteral("line quiet for %1 ms").arg(options.timing.uploadIdleMs));
    }
}

void LinkServer::idleByte(unsigned char c)
{
    switch (c) {
    case 'c':
    case 't':
    case 's':
    case 'r':
        commandLetter = static_cast<char>(c);
        line.clear();
        step = Step::Line;
        return;
    case 'd':
        list();
        summary(QStringLiteral("link: d done"));
        return;
    case 'a':
        io->discardPendingOutput();
        core.pending.clear();
        note(QStringLiteral("link: a - sending stopped"));
        if (!model.cardFiles.isEmpty() && model.cardFiles.last().kind == CardFileRecord::Sent) {
            CardFileRecord rec = model.cardFiles.last();
            rec.kind = CardFileRecord::SendAborted;
            model.cardFiles.append(rec);
        }
        return;
    case kETX:
        note(QStringLiteral("Skiffer link server stopped"));
        core.simMode = SimMode::Console;
        core.active = Activity::Line;
        switchUart(options.terminalBaud, QStringLiteral("console"));
        out("^C\r\n");
        prompt();
        return;
    default:
        return; // line ends and stray bytes between commands
    }
}

void LinkServer::command(char cmd, const QByteArray& arg)
{
    if (arg.endsWith('\r') && !options.lenient)
        violation(QStringLiteral("link command %1 ends in CR LF; the CR is part of it")
                      .arg(QLatin1Char(cmd)));
    switch (cmd) {
    case 'c':
        changeDir(textOf(arg));
        break;
    case 't':
        if (arg.startsWith("date "))
            tdate(textOf(arg.mid(5)));
        else
            note(QStringLiteral("link: unknown command t%1").arg(textOf(arg)));
        break;
    case 's':
        send(textOf(arg));
        break;
    case 'r':
        receive(arg);
        break;
    default:
        break;
    }
    // An upload's summary comes when it ends.
    if (step != Step::UploadData)
        summary(QStringLiteral("link: %1 done").arg(QLatin1Char(cmd)));
}

void LinkServer::sendLinkText(int delayMs, const QByteArray& text)
{
    if (delayMs > 0)
        outAfter(delayMs, text);
    else
        out(text);
}

void LinkServer::changeDir(const QString& path)
{
    QStringList to;
    // Only the lenient server forgives a CR (or other control byte) in the path.
    if ((options.lenient || !hasControl(path)) && card->resolveDirectory(path, core.cwd, &to)) {
        core.cwd = to;
        core.cwdValid = true;
        note(QStringLiteral("link: c %1").arg(CardTree::cardPath(core.cwd)));
    } else {
        core.cwdValid = false;
        core.badDir = path;
        note(QStringLiteral("link: c %1 - no such directory").arg(path));
    }
}

void LinkServer::list()
{
    const QByteArray lineEnd = options.crlfListing ? "\r\n" : "\n";
    QByteArray text;
    if (core.cwdValid) {
        text = card->listing(core.cwd, lineEnd);
        if (options.hostileNames)
            text = withExtraEntries(text, lineEnd, hostileCardNames(), hostileFileBytes().size());
        if (options.controlNames)
            text = withExtraEntries(text, lineEnd, controlCardNames(), controlFileBytes().size());
        if (options.badDates)
            text = withBadDates(text);
    } else {
        text = " Volume in drive C is QX2CARD" + lineEnd + " Directory of " +
               printable(core.badDir) + lineEnd + lineEnd + " File not found" + lineEnd;
    }
    if (options.nulInListing) {
        QByteArray marked;
        for (const QByteArray& line : text.split('\n')) {
            QByteArray l = line;
            if (!l.isEmpty() && l[0] != ' ' && l[0] != '\r')
                l.insert(l.endsWith('\r') ? l.size() - 1 : l.size(), '\0');
            marked += l + '\n';
        }
        marked.chop(1);
        text = marked;
    }
    note(QStringLiteral("link: d %1 (%2 bytes)")
             .arg(core.cwdValid ? CardTree::cardPath(core.cwd)
                                : QString::fromUtf8(printable(core.badDir)))
             .arg(text.size()));
    if (options.chunkSize > 0) {
        flush();
        for (int i = 0; i < text.size(); i += options.chunkSize)
            outAfter(i == 0 ? options.listingDelayMs : options.chunkGapMs,
                     text.mid(i, options.chunkSize));
    } else {
        sendLinkText(options.listingDelayMs, text);
    }
}

void LinkServer::tdate(const QString& text)
{
    // The server reads the client's text by position: two-digit fields, one lower-case letter.
    static const QRegularExpression strict(
        QStringLiteral("^(\\d{2})-(\\d{2})-(\\d{4}) (\\d{2}):(\\d{2}):(\\d{2}) ([ap])$"));
    static const QRegularExpression loose(
        QStringLiteral("^(\\d{2})-(\\d{2})-(\\d{4}) (\\d{1,2}):(\\d{2}):(\\d{2}) ?([aApP])[mM]?$"));
    const auto m = options.lenient ? loose.match(text.trimmed()) : strict.match(text);
    const QDate date =
        m.hasMatch() ? QDate(m.captured(3).toInt(), m.captured(1).toInt(), m.captured(2).toInt())
                     : QDate();
    int hour = m.hasMatch() ? m.captured(4).toInt() : -1;
    const bool pm = m.hasMatch() && m.captured(7).toLower() == QLatin1String("p");
    if (hour >= 1 && hour <= 12)
        hour = (hour % 12) + (pm ? 12 : 0);
    else
        hour = -1;
    const QTime time =
        hour >= 0 ? QTime(hour, m.captured(5).toInt(), m.captured(6).toInt()) : QTime();
    if (!date.isValid() || !time.isValid()) {
        if (!options.lenient)
            violation(QStringLiteral("tdate text \"%1\" is not MM-dd-yyyy hh:mm:ss a|p")
                          .arg(QString::fromUtf8(printable(text))));
        note(QStringLiteral("link: tdate %1 - not understood")
                 .arg(QString::fromUtf8(printable(text))));
        // An error line begins with a space, so the client shows it and lists nothing.
        sendLinkText(options.tdateDelayMs,
                     " Bad date: " + printable(text) + " (use tdate MM-dd-yyyy hh:mm:ss a|p)\r\n");
        return;
    }
    const QString format = QStringLiteral("MM-dd-yyyy HH:mm:ss");
    const QDateTime before = clock();
    const QDateTime value(date, time, Qt::UTC);
    core.setClock(value);
    model.clockSets.append({QStringLiteral("tdate"), text, value});
    note(QStringLiteral("clock set by tdate to %1").arg(value.toString(Qt::ISODate)));
    const QByteArray nul = options.nulInClockReply ? QByteArray(1, '\0') : QByteArray();
    sendLinkText(options.tdateDelayMs, "\r\nClock was " + before.toString(format).toUtf8() +
                                           "\r\n" + nul + "Clock now " +
                                           value.toString(format).toUtf8() + "\r\n");
}

void LinkServer::send(const QString& name)
{
    if (options.hostileNames && hostileCardNames().contains(name)) {
        note(QStringLiteral("fault: s %1 - hostile name, sending %2 bytes")
                 .arg(QString::fromUtf8(printable(name)))
                 .arg(hostileFileBytes().size()));
        out(hostileFileBytes());
        return;
    }
    if (options.controlNames && controlCardNames().contains(name)) {
        note(QStringLiteral("fault: s %1 - control name, sending %2 bytes")
                 .arg(QString::fromUtf8(printable(name)))
                 .arg(controlFileBytes().size()));
        out(controlFileBytes());
        return;
    }
    const QString found = core.cwdValid ? card->findEntry(core.cwd, name, false) : QString();
    if (!found.isEmpty() && !options.growPattern.isEmpty())
        growFile(card->hostPath(core.cwd) + QLatin1Char('/') + found);
    QFile f(card->hostPath(core.cwd) + QLatin1Char('/') + found);
    // A missing file gets no answer at all: any text would land in the client's file.
    if (found.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        if (options.missingFileText) {
            note(QStringLiteral("link: s %1 - no such file, answered with text (fault)")
                     .arg(QString::fromUtf8(printable(name))));
            out(" File not found\r\n");
            return;
        }
        note(QStringLiteral("link: s %1 - no such file, nothing sent")
                 .arg(QString::fromUtf8(printable(name))));
        return;
    }
    QByteArray bytes = f.readAll();
    CardFileRecord rec;
    rec.kind = CardFileRecord::Sent;
    rec.cardPath = CardTree::cardPath(core.cwd + QStringList{found});
    rec.announced = bytes.size();
    rec.settings = io->lineSettings();
    if (options.stallDownloadAfter >= 0 && options.stallDownloadAfter < bytes.size()) {
        bytes.truncate(static_cast<int>(options.stallDownloadAfter));
        note(QStringLiteral("fault: sending only %1 of %2 bytes")
                 .arg(bytes.size())
                 .arg(rec.announced));
    }
    rec.size = bytes.size();
    model.cardFiles.append(rec);
    note(QStringLiteral("link: s %1 - sending %2 bytes").arg(rec.cardPath).arg(bytes.size()));
    if (options.downloadPauseMs > 0 && bytes.size() >= 2) {
        const int half = bytes.size() / 2;
        note(QStringLiteral("fault: pause of %1 ms after %2 bytes")
                 .arg(options.downloadPauseMs)
                 .arg(half));
        out(bytes.left(half));
        outAfter(options.downloadPauseMs, bytes.mid(half));
    } else {
        out(bytes);
    }
    if (options.noiseAfterSend > 0) {
        // Not of the file: bytes a disturbed line makes up after it.
        QByteArray noise(options.noiseAfterSend, Qt::Uninitialized);
        for (int i = 0; i < noise.size(); ++i)
            noise[i] = char((rec.size * 31 + i * 97 + 0x5A) & 0xFF);
        note(QStringLiteral("fault: %1 bytes of line noise after the file").arg(noise.size()));
        if (options.downloadPauseMs > 0 && bytes.size() >= 2)
            outAfter(0, noise);
        else
            out(noise);
    }
}

// --grow: the file gains lines of log text since it was listed.
void LinkServer::growFile(const QString& hostPath)
{
    const QRegularExpression pattern(
        QRegularExpression::wildcardToRegularExpression(options.growPattern),
        QRegularExpression::CaseInsensitiveOption);
    if (!pattern.match(QFileInfo(hostPath).fileName()).hasMatch())
        return;
    QFile f(hostPath);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Append))
        return;
    QByteArray more;
    while (more.size() < options.growBytes)
        more += "log " + QByteArray::number(f.size() + more.size()) + "\r\n";
    more.truncate(int(options.growBytes));
    f.write(more);
    note(QStringLiteral("fault: %1 grew by %2 bytes since it was listed")
             .arg(QFileInfo(hostPath).fileName())
             .arg(more.size()));
}

void LinkServer::receive(const QByteArray& request)
{
    const int tab = request.indexOf('\t');
    const QByteArray lengthText = tab >= 0 ? request.mid(tab + 1) : QByteArray();
    static const QRegularExpression digits(QStringLiteral("^\\d{1,12}$"));
    if (tab < 0 || !digits.match(QString::fromLatin1(lengthText)).hasMatch()) {
        if (!options.lenient)
            violation(QStringLiteral("r request without name TAB decimal length: \"%1\"")
                          .arg(QString::fromUtf8(printable(textOf(request)))));
        note(QStringLiteral("link: r without name TAB length - ignored"));
        return;
    }
    const QString name = textOf(request.left(tab));
    uploadAnnounced = lengthText.toLongLong();
    uploadRemaining = uploadAnnounced;
    uploadReceived = 0;
    uploadSettings = io->lineSettings();
    uploadKeep = false;
    uploadStalled = false;
    uploadTextSent = false;
    uploadFolder.clear();
    upload.reset();
    QString why;
    if (!core.cwdValid) {
        why = QStringLiteral("the current directory does not exist");
    } else if (!isPlainName(name)) {
        why = QStringLiteral("invalid file name");
    } else if (!card->findEntry(core.cwd, name, true).isEmpty()) {
        why = QStringLiteral("a directory has that name");
    } else {
        const QString existing = card->findEntry(core.cwd, name, false);
        const QString stored = existing.isEmpty() ? name : existing;
        uploadCardPath = CardTree::cardPath(core.cwd + QStringList{stored});
        uploadFolder = card->hostPath(core.cwd);
        uploadFolderStamp = modifiedUtc(uploadFolder);
        upload.reset(new QSaveFile(uploadFolder + QLatin1Char('/') + stored));
        uploadKeep = upload->open(QIODevice::WriteOnly);
        if (!uploadKeep)
            why = upload->errorString();
    }
    if (!uploadKeep) {
        // The bytes still follow; they are read and dropped so they cannot pass as commands.
        uploadCardPath =
            CardTree::cardPath(core.cwd) + QLatin1Char('\\') + QString::fromUtf8(printable(name));
        note(QStringLiteral("link: r %1 %2 - will not be stored: %3")
                 .arg(QString::fromUtf8(printable(name)))
                 .arg(uploadAnnounced)
                 .arg(why));
    } else {
        note(QStringLiteral("link: r %1 %2").arg(uploadCardPath).arg(uploadAnnounced));
    }
    if (uploadAnnounced == 0) {
        finishUpload();
        return;
    }
    step = Step::UploadData;
}

void LinkServer::finishUpload()
{
    step = Step::Idle;
    CardFileRecord rec;
    rec.cardPath = uploadCardPath;
    rec.size = uploadReceived;
    rec.announced = uploadAnnounced;
    rec.settings = uploadSettings;
    if (upload && uploadKeep && upload->commit()) {
        setModificationTime(upload->fileName(), clock());
        restoreUploadFolderTime();
        rec.kind = CardFileRecord::Uploaded;
        summary(
            QStringLiteral("link: stored %1 (%2 bytes)").arg(uploadCardPath).arg(uploadReceived));
        if (options.uploadText == QLatin1String("after"))
            out(" " + uploadCardPath.toUtf8() + " stored\r\n");
    } else {
        if (upload)
            upload->cancelWriting();
        rec.kind = CardFileRecord::UploadDiscarded;
        upload.reset();
        restoreUploadFolderTime();
        summary(QStringLiteral("link: %1 not stored").arg(uploadCardPath));
    }
    model.cardFiles.append(rec);
    upload.reset();
}

void LinkServer::discardUpload(const QString& why)
{
    if (upload)
        upload->cancelWriting();
    upload.reset();
    restoreUploadFolderTime();
    CardFileRecord rec;
    rec.kind = CardFileRecord::UploadDiscarded;
    rec.cardPath = uploadCardPath;
    rec.size = uploadReceived;
    rec.announced = uploadAnnounced;
    rec.settings = uploadSettings;
    model.cardFiles.append(rec);
    summary(QStringLiteral("link: upload of %1 discarded after %2 of %3 bytes: %4")
                .arg(uploadCardPath)
                .arg(uploadReceived)
                .arg(uploadAnnounced)
                .arg(why));
    step = Step::Idle;
    uploadStalled = false;
}

// The card's file system keeps a folder's date when files come and go in it;
// the host's does not, so the date from before the upload is put back.
void LinkServer::restoreUploadFolderTime()
{
    if (!uploadFolder.isEmpty())
        setModificationTime(uploadFolder, uploadFolderStamp);
}

} // namespace qx2sim
