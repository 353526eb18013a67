// Upload: each file is announced with "r" name TAB length LF and then written
// in chunks of at most kUploadChunkBytes, each read from the file only after the
// port reported the previous write as written. The server answers nothing the
// client reads. Only regular files are sent: a device, FIFO or socket has no
// length to announce and may never end. A file whose size changes while it is
// sent is not completed: the instrument discards what it got.
#include "LinkSession.h"

#include "LinkLog.h"

#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace
{
QByteArray takeFileCommand(const QString& cardName, qint64 length)
{
    return QByteArrayLiteral("r") + cardName.toUtf8() + '\t' + QByteArray::number(length) + '\n';
}

// What a path is when it is not a regular file.
QString kindOf(mode_t mode)
{
    if (S_ISDIR(mode))
        return QStringLiteral("a folder");
    if (S_ISCHR(mode))
        return QStringLiteral("a character device");
    if (S_ISBLK(mode))
        return QStringLiteral("a block device");
    if (S_ISFIFO(mode))
        return QStringLiteral("a FIFO (named pipe)");
    if (S_ISSOCK(mode))
        return QStringLiteral("a socket");
    return QStringLiteral("not a regular file");
}

QString systemError()
{
    return QString::fromLocal8Bit(strerror(errno));
}

qint64 currentSize(QFile& file)
{
    struct stat st;
    return ::fstat(file.handle(), &st) == 0 ? qint64(st.st_size) : -1;
}
} // namespace

bool LinkSession::refuseUploadIfBusy()
{
    const Outcome free = notBusy(QStringLiteral("Upload Request"));
    tell(free);
    return free.failed();
}

bool LinkSession::startUpload(const QList<QUrl>& files, const QStringList& cardNames)
{
    if (refuseUploadIfBusy())
        return false;
    const Outcome ready = portReady(QStringLiteral("uploaded"));
    if (ready.failed()) {
        tell(ready);
        return false;
    }
    jobFailed = false;
    uploadJobSize = 0;
    uploadJobSent = 0;
    uploadUrls = files;
    uploadNames = cardNames;
    for (const QUrl& url : files) {
        const QFileInfo info(url.toLocalFile());
        if (info.isFile())
            uploadJobSize += info.size();
    }
    startNextUpload();
    if (state == Upload)
        emit jobStarted(QStringLiteral("Upload Files"));
    emit jobSize(uploadJobSize);
    return true;
}

// Announces the next file, or ends the job (and lists the card directory again)
// when none is left. A file that cannot be read is skipped, never announced.
void LinkSession::startNextUpload()
{
    for (;;) {
        if (uploadUrls.isEmpty()) {
            state = Nothing;
            timer.stop();
            endJob(false);
            performCD();
            return;
        }
        state = Upload;
        qCDebug(lcLink) << "startNextUpload" << uploadUrls.first() << uploadNames.value(0);
        uploadUrl = uploadUrls.takeFirst();
        const QString cardName = uploadNames.isEmpty() ? QString() : uploadNames.takeFirst();
        const QString localPath = uploadUrl.toLocalFile();
        qCDebug(lcLink) << "toLocalFile:" << localPath;
        const Outcome opened = openUploadFile(localPath);
        if (opened.failed()) {
            tell(opened);
            jobFailed = true;
            continue;
        }

        const QByteArray request = takeFileCommand(cardName, uploadLength);
        qCDebug(lcLink) << "Sending File:" << uploadUrl << "of length:" << uploadLength
                        << "with request:" << request;
        // The port's write reports count the request too; starting below zero makes
        // the counters show file bytes only.
        uploadPending = request.size();
        uploadFileSent = -request.size();
        uploadJobSent -= request.size();
        emit transferFile(uploadUrl.fileName(QUrl::FullyDecoded));
        emit transferFileSize(uploadLength);
        emit transferFileCompleted(0);
        log(QStringLiteral("Uploading File: ") + cardName);
        writeCommand(request);
        startTimer(timing.uploadWriteMs);
        return;
    }
}

void LinkSession::uploadWritten(qint64 size)
{
    uploadFileSent += size;
    uploadJobSent += size;
    uploadPending -= size;
    emit transferFileCompleted(uploadFileSent);
    emit jobCompleted(uploadJobSent);
    if (uploadPending > 0) {
        startTimer(timing.uploadPendingMs);
        return;
    }
    const qint64 left = uploadLength - uploadOffset;
    if (!uploadFile) {
        // Cancelled: nothing more goes out, and the job ends as after its last file.
        pauseBetweenFiles();
        return;
    }
    const Outcome unchanged = checkUploadSize();
    if (unchanged.failed()) {
        failUploadMidFile(unchanged);
        return;
    }
    if (left <= 0) {
        uploadFile.reset();
        pauseBetweenFiles();
        return;
    }
    // The next chunk, read now: memory holds one chunk whatever the file's size.
    const qint64 n = qMin<qint64>(kUploadChunkBytes, left);
    const Outcome read = readUploadChunk(n);
    if (read.failed()) {
        failUploadMidFile(read);
        return;
    }
    uploadPending = n;
    writeCommand(uploadData);
    uploadOffset += n;
    startTimer(timing.uploadWriteMs);
}

// A file whose size changed since it was announced cannot be completed as announced.
Outcome LinkSession::checkUploadSize() const
{
    const QString localPath = uploadUrl.toLocalFile();
    const qint64 now = currentSize(*uploadFile);
    if (now == uploadLength)
        return Outcome::success();
    if (uploadOffset < uploadLength)
        return Outcome::failure(QStringLiteral("%1 changed size while it was sent (%2 bytes "
                                               "announced, %3 now): its upload stopped and the "
                                               "instrument discards the part it got.")
                                    .arg(localPath)
                                    .arg(uploadLength)
                                    .arg(now));
    return Outcome::failure(QStringLiteral("%1 changed size just after it was sent (%2 bytes "
                                           "sent, %3 now): the card's copy may not match it; "
                                           "upload it again.")
                                .arg(localPath)
                                .arg(uploadLength)
                                .arg(now));
}

Outcome LinkSession::readUploadChunk(qint64 n)
{
    uploadData = uploadFile->read(n);
    if (uploadData.size() == n)
        return Outcome::success();
    return Outcome::failure(
        QStringLiteral("%1 could not be read whole while it was sent (%2): its upload stopped and "
                       "the instrument discards the part it got.")
            .arg(uploadUrl.toLocalFile(), uploadFile->error() != QFileDevice::NoError
                                              ? uploadFile->errorString()
                                              : QStringLiteral("it became shorter")));
}

Outcome LinkSession::checkUploadable(const QString& localPath)
{
    struct stat st;
    if (::stat(QFile::encodeName(localPath).constData(), &st) != 0)
        return Outcome::failure(
            QStringLiteral("Cannot read %1: %2. Not uploaded.").arg(localPath, systemError()));
    if (!S_ISREG(st.st_mode))
        return Outcome::failure(
            QStringLiteral("Not uploaded: %1 is %2; only regular files can be uploaded.")
                .arg(localPath, kindOf(st.st_mode)));
    return Outcome::success();
}

// Opens a regular file for the upload and takes its length. A FIFO is opened
// without waiting for a writer.
Outcome LinkSession::openUploadFile(const QString& localPath)
{
    const QByteArray path = QFile::encodeName(localPath);
    struct stat st;
    const Outcome uploadable = checkUploadable(localPath);
    if (uploadable.failed())
        return uploadable;
    const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return Outcome::failure(
            QStringLiteral("Cannot read %1: %2. Not uploaded.").arg(localPath, systemError()));
    // Checked again on what was opened: the path may have changed since.
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Outcome::failure(
            QStringLiteral("Not uploaded: %1 is %2; only regular files can be uploaded.")
                .arg(localPath, kindOf(st.st_mode)));
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    uploadFile = std::make_unique<QFile>();
    if (!uploadFile->open(fd, QIODevice::ReadOnly, QFileDevice::AutoCloseHandle)) {
        const QString why = uploadFile->errorString();
        uploadFile.reset();
        ::close(fd);
        return Outcome::failure(
            QStringLiteral("Cannot read %1: %2. Not uploaded.").arg(localPath, why));
    }
    uploadLength = st.st_size;
    uploadOffset = 0;
    uploadData.clear();
    return Outcome::success();
}

// The server waits for the rest of an announced file until its own quiet time
// gives the upload up; whatever is sent before that would be taken as file
// bytes, so the job ends here and nothing more is sent.
void LinkSession::failUploadMidFile(const Outcome& failure)
{
    tell(Outcome::failure(failure.text() +
                          QStringLiteral(" Files after it were not sent; wait a few seconds "
                                         "before the next request.")));
    uploadFile.reset();
    uploadData.clear();
    uploadUrls.clear();
    uploadNames.clear();
    jobFailed = true;
    state = Nothing;
    timer.stop();
    endJob(false);
}

// The server stores a file before it reads the next request. The pause lets the
// event loop run (the window keeps painting, Cancel is seen); a job that ended
// meanwhile (time-out) is not taken up again.
void LinkSession::pauseBetweenFiles()
{
    QTimer::singleShot(timing.uploadFilePauseMs, this, [this] {
        if (state == Upload)
            startNextUpload();
    });
}
