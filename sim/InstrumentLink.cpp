// The Skiffer link server: single-letter commands ended by LF, raw file data
// both ways, no echo and no prompt. Part of Instrument.
#include "Instrument.h"

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

// ---------------------------------------------------------------- link server

void Instrument::startSkiffer()
{
    simMode = SimMode::Skiffer;
    phase = Phase::SkIdle;
    cwdValid = true;
    switchUart(0, QStringLiteral("link server on the USB link"));
    note(QStringLiteral("Skiffer link server started"));
    outLine(QStringLiteral(" Skiffer link server running; Ctrl-C stops it"));
}

void Instrument::skifferByte(unsigned char c)
{
    switch (c) {
    case 'c':
    case 't':
    case 's':
    case 'r':
        skCommand = static_cast<char>(c);
        skLine.clear();
        phase = Phase::SkLine;
        return;
    case 'd':
        skifferList();
        summary(QStringLiteral("link: d done"));
        return;
    case 'a':
        io->discardPendingOutput();
        pending.clear();
        note(QStringLiteral("link: a - sending stopped"));
        if (!model.cardFiles.isEmpty() && model.cardFiles.last().kind == CardFileRecord::Sent) {
            CardFileRecord rec = model.cardFiles.last();
            rec.kind = CardFileRecord::SendAborted;
            model.cardFiles.append(rec);
        }
        return;
    case kETX:
        note(QStringLiteral("Skiffer link server stopped"));
        simMode = SimMode::Console;
        phase = Phase::Line;
        switchUart(options.terminalBaud, QStringLiteral("console"));
        out("^C\r\n");
        prompt();
        return;
    default:
        return; // line ends and stray bytes between commands
    }
}

void Instrument::skifferCommand(char cmd, const QByteArray& arg)
{
    if (arg.endsWith('\r') && !options.lenient)
        violation(QStringLiteral("link command %1 ends in CR LF; the CR is part of it")
                      .arg(QLatin1Char(cmd)));
    switch (cmd) {
    case 'c':
        skifferChangeDir(textOf(arg));
        break;
    case 't':
        if (arg.startsWith("date "))
            skifferTdate(textOf(arg.mid(5)));
        else
            note(QStringLiteral("link: unknown command t%1").arg(textOf(arg)));
        break;
    case 's':
        skifferSend(textOf(arg));
        break;
    case 'r':
        skifferReceive(arg);
        break;
    default:
        break;
    }
    // An upload's summary comes when it ends.
    if (phase != Phase::SkUploadData)
        summary(QStringLiteral("link: %1 done").arg(QLatin1Char(cmd)));
}

void Instrument::sendLinkText(int delayMs, const QByteArray& text)
{
    if (delayMs > 0)
        outAfter(delayMs, text);
    else
        out(text);
}

void Instrument::skifferChangeDir(const QString& path)
{
    QStringList to;
    // Only the lenient server forgives a CR (or other control byte) in the path.
    if ((options.lenient || !hasControl(path)) && card->resolveDirectory(path, cwd, &to)) {
        cwd = to;
        cwdValid = true;
        note(QStringLiteral("link: c %1").arg(CardTree::cardPath(cwd)));
    } else {
        cwdValid = false;
        badDir = path;
        note(QStringLiteral("link: c %1 - no such directory").arg(path));
    }
}

void Instrument::skifferList()
{
    const QByteArray lineEnd = options.crlfListing ? "\r\n" : "\n";
    QByteArray text;
    if (cwdValid) {
        text = card->listing(cwd, lineEnd);
        if (options.hostileNames)
            text = withExtraEntries(text, lineEnd, hostileCardNames(), hostileFileBytes().size());
        if (options.controlNames)
            text = withExtraEntries(text, lineEnd, controlCardNames(), controlFileBytes().size());
        if (options.badDates)
            text = withBadDates(text);
    } else {
        text = " Volume in drive C is QX2CARD" + lineEnd + " Directory of " + printable(badDir) +
               lineEnd + lineEnd + " File not found" + lineEnd;
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
             .arg(cwdValid ? CardTree::cardPath(cwd) : QString::fromUtf8(printable(badDir)))
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

void Instrument::skifferTdate(const QString& text)
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
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(value);
    model.clockSets.append({QStringLiteral("tdate"), text, value});
    note(QStringLiteral("clock set by tdate to %1").arg(value.toString(Qt::ISODate)));
    const QByteArray nul = options.nulInClockReply ? QByteArray(1, '\0') : QByteArray();
    sendLinkText(options.tdateDelayMs, "\r\nClock was " + before.toString(format).toUtf8() +
                                           "\r\n" + nul + "Clock now " +
                                           value.toString(format).toUtf8() + "\r\n");
}

void Instrument::skifferSend(const QString& name)
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
    const QString found = cwdValid ? card->findEntry(cwd, name, false) : QString();
    if (!found.isEmpty() && !options.growPattern.isEmpty())
        growFile(card->hostPath(cwd) + QLatin1Char('/') + found);
    QFile f(card->hostPath(cwd) + QLatin1Char('/') + found);
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
    rec.cardPath = CardTree::cardPath(cwd + QStringList{found});
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
void Instrument::growFile(const QString& hostPath)
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

void Instrument::skifferReceive(const QByteArray& request)
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
    if (!cwdValid) {
        why = QStringLiteral("the current directory does not exist");
    } else if (!isPlainName(name)) {
        why = QStringLiteral("invalid file name");
    } else if (!card->findEntry(cwd, name, true).isEmpty()) {
        why = QStringLiteral("a directory has that name");
    } else {
        const QString existing = card->findEntry(cwd, name, false);
        const QString stored = existing.isEmpty() ? name : existing;
        uploadCardPath = CardTree::cardPath(cwd + QStringList{stored});
        uploadFolder = card->hostPath(cwd);
        uploadFolderStamp = modifiedUtc(uploadFolder);
        upload.reset(new QSaveFile(uploadFolder + QLatin1Char('/') + stored));
        uploadKeep = upload->open(QIODevice::WriteOnly);
        if (!uploadKeep)
            why = upload->errorString();
    }
    if (!uploadKeep) {
        // The bytes still follow; they are read and dropped so they cannot pass as commands.
        uploadCardPath =
            CardTree::cardPath(cwd) + QLatin1Char('\\') + QString::fromUtf8(printable(name));
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
    phase = Phase::SkUploadData;
}

void Instrument::finishUpload()
{
    phase = Phase::SkIdle;
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

void Instrument::discardUpload(const QString& why)
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
    phase = Phase::SkIdle;
    uploadStalled = false;
}

// The card's file system keeps a folder's date when files come and go in it;
// the host's does not, so the date from before the upload is put back.
void Instrument::restoreUploadFolderTime()
{
    if (!uploadFolder.isEmpty())
        setModificationTime(uploadFolder, uploadFolderStamp);
}

} // namespace qx2sim
