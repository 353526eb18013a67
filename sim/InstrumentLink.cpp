// The Skiffer link server: single-letter commands ended by LF, raw file data
// both ways, no echo and no prompt. Part of Instrument.
#include "Instrument.h"

#include "InstrumentWire.h"

#include <QFile>
#include <QRegularExpression>

namespace qx2sim
{

using namespace wire;

// ---------------------------------------------------------------- link server

void Instrument::startSkiffer()
{
    simMode = SimMode::Skiffer;
    phase = Phase::SkIdle;
    cwdValid = true;
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
        out("^C\r\n");
        prompt();
        return;
    default:
        return; // line ends and stray bytes between commands
    }
}

void Instrument::skifferCommand(char cmd, const QByteArray& arg)
{
    switch (cmd) {
    case 'c':
        skifferChangeDir(QString::fromUtf8(arg));
        break;
    case 't':
        if (arg.startsWith("date "))
            skifferTdate(QString::fromUtf8(arg.mid(5)));
        else
            note(QStringLiteral("link: unknown command t%1").arg(QString::fromUtf8(arg)));
        break;
    case 's':
        skifferSend(QString::fromUtf8(arg));
        break;
    case 'r':
        skifferReceive(arg);
        break;
    default:
        break;
    }
}

void Instrument::skifferChangeDir(const QString& path)
{
    QStringList to;
    if (card->resolveDirectory(path, cwd, &to)) {
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
    } else {
        text = " Volume in drive C is QX2CARD" + lineEnd + " Directory of " + badDir.toUtf8() +
               lineEnd + lineEnd + " File not found" + lineEnd;
    }
    note(QStringLiteral("link: d %1 (%2 bytes)")
             .arg(cwdValid ? CardTree::cardPath(cwd) : badDir)
             .arg(text.size()));
    if (options.chunkSize > 0) {
        flush();
        for (int i = 0; i < text.size(); i += options.chunkSize)
            outAfter(i == 0 ? 0 : options.chunkGapMs, text.mid(i, options.chunkSize));
    } else {
        out(text);
    }
}

void Instrument::skifferTdate(const QString& text)
{
    static const QRegularExpression re(
        QStringLiteral("^(\\d{2})-(\\d{2})-(\\d{4}) (\\d{1,2}):(\\d{2}):(\\d{2}) ?([aApP])[mM]?$"));
    const auto m = re.match(text.trimmed());
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
        note(QStringLiteral("link: tdate %1 - not understood").arg(text));
        out("\r\nBad date: " + text.toUtf8() + "\r\nUse tdate MM-dd-yyyy hh:mm:ss a|p\r\n");
        return;
    }
    const QString format = QStringLiteral("MM-dd-yyyy HH:mm:ss");
    const QDateTime before = clock();
    const QDateTime value(date, time, Qt::UTC);
    clockOffsetMs = QDateTime::currentDateTimeUtc().msecsTo(value);
    model.clockSets.append({QStringLiteral("tdate"), text, value});
    note(QStringLiteral("clock set by tdate to %1").arg(value.toString(Qt::ISODate)));
    out("\r\nClock was " + before.toString(format).toUtf8() + "\r\nClock now " +
        value.toString(format).toUtf8() + "\r\n");
}

void Instrument::skifferSend(const QString& name)
{
    const QString found = cwdValid ? card->findEntry(cwd, name, false) : QString();
    QFile f(card->hostPath(cwd) + QLatin1Char('/') + found);
    // A missing file gets no answer at all: any text would land in the client's file.
    if (found.isEmpty() || !f.open(QIODevice::ReadOnly)) {
        note(QStringLiteral("link: s %1 - no such file, nothing sent").arg(name));
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
    out(bytes);
}

void Instrument::skifferReceive(const QByteArray& request)
{
    const int tab = request.indexOf('\t');
    const QByteArray lengthText = tab >= 0 ? request.mid(tab + 1) : QByteArray();
    static const QRegularExpression digits(QStringLiteral("^\\d{1,12}$"));
    if (tab < 0 || !digits.match(QString::fromLatin1(lengthText)).hasMatch()) {
        note(QStringLiteral("link: r without name TAB length - ignored"));
        return;
    }
    const QString name = QString::fromUtf8(request.left(tab));
    uploadAnnounced = lengthText.toLongLong();
    uploadRemaining = uploadAnnounced;
    uploadReceived = 0;
    uploadSettings = io->lineSettings();
    uploadKeep = false;
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
        uploadCardPath = CardTree::cardPath(cwd) + QLatin1Char('\\') + name;
        note(QStringLiteral("link: r %1 %2 - will not be stored: %3")
                 .arg(name)
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
        note(QStringLiteral("link: stored %1 (%2 bytes)").arg(uploadCardPath).arg(uploadReceived));
    } else {
        if (upload)
            upload->cancelWriting();
        rec.kind = CardFileRecord::UploadDiscarded;
        upload.reset();
        restoreUploadFolderTime();
        note(QStringLiteral("link: %1 not stored").arg(uploadCardPath));
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
    note(QStringLiteral("link: upload of %1 discarded after %2 of %3 bytes: %4")
             .arg(uploadCardPath)
             .arg(uploadReceived)
             .arg(uploadAnnounced)
             .arg(why));
    phase = Phase::SkIdle;
}

// The card's file system keeps a folder's date when files come and go in it;
// the host's does not, so the date from before the upload is put back.
void Instrument::restoreUploadFolderTime()
{
    if (!uploadFolder.isEmpty())
        setModificationTime(uploadFolder, uploadFolderStamp);
}

} // namespace qx2sim
