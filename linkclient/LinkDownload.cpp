// Download: one "s" request per file; the server answers with the raw bytes
// and nothing else, so a file is complete when the count from its listing line
// has arrived. Each file is written under a temporary name in the destination
// folder and takes its real name only when complete, with the card's time.
#include "LinkSession.h"

#include "ListingLine.h"

#include <QDebug>
#include <QFile>
#include <QSaveFile>

namespace
{
QByteArray sendMeCommand(const QString& name)
{
    return QByteArrayLiteral("s") + name.toUtf8() + '\n';
}
} // namespace

bool LinkSession::refuseDownloadIfBusy()
{
    if (state == Nothing)
        return false;
    log(QStringLiteral("Busy - Ignoring Download Request."));
    return true;
}

bool LinkSession::startDownload(const QStringList& listingLines,
                                const QString& destinationDirectory)
{
    if (refuseDownloadIfBusy())
        return false;
    jobFailed = false;
    downloadJobSize = 0;
    downloadJobReceived = 0;
    downloadQueue = listingLines;
    for (const QString& line : listingLines)
        downloadJobSize += qMax<qint64>(0, listing::sizeField(line));
    destinationDir = destinationDirectory;
    if (!destinationDir.endsWith(QLatin1Char('/')))
        destinationDir.append(QLatin1Char('/'));
    downloadFileData();
    if (state == Download)
        emit jobStarted(QStringLiteral("Download Files"));
    emit jobSize(downloadJobSize);
    return true;
}

// Starts the next file of the job, or ends the job when none is left. Files that
// are refused are skipped; a file of size 0 is complete once it is requested.
void LinkSession::downloadFileData()
{
    for (;;) {
        if (downloadQueue.isEmpty()) {
            state = Nothing;
            timer.stop();
            endJob(false);
            return;
        }
        state = Download;
        if (beginFile(downloadQueue.takeFirst()))
            return;
        if (state != Download)
            return; // the job was stopped
    }
}

// True when a request is outstanding; false when the file was skipped, done at
// once, or the job stopped (state is then Nothing).
bool LinkSession::beginFile(const QString& line)
{
    const QString name = listing::firstField(line);
    if (!listing::isSafeLocalName(name)) {
        log(QStringLiteral("Refused card file name \"%1\": it would leave the destination folder. "
                           "Skipped.")
                .arg(name));
        jobFailed = true;
        return false;
    }
    if (!listing::fitsColumns(line)) {
        log(QStringLiteral("Skipped \"%1\": its listing line does not keep to the columns, so its "
                           "name and size are uncertain.")
                .arg(line.trimmed()));
        jobFailed = true;
        return false;
    }
    downloadName = name;
    downloadFileSize = listing::sizeField(line);
    downloadFileReceived = 0;
    abortSent = false;
    downloadPath = destinationDir + downloadName;
    qDebug() << "Saving In:" << downloadPath;

    // An old file of that name goes first: a failed transfer never leaves it looking new.
    if (QFile::exists(downloadPath))
        QFile::remove(downloadPath);
    downloadFile = std::make_unique<QSaveFile>(downloadPath);
    if (!downloadFile->open(QIODevice::WriteOnly)) {
        failDownload(
            QStringLiteral("Cannot write %1: %2").arg(downloadPath, downloadFile->errorString()),
            false);
        return false;
    }
    downloadFileTime = listing::fileTimeText(line);
    downloadStamp = listing::fileTime(line);

    writeCommand(sendMeCommand(downloadName));
    startTimer(timing.downloadStallMs);
    log(QStringLiteral("Downloading File: ") + downloadName);
    emit transferFile(downloadName);
    emit transferFileSize(downloadFileSize);
    emit transferFileCompleted(0);
    if (downloadFileSize > 0)
        return true;
    // Nothing will come for an empty file: it is complete now.
    finishFile();
    return false;
}

void LinkSession::downloadFileData(QByteArray& newData)
{
    if (!downloadFile) {
        // The file was cancelled: these bytes belong to nothing, and the job ends.
        downloadFileData();
        return;
    }
    if (downloadFile->write(newData) != newData.size()) {
        failDownload(
            QStringLiteral("Cannot write %1: %2").arg(downloadPath, downloadFile->errorString()),
            true);
        return;
    }
    downloadFileReceived += newData.size();
    downloadJobReceived += newData.size();
    emit transferFileCompleted(downloadFileReceived);
    emit jobCompleted(downloadJobReceived);
    if (downloadFileReceived >= downloadFileSize) {
        if (finishFile())
            downloadFileData();
        return;
    }
    startTimer(timing.downloadStallMs);
}

// Gives the file its real name and the card's time. False when the job stopped.
bool LinkSession::finishFile()
{
    if (!downloadFile->commit()) {
        failDownload(
            QStringLiteral("Cannot write %1: %2").arg(downloadPath, downloadFile->errorString()),
            false);
        return false;
    }
    downloadFile.reset();
    if (!downloadStamp.isValid()) {
        log(QStringLiteral("%1: the listing's date \"%2\" is not understood; the file keeps the "
                           "time it was written.")
                .arg(downloadName, downloadFileTime));
        return true;
    }
    QFile stamped(downloadPath);
    if (stamped.open(QIODevice::WriteOnly | QIODevice::Append)) {
        // Linux keeps no settable birth time; the modification time is what counts.
        stamped.setFileTime(downloadStamp, QFileDevice::FileBirthTime);
        if (stamped.setFileTime(downloadStamp, QFileDevice::FileModificationTime))
            return true;
    }
    log(QStringLiteral("%1: could not set the file's time: %2")
            .arg(downloadPath, stamped.errorString()));
    return true;
}

// A local failure stops the whole job: the server is told to stop sending when a
// request is outstanding, the partial file is discarded.
void LinkSession::failDownload(const QString& message, bool requestOutstanding)
{
    log(message);
    jobFailed = true;
    downloadQueue.clear();
    if (requestOutstanding && !abortSent) {
        serial->clear(QSerialPort::AllDirections);
        writeCommand(QByteArrayLiteral("a"));
        abortSent = true;
    }
    state = Nothing;
    timer.stop();
    endJob(true);
}

void LinkSession::discardFile()
{
    if (downloadFile)
        downloadFile->cancelWriting();
    downloadFile.reset();
}
