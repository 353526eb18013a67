#include "LinkSession.h"

#include "ClockText.h"
#include "EventLogFeedback.h"
#include "LinkLog.h"
#include "ListingLine.h"
#include "TextEscape.h"

#include <QFile>
#include <QSaveFile>

namespace
{
// Change directory: c, C:\, the names joined by '\', LF.
QByteArray changeDirectoryCommand(const QStringList& path)
{
    return QByteArrayLiteral("cC:\\") + path.join(QLatin1Char('\\')).toUtf8() + '\n';
}
const QByteArray kListCommand = QByteArrayLiteral("d");
const QByteArray kAbortCommand = QByteArrayLiteral("a");

} // namespace

QString LinkSession::listingSuccessText()
{
    return QStringLiteral("Success: Directory listing updated.");
}

QString LinkSession::failureCaption()
{
    return QStringLiteral("HarbrookLink");
}

QString LinkSession::abortText()
{
    return QStringLiteral("Aborting Upload / Download\nPlease disconnect the USB connection and "
                          "restart HarbrookLink.");
}

LinkSession::LinkSession(QObject* parent)
    : QObject(parent), now([] { return QDateTime::currentDateTimeUtc(); }),
      eventLog(std::make_unique<EventLogFeedback>([this](const QString& t) { log(t); })),
      feedback(eventLog.get())
{
    timer.setSingleShot(true);
    // The quiet time and the deadlines are measured, not approximated (a coarse
    // timer may fire 5 % early).
    timer.setTimerType(Qt::PreciseTimer);
    connect(&timer, &QTimer::timeout, this, &LinkSession::handleTimeout);
}

LinkSession::~LinkSession()
{
    // An unfinished download is discarded, never left under its real name.
    discardFile();
}

void LinkSession::log(const QString& text)
{
    emit logLine(text);
}

void LinkSession::tell(const Outcome& failure)
{
    if (failure.failed())
        feedback->message(failure.text(), failureCaption(), MessageIcon::Warning);
}

Outcome LinkSession::notBusy(const QString& refused) const
{
    if (state == Nothing)
        return Outcome::success();
    return Outcome::failure(QStringLiteral("Busy - Ignoring ") + refused);
}

Outcome LinkSession::portReady(const QString& notDone) const
{
    if (isPortOpen())
        return Outcome::success();
    return Outcome::failure(
        QStringLiteral("Port %1 is not open: nothing was %2. Pick the port again or press refresh.")
            .arg(portName(), notDone));
}

void LinkSession::startTimer(int ms)
{
    timer.start(ms);
}

void LinkSession::writeCommand(const QByteArray& bytes)
{
    // A closed port swallows the command; the reply timer then reports the silence.
    if (!isPortOpen())
        return;
    emit wroteToPort(bytes.size(), port->bytesToWrite());
    port->write(bytes);
}

bool LinkSession::selectPort(const QString& name)
{
    if (!name.isEmpty() || !port) {
        // A port that is replaced says nothing more to this session; it may be
        // the one whose signal led here, so it goes once that signal returned.
        if (port) {
            port->disconnect(this);
            port->close();
            LinkPort* old = port.release();
            old->setParent(this); // gone with the session at the latest
            old->deleteLater();
        }
        port = LinkPort::create(name);
        connect(port.get(), &LinkPort::readyRead, this, &LinkSession::handleReadyRead);
        connect(port.get(), &LinkPort::lost, this, &LinkSession::handleError);
        connect(port.get(), &LinkPort::bytesWritten, this, &LinkSession::handleBytesWritten);
    }
    const Outcome opened = port->open();
    if (opened.ok()) {
        // What arrived before anyone listened answers no request of ours.
        port->discardInput();
        portLost = false;
        emit portOpenChanged(true);
        return true;
    }
    emit portOpenChanged(false);
    tell(Outcome::failure(
        QStringLiteral("Failed to open port %1, error: %2").arg(name, opened.text())));
    return false;
}

bool LinkSession::reopenIfClosed()
{
    return isPortOpen() || selectPort(QString());
}

bool LinkSession::performCD(const QStringList& path)
{
    const Outcome free = notBusy(QStringLiteral("Directory Listing."));
    if (free.failed()) {
        tell(free);
        return false;
    }
    // The path changes only now that the server is asked to enter it.
    pathList = path;
    state = DirListing;
    lastRequest = changeDirectoryCommand(pathList) + kListCommand;
    writeCommand(changeDirectoryCommand(pathList));
    writeCommand(kListCommand);
    startTimer(timing.listingStartMs);
    return true;
}

void LinkSession::sendSetTime()
{
    const QDateTime t = now();
    log(QStringLiteral("Updating Vantrel to UTC time: ") + clocktext::fullText(t));
    state = SetTime;
    clockEcho = false;
    lastRequest = clocktext::setClockCommand(t);
    startTimer(timing.replyQuietMs);
    writeCommand(lastRequest);
}

void LinkSession::handleReadyRead()
{
    QByteArray data = port->readAll();
    if (data.isEmpty()) {
        log(QStringLiteral("No data was currently available for reading from port %1")
                .arg(portName()));
        return;
    }
    switch (state) {
    case Nothing:
        qCDebug(lcLink) << "Error!!!, received data when doing nothing.";
        break;
    case DirListing:
    case SetTime:
        readData.append(data);
        startTimer(timing.replyQuietMs);
        break;
    case Download:
        takeDownloadBytes(data);
        break;
    case Upload:
        break;
    }
}

void LinkSession::handleTimeout()
{
    // Transfer data never enters readData: the download judges its own silence.
    if (state == Download) {
        downloadTimeout();
        return;
    }
    if (!readData.isEmpty()) {
        switch (state) {
        case DirListing: {
            const listing::Parsed parsed = listing::parseListing(readData);
            listingCheck = replycheck::checkListing(readData, lastRequest);
            emit listingReceived(parsed.entries, parsed.others, parsed.anyLines);
            tell(listingOutcome());
            log(listingSuccessText());
            emit listingSucceeded(portName());
            break;
        }
        case SetTime: {
            const QString reply = replycheck::clockReplyText(readData);
            clockEcho = replycheck::isEchoOf(readData, lastRequest);
            log(reply);
            if (clockEcho)
                tell(consoleEcho(QStringLiteral("clock")));
            emit setTimeReply(reply);
            break;
        }
        case Upload:
            qCDebug(lcLink) << "Download / Upload timeout - not empty...";
            abortJob();
            return;
        case Download:
        case Nothing:
            break;
        }
    } else {
        switch (state) {
        case Nothing:
        case DirListing:
        case SetTime:
            tell(Outcome::failure(
                QStringLiteral("Error:  Unable to connect to Skiffer.\nPlease make sure Skiffer is "
                               "running and the correct port is\nselected.  Skiffer can take 60 "
                               "seconds to start.")));
            emit noAnswer();
            break;
        case Download:
            break;
        case Upload:
            qCDebug(lcLink) << "Download / Upload timeout - empty...";
            abortJob();
            return;
        }
    }
    state = Nothing;
    readData.clear();
}

Outcome LinkSession::listingOutcome() const
{
    if (!listingCheck.fitsNoLine)
        return Outcome::success();
    if (listingCheck.echo)
        return consoleEcho(QStringLiteral("listing"));
    return Outcome::failure(
        QStringLiteral("The answer on port %1 is not a directory listing (\"%2\"); is the link "
                       "server running on the instrument?")
            .arg(portName(),
                 textescape::escapeControls(QString::fromUtf8(readData.left(60)).trimmed())));
}

Outcome LinkSession::consoleEcho(const QString& what) const
{
    return Outcome::failure(
        QStringLiteral("No link server answers on port %1: the instrument's console echoed the "
                       "%2 request. Start the link server (SKIFFER) on the instrument.")
            .arg(portName(), what));
}

// Nothing at all (or nothing more) came back in time: the link itself is in doubt,
// and the job ends with what is queued.
void LinkSession::abortJob()
{
    downloadQueue.clear();
    uploadUrls.clear();
    uploadNames.clear();
    handleCancel();
    tell(Outcome::failure(abortText()));
    state = Nothing;
    readData.clear();
    timer.stop();
    endJob(true);
}

// Ends a download or upload job; state is already Nothing.
void LinkSession::endJob(bool aborted)
{
    // The file in transfer did not arrive whole: it never takes the real name.
    if (downloadFile) {
        discardFile();
        jobFailed = true;
    }
    uploadFile.reset();
    uploadData.clear();
    if (aborted) {
        jobFailed = true;
        emit jobAborted();
    } else {
        emit exitProgressDialog();
    }
    emit jobFinished(!jobFailed);
}

void LinkSession::clearPort()
{
    if (port)
        port->discardBoth();
}

void LinkSession::handleCancel()
{
    qCDebug(lcLink) << "Cancel was pressed.";
    switch (state) {
    case Nothing:
    case DirListing:
    case SetTime:
        qCDebug(lcLink) << "Error!!!, received cancel command when doing nothing.";
        break;
    case Download:
        downloadQueue.clear();
        clearPort();
        // One abort per file: a stall after a cancel does not send another.
        if (!abortSent) {
            writeCommand(kAbortCommand);
            abortSent = true;
        }
        downloadFileSize = 0;
        if (downloadFile) {
            discardFile();
            jobFailed = true;
        }
        // What is still on its way is drained before the job ends.
        if (downloadPhase != Phase::Draining)
            startDraining();
        break;
    case Upload:
        uploadData.clear();
        uploadFile.reset();
        uploadOffset = uploadLength;
        uploadUrls.clear();
        uploadNames.clear();
        clearPort();
        uploadPending = 0;
        jobFailed = true;
        break;
    }
}

void LinkSession::handleError()
{
    // A far end that vanished reports this error again on every poll: say it once,
    // close the port, and wait for the user to pick or refresh it.
    if (!portLost) {
        portLost = true;
        tell(Outcome::failure(
            QStringLiteral("An I/O error occurred while reading the data from port %1, error: %2; "
                           "the port is closed. Pick the port again or press refresh once the "
                           "instrument is back.")
                .arg(portName(), port->lossReason())));
    }
    port->close();
    emit portOpenChanged(false);
    endJobOnPortLoss();
}

void LinkSession::endJobOnPortLoss()
{
    if (state != Download && state != Upload)
        return;
    downloadQueue.clear();
    uploadUrls.clear();
    uploadNames.clear();
    state = Nothing;
    timer.stop();
    endJob(true);
}

void LinkSession::handleBytesWritten(qint64 bytes)
{
    if (state == Upload)
        uploadWritten(bytes);
}
