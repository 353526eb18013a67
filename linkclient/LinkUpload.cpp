// Upload: each file is announced with "r" name TAB length LF and then written
// in chunks of at most kUploadChunkBytes, each only after the port reported the
// previous write as written. The server answers nothing the client reads.
#include "LinkSession.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

namespace
{
QByteArray takeFileCommand(const QString& cardName, qint64 length)
{
    return QByteArrayLiteral("r") + cardName.toUtf8() + '\t' + QByteArray::number(length) + '\n';
}
} // namespace

bool LinkSession::refuseUploadIfBusy()
{
    if (state == Nothing)
        return false;
    log(QStringLiteral("Busy - Ignoring Upload Request"));
    return true;
}

bool LinkSession::startUpload(const QList<QUrl>& files, const QStringList& cardNames)
{
    if (refuseUploadIfBusy())
        return false;
    jobFailed = false;
    uploadJobSize = 0;
    uploadJobSent = 0;
    uploadUrls = files;
    uploadNames = cardNames;
    for (const QUrl& url : files)
        uploadJobSize += QFileInfo(url.toLocalFile()).size();
    uploadFileData();
    if (state == Upload)
        emit jobStarted(QStringLiteral("Upload Files"));
    emit jobSize(uploadJobSize);
    return true;
}

// Announces the next file, or ends the job (and lists the card directory again)
// when none is left. A file that cannot be read is skipped, never announced.
void LinkSession::uploadFileData()
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
        qDebug() << "uploadFileData" << uploadUrls.first() << uploadNames.value(0);
        uploadUrl = uploadUrls.takeFirst();
        const QString cardName = uploadNames.isEmpty() ? QString() : uploadNames.takeFirst();
        const QString localPath = uploadUrl.toLocalFile();
        qDebug() << "toLocalFile:" << localPath;
        QFile file(localPath);
        if (!file.open(QIODevice::ReadOnly)) {
            log(QStringLiteral("Cannot read %1: %2. Not uploaded.")
                    .arg(localPath, file.errorString()));
            jobFailed = true;
            continue;
        }
        uploadData = file.readAll();
        uploadOffset = 0;
        if (file.error() != QFileDevice::NoError) {
            log(QStringLiteral("Cannot read %1: %2. Not uploaded.")
                    .arg(localPath, file.errorString()));
            uploadData.clear();
            jobFailed = true;
            continue;
        }
        file.close();

        const QByteArray request = takeFileCommand(cardName, uploadData.size());
        qDebug() << "Sending File:" << uploadUrl << "of length:" << uploadData.size()
                 << "with request:" << request;
        // The port's write reports count the request too; starting below zero makes
        // the counters show file bytes only.
        uploadPending = request.size();
        uploadFileSent = -request.size();
        uploadJobSent -= request.size();
        emit transferFile(uploadUrl.fileName(QUrl::FullyDecoded));
        emit transferFileSize(uploadData.size());
        emit transferFileCompleted(0);
        log(QStringLiteral("Uploading File: ") + cardName);
        writeCommand(request);
        startTimer(timing.uploadWriteMs);
        return;
    }
}

void LinkSession::uploadFileData(qint64 size)
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
    const qint64 left = uploadData.size() - uploadOffset;
    if (left <= 0) {
        pauseBetweenFiles();
        return;
    }
    // The next chunk from the front of what is left; an offset spares moving the rest.
    const qint64 n = qMin<qint64>(kUploadChunkBytes, left);
    uploadPending = n;
    writeCommand(QByteArray::fromRawData(uploadData.constData() + uploadOffset, int(n)));
    uploadOffset += n;
    startTimer(timing.uploadWriteMs);
}

// The server stores a file before it reads the next request. The pause lets the
// event loop run (the window keeps painting, Cancel is seen); a job that ended
// meanwhile (time-out) is not taken up again.
void LinkSession::pauseBetweenFiles()
{
    QTimer::singleShot(timing.uploadFilePauseMs, this, [this] {
        if (state == Upload)
            uploadFileData();
    });
}
