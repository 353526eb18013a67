// Download: one "s" request per file; the server answers with the raw bytes
// and nothing else, so a file is complete when the count from its listing line
// has arrived and the line has then been quiet (a file that grew since the
// listing would send more). Each file is written under a temporary name in the
// destination folder; an existing file of that name stays untouched until the
// new one is whole and replaces it in one rename, with the card's time. A file
// that arrives with more or fewer bytes than listed is not kept: the server is
// told to stop ("a"), the line is drained until quiet, and the job goes on.
#include "LinkSession.h"

#include "LinkLog.h"
#include "ListingLine.h"
#include "TextEscape.h"

#include <QFile>
#include <QSaveFile>

namespace
{
const QByteArray kAbortCommand = QByteArrayLiteral("a");

QByteArray sendMeCommand(const QString& name)
{
    return QByteArrayLiteral("s") + name.toUtf8() + '\n';
}

constexpr int kServerTextMax = 200;
// A server that keeps sending after "a" for this many quiet times is given up.
constexpr int kDrainQuietTimes = 20;

// The server's own lines (" File not found") begin with a blank and end with a
// line end; file data that looks so is told apart only where the size disagrees.
QString serverTextOf(const QByteArray& bytes)
{
    if (bytes.size() < 3 || bytes.size() > kServerTextMax || bytes[0] != ' ' ||
        !bytes.endsWith('\n'))
        return QString();
    for (char c : bytes) {
        const auto u = static_cast<unsigned char>(c);
        if ((u < 0x20 && c != '\r' && c != '\n') || u >= 0x7F)
            return QString();
    }
    return QString::fromLatin1(bytes).simplified();
}
} // namespace

bool LinkSession::refuseDownloadIfBusy()
{
    const Outcome free = notBusy(QStringLiteral("Download Request."));
    tell(free);
    return free.failed();
}

bool LinkSession::startDownload(const QStringList& listingLines,
                                const QString& destinationDirectory)
{
    if (refuseDownloadIfBusy())
        return false;
    const Outcome ready = portReady(QStringLiteral("downloaded"));
    if (ready.failed()) {
        tell(ready);
        return false;
    }
    jobFailed = false;
    downloadJobSize = 0;
    downloadJobReceived = 0;
    downloadQueue = listingLines;
    for (const QString& line : listingLines) {
        listing::Fields f;
        if (listing::readFields(line, &f))
            downloadJobSize += qMax<qint64>(0, f.size);
    }
    destinationDir = destinationDirectory;
    if (!destinationDir.endsWith(QLatin1Char('/')))
        destinationDir.append(QLatin1Char('/'));
    requestNextDownload();
    if (state == Download)
        emit jobStarted(QStringLiteral("Download Files"));
    emit jobSize(downloadJobSize);
    return true;
}

// Starts the next file of the job, or ends the job when none is left. Files that
// are refused are skipped.
void LinkSession::requestNextDownload()
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

// True when a request is outstanding; false when the file was skipped or the
// job stopped (state is then Nothing).
Outcome LinkSession::readFileLine(const QString& line, listing::Fields* out) const
{
    // Names are read from the right, so that a name with a blank or longer than
    // its column is requested whole, as the listing gave it.
    listing::Fields fields;
    QString text = line;
    while (text.endsWith(QLatin1Char('\r')))
        text.chop(1);
    if (!listing::readFields(text, &fields) || fields.directory || fields.size < 0)
        return Outcome::failure(QStringLiteral("Skipped \"%1\": it is not a file entry of the "
                                               "listing.")
                                    .arg(textescape::escapeControls(text.trimmed())));
    if (!listing::isSafeLocalName(fields.name))
        return Outcome::failure(QStringLiteral("Refused card file name \"%1\": it would leave the "
                                               "destination folder. Skipped.")
                                    .arg(textescape::escapeControls(fields.name)));
    *out = fields;
    return Outcome::success();
}

bool LinkSession::beginFile(const QString& line)
{
    listing::Fields fields;
    const Outcome usable = readFileLine(line, &fields);
    if (usable.failed()) {
        tell(usable);
        jobFailed = true;
        return false;
    }
    downloadName = fields.name;
    downloadFileSize = fields.size;
    downloadFileReceived = 0;
    downloadHead.clear();
    abortSent = false;
    downloadPhase = Phase::Receiving;
    downloadPath = destinationDir + downloadName;
    qCDebug(lcLink) << "Saving In:" << downloadPath;

    // The new file grows under a temporary name beside the old one, which stays
    // as it was until the new one is whole.
    downloadFile = std::make_unique<QSaveFile>(downloadPath);
    if (!downloadFile->open(QIODevice::WriteOnly)) {
        failDownload(Outcome::failure(QStringLiteral("Cannot write %1: %2")
                                          .arg(downloadPath, downloadFile->errorString())),
                     false);
        return false;
    }
    downloadFileTime = listing::fileTimeText(line);
    downloadStamp = listing::fileTime(line);
    if (!downloadStamp.isValid())
        downloadStamp = listing::fileTimeOf(fields);

    writeCommand(sendMeCommand(downloadName));
    log(QStringLiteral("Downloading File: ") + downloadName);
    emit transferFile(downloadName);
    emit transferFileSize(downloadFileSize);
    emit transferFileCompleted(0);
    if (downloadFileSize > 0) {
        startTimer(timing.downloadStallMs);
    } else {
        // Nothing is due for an empty file; it is whole if the line stays quiet.
        downloadPhase = Phase::Settling;
        startTimer(timing.replyQuietMs);
    }
    return true;
}

Outcome LinkSession::notAsListed(const QString& sizeText) const
{
    const QString text = serverTextOf(downloadHead);
    if (!text.isEmpty())
        return Outcome::failure(
            QStringLiteral("%1: the instrument answered \"%2\"; the file is not kept.")
                .arg(downloadName, text));
    return Outcome::failure(downloadName + QStringLiteral(": ") + sizeText +
                            QStringLiteral("; the file is not kept."));
}

Outcome LinkSession::storeBytes(const QByteArray& newData)
{
    if (downloadFile->write(newData) != newData.size())
        return Outcome::failure(
            QStringLiteral("Cannot write %1: %2").arg(downloadPath, downloadFile->errorString()));
    return Outcome::success();
}

void LinkSession::takeDownloadBytes(QByteArray& newData)
{
    if (downloadPhase == Phase::Draining) {
        if (drainClock.elapsed() > qint64(kDrainQuietTimes) * timing.replyQuietMs) {
            failDownload(Outcome::failure(QStringLiteral(
                             "The instrument keeps sending after it was told to stop; the "
                             "download stopped. Restart the link server.")),
                         false);
            return;
        }
        startTimer(timing.replyQuietMs);
        return;
    }
    if (downloadHead.size() <= kServerTextMax)
        downloadHead += newData.left(kServerTextMax + 1 - downloadHead.size());
    // More than the listing announced: this answer is not (only) the file, which is
    // refused while the job goes on.
    if (downloadFileReceived + newData.size() > downloadFileSize) {
        refuseFile(notAsListed(QStringLiteral("the instrument sent more than the %1 bytes listed "
                                              "(the file changed since the listing)")
                                   .arg(downloadFileSize)));
        return;
    }
    // A file that cannot be written here ends the job.
    const Outcome stored = storeBytes(newData);
    if (stored.failed()) {
        failDownload(stored, true);
        return;
    }
    downloadFileReceived += newData.size();
    downloadJobReceived += newData.size();
    emit transferFileCompleted(downloadFileReceived);
    emit jobCompleted(downloadJobReceived);
    if (downloadFileReceived >= downloadFileSize) {
        downloadPhase = Phase::Settling;
        startTimer(timing.replyQuietMs);
        return;
    }
    startTimer(timing.downloadStallMs);
}

// The line was quiet for the timer's interval, by phase.
void LinkSession::downloadTimeout()
{
    switch (downloadPhase) {
    case Phase::Settling:
        if (finishFile())
            requestNextDownload();
        return;
    case Phase::Draining:
        requestNextDownload();
        return;
    case Phase::Receiving:
        break;
    }
    if (downloadFileReceived > 0) {
        refuseFile(notAsListed(QStringLiteral("only %1 of the %2 bytes listed arrived before the "
                                              "line went quiet")
                                   .arg(downloadFileReceived)
                                   .arg(downloadFileSize)));
        return;
    }
    // Not a byte for this request: the link itself is in doubt, the job ends.
    qCDebug(lcLink) << "Download / Upload timeout - empty...";
    abortJob();
}

void LinkSession::refuseFile(const Outcome& failure)
{
    tell(failure);
    jobFailed = true;
    discardFile();
    if (!abortSent) {
        clearPort();
        writeCommand(kAbortCommand);
        abortSent = true;
    }
    startDraining();
}

void LinkSession::startDraining()
{
    downloadPhase = Phase::Draining;
    drainClock.start();
    startTimer(timing.replyQuietMs);
}

// Gives the file its real name and the card's time. False when the job stopped.
bool LinkSession::finishFile()
{
    if (!downloadFile->commit()) {
        failDownload(Outcome::failure(QStringLiteral("Cannot write %1: %2")
                                          .arg(downloadPath, downloadFile->errorString())),
                     false);
        return false;
    }
    downloadFile.reset();
    // The file is whole whatever its time: a stamp that fails is told, not fatal.
    tell(stampFile());
    return true;
}

Outcome LinkSession::stampFile()
{
    if (!downloadStamp.isValid())
        return Outcome::failure(QStringLiteral("%1: the listing's date \"%2\" is not understood; "
                                               "the file keeps the time it was written.")
                                    .arg(downloadName, downloadFileTime));
    QFile stamped(downloadPath);
    if (stamped.open(QIODevice::WriteOnly | QIODevice::Append)) {
        // Linux keeps no settable birth time; the modification time is what counts.
        stamped.setFileTime(downloadStamp, QFileDevice::FileBirthTime);
        if (stamped.setFileTime(downloadStamp, QFileDevice::FileModificationTime))
            return Outcome::success();
    }
    return Outcome::failure(QStringLiteral("%1: could not set the file's time: %2")
                                .arg(downloadPath, stamped.errorString()));
}

// A local failure stops the whole job: the server is told to stop sending when a
// request is outstanding, the partial file is discarded.
void LinkSession::failDownload(const Outcome& failure, bool requestOutstanding)
{
    tell(failure);
    jobFailed = true;
    downloadQueue.clear();
    if (requestOutstanding && !abortSent) {
        clearPort();
        writeCommand(kAbortCommand);
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
