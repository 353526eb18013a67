// The link to the Skiffer server on the instrument: the port (a LinkPort, of
// the kind its name asks for), the one single-shot reply timer, the state
// machine, and the listing, download, upload and set-clock conversations. It
// owns no widgets: the main window and the command line both drive it, and
// report what it signals.
//
// Replies carry no framing. A listing or clock reply is everything that
// arrives until the line has been quiet for replyQuietMs; a download file ends
// when the listed size has arrived and the line has then been quiet as long;
// an upload is paced by the port's write reports.
// Only one operation runs at a time; a request in any state but Nothing is
// refused with a busy line (Set Time excepted, as the instrument allows).
//
// The steps of a conversation that can fail return an Outcome; a failure
// reaches the user once, through tell() and the session's UserFeedback, whose
// presenter is by default the event log (logLine). What is not a failure
// (progress, the listing's success line, the clock's reply) is logged as is.
#pragma once

#include "LinkPort.h"
#include "LinkTiming.h"
#include "Outcome.h"
#include "ReplyCheck.h"

#include <QByteArray>
#include <QDateTime>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>

class QFile;
class QSaveFile;
class UserFeedback;
namespace listing
{
struct Fields;
}

class LinkSession : public QObject
{
    Q_OBJECT
public:
    enum State { Nothing = 0, DirListing = 1, Download = 2, Upload = 3, SetTime = 4 };
    Q_ENUM(State)

    explicit LinkSession(QObject* parent = nullptr);
    ~LinkSession() override;

    // Where failures go instead of the event log (a test's recorder).
    void setFeedback(UserFeedback& f) { feedback = &f; }
    void setTiming(const LinkTiming& t) { timing = t; }
    const LinkTiming& currentTiming() const { return timing; }
    // The clock Set Time reads; the current UTC time unless a test sets one.
    void setClock(std::function<QDateTime()> clock) { now = std::move(clock); }

    State currentState() const { return state; }
    QStringList currentPath() const { return pathList; }
    QString portName() const { return port ? port->name() : QString(); }
    bool isPortOpen() const { return port && port->isOpen(); }

    // Selects and (re)opens the port; an empty name re-opens the previous one.
    // True when it is open. The kind of port follows from the name (LinkPort::create).
    bool selectPort(const QString& name);
    // Opens the port again if it is closed (after the far end went away).
    bool reopenIfClosed();

    // Lists the directory path (names below C:\). Refused while busy: then
    // the current path stays as it was. True when the request was sent.
    bool performCD(const QStringList& path);
    bool performCD() { return performCD(pathList); }

    // Logs the busy line of a refused request; true when busy.
    bool refuseDownloadIfBusy();
    bool refuseUploadIfBusy();

    // Fetches the files of these listing lines into destinationDirectory.
    bool startDownload(const QStringList& listingLines, const QString& destinationDirectory);
    // Stores these local files on the card under the given names (same order).
    bool startUpload(const QList<QUrl>& files, const QStringList& cardNames);
    // Sends the PC's time in UTC as the instrument's clock.
    void sendSetTime();

    // What the last listing reply was (read in a listingReceived handler).
    const replycheck::ListingCheck& lastListingCheck() const { return listingCheck; }
    // The last clock reply was the console's echo of the set-clock command.
    bool lastClockReplyWasEcho() const { return clockEcho; }

    // The log line of every listing reply, as the window shows it.
    static QString listingSuccessText();
    // Whether localPath can be uploaded: a failure when it is missing, unreadable,
    // or not a regular file. Looks without opening, so a FIFO never blocks.
    static Outcome checkUploadable(const QString& localPath);
    // The caption of the link's failures.
    static QString failureCaption();
    // The log line of a transfer given up because the link went silent.
    static QString abortText();

public slots:
    void handleReadyRead();
    void handleTimeout();
    // The port lost its line (a read failed).
    void handleError();
    void handleBytesWritten(qint64 bytes);
    void handleCancel();

signals:
    // A row for the event log.
    void logLine(const QString& text);
    // A listing arrived: its entries (to show) and its other lines.
    void listingReceived(const QStringList& entries, const QStringList& others, bool anyLines);
    // A listing was shown: the port that gave it is the one to prefer.
    void listingSucceeded(const QString& port);
    void setTimeReply(const QString& text);
    // A listing or clock request got no answer at all.
    void noAnswer();
    // The port opened, closed after a failure, or could not be opened.
    void portOpenChanged(bool open);

    void transferFile(const QString& name);
    void transferFileSize(qint64 totalSize);
    void transferFileCompleted(qint64 size);
    void jobSize(qint64 totalSize);
    void jobCompleted(qint64 size);
    void exitProgressDialog();
    // The first file of a job is under way: "Download Files" or "Upload Files".
    void jobStarted(const QString& title);
    // A job was given up (stall): the progress dialog is hidden.
    void jobAborted();
    // End of a job; complete when every file of it arrived whole.
    void jobFinished(bool complete);
    // One write handed to the port, with what was still queued from earlier writes.
    void wroteToPort(qint64 bytes, qint64 stillQueued);

private:
    void log(const QString& text);
    // The one way a failure reaches the user.
    void tell(const Outcome& failure);
    // Failure unless state is Nothing: the busy line names what was refused.
    Outcome notBusy(const QString& refused) const;
    // Failure when the port is closed; notDone names what was not done ("downloaded").
    Outcome portReady(const QString& notDone) const;
    // What a listing reply that was collected says about the link.
    Outcome listingOutcome() const;
    void startTimer(int ms);
    void writeCommand(const QByteArray& bytes);
    void endJob(bool aborted);
    void clearPort();
    // No link server answered, but the console echoed the request.
    Outcome consoleEcho(const QString& what) const;
    // The link went silent under a transfer: the job is given up.
    void abortJob();
    // The port went away under a transfer: the job ends at once.
    void endJobOnPortLoss();

    // Download (LinkDownload.cpp).
    // Asks for the next file of the queue, or ends the job when none is left.
    void requestNextDownload();
    // Bytes that arrived for the file in transfer.
    void takeDownloadBytes(QByteArray& newData);
    bool beginFile(const QString& line);
    // The listing line of a file the job can fetch, or why not.
    Outcome readFileLine(const QString& line, listing::Fields* fields) const;
    // Takes newData into the file in transfer.
    Outcome storeBytes(const QByteArray& newData);
    bool finishFile();
    // Sets the card's time on the file just written.
    Outcome stampFile();
    void failDownload(const Outcome& failure, bool requestOutstanding);
    void discardFile();
    void downloadTimeout();
    // The file in transfer is not kept: the server is told to stop, and what it
    // still sends is drained before the next request.
    void refuseFile(const Outcome& failure);
    // The file in transfer did not come as listed: more, or less, or a server's line.
    Outcome notAsListed(const QString& sizeText) const;
    void startDraining();

    // Upload (LinkUpload.cpp).
    Outcome openUploadFile(const QString& localPath);
    // Checks the file in transfer before its next chunk is read.
    Outcome checkUploadSize() const;
    Outcome readUploadChunk(qint64 n);
    void failUploadMidFile(const Outcome& failure);

    // Announces the next file of the queue, or ends the job when none is left.
    void startNextUpload();
    // The port wrote size bytes of the file in transfer.
    void uploadWritten(qint64 size);
    void pauseBetweenFiles();

    LinkTiming timing;
    std::function<QDateTime()> now;
    std::unique_ptr<UserFeedback> eventLog;
    UserFeedback* feedback;

    std::unique_ptr<LinkPort> port;
    QByteArray readData;
    QTimer timer;
    State state = Nothing;
    QStringList pathList;
    // The bytes of the outstanding listing or clock request, to tell an echo apart.
    QByteArray lastRequest;
    replycheck::ListingCheck listingCheck;
    bool clockEcho = false;
    // The port failed under us; its error is reported once, until it is opened again.
    bool portLost = false;
    // Something in this job went wrong: a file was skipped, refused or cut short.
    bool jobFailed = false;

    QStringList downloadQueue;
    QString destinationDir;
    QString downloadName;
    QString downloadPath;
    std::unique_ptr<QSaveFile> downloadFile;
    qint64 downloadFileSize = 0;
    qint64 downloadFileReceived = 0;
    qint64 downloadJobSize = 0;
    qint64 downloadJobReceived = 0;
    QString downloadFileTime;
    QDateTime downloadStamp;
    // The first bytes of the file in transfer: a server's text line instead of
    // the file is told apart by them.
    QByteArray downloadHead;
    bool abortSent = false;
    // A file is Receiving until its listed size is in; then Settling until the line
    // has been quiet, which shows that nothing more belongs to it; a refused file
    // is Draining until the line is quiet, so that none of its bytes reach the next.
    enum class Phase { Receiving, Settling, Draining };
    Phase downloadPhase = Phase::Receiving;
    QElapsedTimer drainClock;

    QList<QUrl> uploadUrls;
    QStringList uploadNames;
    QUrl uploadUrl;
    // The local file in transfer, read a chunk at a time as the port takes it.
    std::unique_ptr<QFile> uploadFile;
    QByteArray uploadData;   // the chunk being written
    qint64 uploadLength = 0; // the length announced for the file
    qint64 uploadOffset = 0; // bytes of the file already handed to the port
    qint64 uploadFileSent = 0;
    qint64 uploadJobSize = 0;
    qint64 uploadJobSent = 0;
    qint64 uploadPending = 0;
};
