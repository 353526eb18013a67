#include "BrennockDoc.h"

#include "BlockSender.h"
#include "ControlChars.h"
#include "PortBindings.h"
#include "PortDataSink.h"
#include "ReaderHandOver.h"
#include "ReconnectWatcher.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"

#include <QTimer>

#include <algorithm>

const char* const kCantOpenPortText =
    "Can't open port.  It either doesn't exist or\rsome other application is using it.  \r\r"
    "Select a different Com Port or close the \rapplication that is using the port. Then try\r"
    "reconnecting to the port.";
const char* const kCommThreadStartErrorText = "Error starting comm thread!";
const char* const kChangePortQuestionText =
    "Already connected to a different port.  Close and reconnect using new port?";
const char* const kPortNotChangedText = "Port settings not changed";
const char* const kTransmittingStatusText = "Please wait... transmitting characters!";
const char* const kReadyStatusText = "Ready";
const char* const kSendStoppedText = "Sending stopped: %1 of %2 characters were sent.";
const char* const kLineLostText = "%1 (%2) has gone away: the device was unplugged or closed.\r"
                                  "Brennock connects again when it comes back.";
const char* const kWaitingForDeviceText = "%1 (%2) has gone away; waiting for it to come back";
const char* const kReconnectedText = "Reconnected to %1 (%2)";

namespace
{

const QString kComSection = QStringLiteral("COM Settings");
const QString kDelaySection = QStringLiteral("Delay");
const QString kErrorCaption = QStringLiteral("Error");
const QString kNotConnectedTitle = QStringLiteral("Not connected");
const QString kUntitledTitle = QStringLiteral("Untitled");

constexpr uint16_t kXonLimit = 100;
constexpr uint16_t kXoffLimit = 100;
constexpr int kRtsCtsFlags = 3; // "Hardware": CTS handshake, RTS driven by the driver
using ascii::kCr;
using ascii::kLf;

} // namespace

CBrennockDoc::CBrennockDoc(SettingsStore* settings, UserFeedback& feedback)
    : store(settings), userFeedback(feedback), docTitle(kUntitledTitle),
      handOver(std::make_unique<ReaderHandOver>(
          [this](const char* bytes, int count) {
              counts.received += count;
              for (PortDataSink* view : std::vector<PortDataSink*>(views))
                  view->lineReceived(bytes, count);
              DeliverToViews(bytes, count);
          },
          [this] { onLineLost(); })),
      watcher(std::make_unique<ReconnectWatcher>(
          [this](const QString& device) { return reconnectTo(device); })),
      breakTimer(std::make_unique<QTimer>()),
      lineWatch(std::make_unique<ModemLineWatch>([this] { return serialPort.get(); },
                                                 [this](const ModemLines& lines) {
                                                     if (lineObserver)
                                                         lineObserver(lines);
                                                 }))
{
    handOver->setGather(kGatherMs, kCommReadChunk, kHoldMs);
    lineWatch->start();
    sender = std::make_unique<BlockSender>(
        [this](const char* bytes, int count) {
            if (breakActive())
                return 0; // held until the break ends, like everything sent meanwhile
            const int written = serialPort ? serialPort->WriteSome(bytes, count) : -1;
            noteSent(bytes, written);
            return written;
        },
        [this](const char* byte) {
            if (!serialPort)
                return -1;
            if (breakActive())
                return 0;
            const int written = serialPort->Write(byte, 1);
            noteSent(byte, written);
            // A write the line did not take in time (flow control) is tried again.
            return written == 1 ? 1 : serialPort->lastIoTimedOut() ? 0 : -1;
        },
        [this] { return !breakActive() && (!serialPort || serialPort->OutputIdle()); },
        [this](const char* bytes, int count) {
            if (comm.localEcho)
                DeliverToViews(bytes, count);
        },
        [this](BlockSender::Outcome outcome, qint64 sent, qint64 total) {
            sendFinished(static_cast<int>(outcome), sent, total);
        });
    breakTimer->setSingleShot(true);
    breakTimer->setInterval(kBreakMs);
    QObject::connect(breakTimer.get(), &QTimer::timeout, [this] { endBreak(); });
    if (!store)
        return;
    comm.portName = store->readText(kComSection, QStringLiteral("COM Port"), comm.portName);
    comm.baudRate = store->readText(kComSection, QStringLiteral("Baud Rate"), comm.baudRate);
    comm.downloadBaudRate = store->readText(kComSection, QStringLiteral("Baud Rate Bk Download"),
                                            comm.downloadBaudRate);
    comm.parity = store->readText(kComSection, QStringLiteral("Parity"), comm.parity);
    comm.dataBits = store->readText(kComSection, QStringLiteral("Data Bits"), comm.dataBits);
    comm.stopBits = store->readText(kComSection, QStringLiteral("Stop Bits"), comm.stopBits);
    comm.flowControl =
        store->readText(kComSection, QStringLiteral("Flow Control"), comm.flowControl);
    comm.localEcho = store->readInt(kComSection, QStringLiteral("Local Echo"), 0) != 0;
    comm.sendCrLf = store->readInt(kComSection, QStringLiteral("Send CRLF"), 0) != 0;
    delayChar = clampedDelay(store->readInt(kDelaySection, QStringLiteral("DelayChar"), 0));
    delayLf = clampedDelay(store->readInt(kDelaySection, QStringLiteral("DelayLF"), 0));
    editMode = store->readInt(kDelaySection, QStringLiteral("WindowsEdit"), 1);
}

CBrennockDoc::~CBrennockDoc()
{
    // The port goes first: closing it stops the comm thread, which may still be handing
    // bytes over through handOver. The views may be gone already, so a last pending
    // hand-over is delivered to nobody.
    views.clear();
    sender.reset();
    watcher->stop();
    dropBreak();
    serialPort.reset();
}

void CBrennockDoc::addView(PortDataSink* view)
{
    if (view && std::find(views.begin(), views.end(), view) == views.end())
        views.push_back(view);
}

void CBrennockDoc::removeView(PortDataSink* view)
{
    views.erase(std::remove(views.begin(), views.end(), view), views.end());
}

bool CBrennockDoc::OnNewDocument()
{
    setTitle(kUntitledTitle);
    // A port that cannot be opened leaves the program running, not connected.
    Connect();
    return true;
}

QString CBrennockDoc::portDevice() const
{
    return resolvePortDevice(comm.portName, portBindingsOf(store));
}

std::unique_ptr<SerialPort> CBrennockDoc::openPort(const QString& device)
{
    auto opened = std::make_unique<SerialPort>(device);
    if (opened->isOpen() && opened->lastError() == 0)
        opened->setReaderPump([this] { servicePendingHandOver(); });
    return opened;
}

bool CBrennockDoc::startCommThread()
{
    // The running comm thread reads the context: it is filled only before a start.
    if (!serialPort->readerRunning()) {
        context.port = serialPort.get();
        context.handOver = handOver.get();
    }
    return serialPort->StartReader(CommThreadProc, &context);
}

bool CBrennockDoc::Connect()
{
    bool created = false;
    if (!serialPort) {
        for (PortDataSink* view : std::vector<PortDataSink*>(views))
            view->clearText();
        const QString device = portDevice();
        std::unique_ptr<SerialPort> opened = openPort(device);
        if (!opened->isOpen() || opened->lastError() != 0) {
            const QString where = device.isEmpty() ? comm.portName
                                                   : comm.portName + QStringLiteral(" (") + device +
                                                         QStringLiteral(")");
            const QString reason = where + QStringLiteral(": ") + opened->lastErrorText();
            userFeedback.message(QString::fromLatin1(kCantOpenPortText) + QLatin1Char('\r') +
                                     reason,
                                 kErrorCaption, MessageIcon::Warning);
            return false;
        }
        serialPort = std::move(opened);
        created = true;
        resetByteCounts();
    }

    applySettingsToPort();

    bool ok = true;
    if (created && !startCommThread()) {
        userFeedback.message(QString::fromLatin1(kCommThreadStartErrorText), kErrorCaption,
                             MessageIcon::Warning);
        serialPort.reset();
        ok = false;
    }
    if (ok) {
        watcher->stop();
        lost = false;
        setTitle(comm.portName);
    }
    if (store)
        store->writeText(kComSection, QStringLiteral("COM Port"), comm.portName);
    return ok;
}

bool CBrennockDoc::reconnectTo(const QString& device)
{
    if (serialPort)
        return true;
    if (!lost || device != portDevice())
        return false; // the user chose another port meanwhile
    // Quietly: a device that is still settling is tried again on the next look. The
    // text stays, so the user sees what came before the device went away.
    std::unique_ptr<SerialPort> opened = openPort(device);
    if (!opened->isOpen() || opened->lastError() != 0)
        return false;
    serialPort = std::move(opened);
    applySettingsToPort();
    if (!startCommThread()) {
        serialPort.reset();
        return false;
    }
    lost = false;
    setTitle(comm.portName);
    userFeedback.setStatusText(QString::fromLatin1(kReconnectedText).arg(comm.portName, device));
    return true;
}

void CBrennockDoc::onLineLost()
{
    if (!serialPort || !serialPort->lineGone())
        return; // a report about a port that is closed already
    const QString device = serialPort->devicePath();
    Disconnect();
    lost = true;
    userFeedback.message(QString::fromLatin1(kLineLostText).arg(comm.portName, device),
                         kErrorCaption, MessageIcon::Warning);
    // The user may have chosen otherwise while the message was up.
    if (lost && !serialPort) {
        userFeedback.setStatusText(
            QString::fromLatin1(kWaitingForDeviceText).arg(comm.portName, device));
        watcher->start(device);
    }
}

bool CBrennockDoc::lineLost() const
{
    return lost;
}

ReconnectWatcher& CBrennockDoc::reconnectWatcher()
{
    return *watcher;
}

void CBrennockDoc::applySettingsToPort()
{
    // Results ignored on purpose: a rate or format the device refuses leaves the line
    // as it was, and the terminal still works.
    serialPort->SetBaudRate(comm.baudRate.trimmed().toUInt());
    serialPort->SetLineFormat(static_cast<uint8_t>(parityCodeOf(comm.parity)),
                              static_cast<uint8_t>(comm.dataBits.trimmed().toUInt()),
                              static_cast<uint8_t>(stopBitsCodeOf(comm.stopBits)));
    serialPort->SetFlowControl(static_cast<uint32_t>(flowControlFlagsOf(comm.flowControl)),
                               kXonLimit, kXoffLimit, ascii::kXon, ascii::kXoff);
    dtr = rts = true; // the flow control just set asserts both
}

void CBrennockDoc::noteSent(const char* bytes, int written)
{
    if (written <= 0)
        return;
    counts.sent += written;
    for (PortDataSink* view : std::vector<PortDataSink*>(views))
        view->lineSent(bytes, written);
}

ModemLines CBrennockDoc::modemLines() const
{
    return lineWatch->lines();
}

void CBrennockDoc::setModemLineObserver(std::function<void(const ModemLines&)> observer)
{
    lineObserver = std::move(observer);
}

bool CBrennockDoc::rtsOwnedByFlowControl() const
{
    return (flowControlFlagsOf(comm.flowControl) & kRtsCtsFlags) != 0;
}

bool CBrennockDoc::setDtr(bool on)
{
    if (!serialPort || !serialPort->SetDtr(on))
        return false;
    dtr = on;
    return true;
}

bool CBrennockDoc::setRts(bool on)
{
    if (!serialPort || rtsOwnedByFlowControl() || !serialPort->SetRts(on))
        return false;
    rts = on;
    return true;
}

void CBrennockDoc::Disconnect()
{
    sender->stop(BlockSender::Outcome::Failed); // the port goes with what is left
    watcher->stop();
    lost = false;
    dropBreak();
    serialPort.reset();
    // Received before the disconnect but not yet shown: it stays unshown, as when the
    // disconnect came from inside a delivery.
    handOver->discard();
    setTitle(kNotConnectedTitle);
}

bool CBrennockDoc::isConnected() const
{
    return serialPort != nullptr;
}

SerialPort* CBrennockDoc::port() const
{
    return serialPort.get();
}

QString CBrennockDoc::title() const
{
    return docTitle;
}

void CBrennockDoc::setTitleObserver(std::function<void(const QString&)> observer)
{
    titleObserver = std::move(observer);
}

void CBrennockDoc::setTitle(const QString& newTitle)
{
    docTitle = newTitle;
    if (titleObserver)
        titleObserver(docTitle);
}

bool CBrennockDoc::writeAll(const char* bytes, int length)
{
    if (!serialPort)
        return false;
    const int written = serialPort->Write(bytes, length);
    noteSent(bytes, written);
    if (written == length)
        return true;
    // A write can find the device gone before the comm thread does.
    if (serialPort->lineGone())
        onLineLost();
    return false;
}

bool CBrennockDoc::transmitFailed()
{
    // Once the user was told that the device went away, every key need not beep.
    if (!lost)
        userFeedback.beep();
    return false;
}

bool CBrennockDoc::SendChar(unsigned char byte)
{
    if (breakActive() && serialPort) {
        held.push_back({false, QByteArray(1, static_cast<char>(byte))});
        return true;
    }
    char data[2] = {static_cast<char>(byte), static_cast<char>(kLf)};
    const int length = (byte == kCr && comm.sendCrLf) ? 2 : 1;
    if (!writeAll(data, length))
        return transmitFailed();
    handOver->readAtOnce(kEchoMs);
    for (PortDataSink* view : std::vector<PortDataSink*>(views))
        view->echoDue(kEchoMs);
    if (comm.localEcho)
        DeliverToViews(data, length);
    return true;
}

bool CBrennockDoc::SendBlock(const char* bytes, int length)
{
    if (length < 0 || (length > 0 && !bytes)) {
        userFeedback.beep();
        return false;
    }
    if (breakActive() && serialPort) {
        held.push_back({true, QByteArray(bytes, length)});
        return true;
    }
    const bool paced = delayChar != 0 || delayLf != 0;
    if (!serialPort) {
        if (paced)
            userFeedback.setStatusText(QString::fromLatin1(kTransmittingStatusText));
        return transmitFailed();
    }
    if (length == 0)
        return true;
    const bool alreadySending = sender->busy();
    sender->add(QByteArray(bytes, length), BlockSender::Pacing{delayChar, delayLf});
    // What is still going out after the first steps says so until it is done.
    if (!alreadySending && (paced || sender->busy()) && !sendStatusShown) {
        sendStatusShown = true;
        userFeedback.setStatusText(QString::fromLatin1(kTransmittingStatusText));
        if (!sender->busy())
            sendFinished(static_cast<int>(BlockSender::Outcome::Sent), length, length);
    }
    return true;
}

bool CBrennockDoc::sending() const
{
    return sender->busy();
}

void CBrennockDoc::cancelSending()
{
    sender->stop(BlockSender::Outcome::Cancelled);
}

void CBrennockDoc::sendFinished(int outcome, qint64 sent, qint64 total)
{
    const auto how = static_cast<BlockSender::Outcome>(outcome);
    if (how == BlockSender::Outcome::Sent) {
        if (sendStatusShown)
            userFeedback.setStatusText(QString::fromLatin1(kReadyStatusText));
        sendStatusShown = false;
        return;
    }
    sendStatusShown = false;
    if (how == BlockSender::Outcome::Failed && serialPort) {
        // What the driver still holds goes with the port.
        CommStatus status;
        if (serialPort->ClearErrors(&status))
            sent -= std::min<qint64>(sent, status.cbOutQue);
    }
    const QString stopped = QString::fromLatin1(kSendStoppedText).arg(sent).arg(total);
    userFeedback.setStatusText(stopped);
    if (how == BlockSender::Outcome::Failed) {
        userFeedback.beep();
        userFeedback.message(stopped, QStringLiteral("Brennock"), MessageIcon::Warning);
    }
}

void CBrennockDoc::DeliverToViews(const char* bytes, int count)
{
    if (!bytes || count <= 0)
        return;
    // A view may remove itself (or another) while handling the bytes.
    const std::vector<PortDataSink*> snapshot = views;
    for (PortDataSink* view : snapshot) {
        if (std::find(views.begin(), views.end(), view) != views.end())
            view->portData(bytes, count);
    }
}

void CBrennockDoc::servicePendingHandOver()
{
    handOver->service();
}

void CBrennockDoc::SendBreak()
{
    if (!serialPort || breakActive())
        return;
    // The line stays in BREAK for a while; the window stays responsive meanwhile.
    serialPort->SetBreak();
    breakTimer->start();
}

bool CBrennockDoc::breakActive() const
{
    return breakTimer->isActive();
}

void CBrennockDoc::setBreakDuration(int ms)
{
    breakTimer->setInterval(ms);
}

void CBrennockDoc::endBreak()
{
    if (serialPort)
        serialPort->ClearBreak();
    std::vector<HeldSend> pending;
    pending.swap(held);
    for (const HeldSend& send : pending) {
        const bool sent = send.block ? SendBlock(send.bytes.constData(), send.bytes.size())
                                     : SendChar(static_cast<unsigned char>(send.bytes.at(0)));
        if (!sent || breakActive())
            break; // what follows a failed send is not sent either
    }
}

void CBrennockDoc::dropBreak()
{
    if (breakTimer->isActive() && serialPort)
        serialPort->ClearBreak();
    breakTimer->stop();
    held.clear();
}

const CommSettings& CBrennockDoc::commSettings() const
{
    return comm;
}

CommDialogValues CBrennockDoc::commDialogValues() const
{
    CommDialogValues values;
    values.portNumber = portNumberOf(comm.portName);
    values.baudRate = comm.baudRate;
    values.downloadBaudRate = comm.downloadBaudRate;
    values.parity = comm.parity;
    values.dataBits = comm.dataBits;
    values.stopBits = comm.stopBits;
    values.flowControl = comm.flowControl;
    values.localEcho = comm.localEcho;
    values.sendCrLf = comm.sendCrLf;
    return values;
}

void CBrennockDoc::storeCommSettings()
{
    if (!store)
        return;
    const SettingsStore::Batch batch(*store);
    store->writeText(kComSection, QStringLiteral("COM Port"), comm.portName);
    store->writeText(kComSection, QStringLiteral("Baud Rate"), comm.baudRate);
    store->writeText(kComSection, QStringLiteral("Baud Rate Bk Download"), comm.downloadBaudRate);
    store->writeText(kComSection, QStringLiteral("Parity"), comm.parity);
    store->writeText(kComSection, QStringLiteral("Data Bits"), comm.dataBits);
    store->writeText(kComSection, QStringLiteral("Stop Bits"), comm.stopBits);
    store->writeText(kComSection, QStringLiteral("Flow Control"), comm.flowControl);
    store->writeInt(kComSection, QStringLiteral("Local Echo"), comm.localEcho ? 1 : 0);
    store->writeInt(kComSection, QStringLiteral("Send CRLF"), comm.sendCrLf ? 1 : 0);
}

void CBrennockDoc::OnCommSettingsOk(const CommDialogValues& values,
                                    const PortBindingChanges& bindings)
{
    const QString newName = portNameFor(values.portNumber);
    // Port number 99 is the way to disconnect; the other values are discarded.
    if (values.portNumber == kDisconnectPortNumber) {
        comm.portName = newName;
        Disconnect();
        return;
    }
    bool connectDue = false;
    if (newName != comm.portName) {
        if (serialPort) {
            const MessageResult answer = userFeedback.message(
                QString::fromLatin1(kChangePortQuestionText), QStringLiteral("Change Port"),
                MessageIcon::Information, MessageButtons::YesNo, MessageResult::No);
            if (answer != MessageResult::Yes) {
                userFeedback.message(QString::fromLatin1(kPortNotChangedText),
                                     QStringLiteral("No Change"), MessageIcon::Warning);
                return;
            }
            Disconnect();
        }
        watcher->stop(); // another port now: the one that went away is not awaited
        lost = false;
        connectDue = true;
    } else if (lost) {
        connectDue = true; // the same port, gone a while ago: OK tries it again
    }
    comm.portName = newName;
    comm.baudRate = values.baudRate;
    comm.downloadBaudRate = values.downloadBaudRate;
    comm.parity = values.parity;
    comm.dataBits = values.dataBits;
    comm.stopBits = values.stopBits;
    comm.flowControl = values.flowControl;
    comm.localEcho = values.localEcho;
    comm.sendCrLf = values.sendCrLf;
    storeCommSettings();
    if (store)
        bindPortDevices(*store, bindings);
    // The same name bound to another device now: open that one.
    if (serialPort && serialPort->devicePath() != portDevice()) {
        Disconnect();
        connectDue = true;
    }
    if (serialPort || connectDue)
        Connect();
}

int CBrennockDoc::charDelay() const
{
    return delayChar;
}
void CBrennockDoc::setCharDelay(int ms)
{
    delayChar = clampedDelay(ms);
}
int CBrennockDoc::lfDelay() const
{
    return delayLf;
}
void CBrennockDoc::setLfDelay(int ms)
{
    delayLf = clampedDelay(ms);
}
int CBrennockDoc::windowsEdit() const
{
    return editMode;
}
void CBrennockDoc::setWindowsEdit(int mode)
{
    editMode = mode;
}

bool CBrennockDoc::stopReader()
{
    if (!serialPort)
        return false;
    // A load takes the line over: a paste must not write into its conversation.
    sender->stop(BlockSender::Outcome::Cancelled);
    serialPort->StopReader([this] { servicePendingHandOver(); });
    // What the reader queued before it ended is shown before the caller goes on.
    servicePendingHandOver();
    return serialPort && !serialPort->readerRunning();
}

bool CBrennockDoc::restartReader()
{
    if (!serialPort)
        return false;
    if (!startCommThread()) {
        userFeedback.message(QString::fromLatin1(kCommThreadStartErrorText), kErrorCaption,
                             MessageIcon::Warning);
        Disconnect();
        return false;
    }
    return true;
}

SettingsStore* CBrennockDoc::settings() const
{
    return store;
}
UserFeedback& CBrennockDoc::feedback() const
{
    return userFeedback;
}

void CBrennockDoc::setPauseObserver(std::function<void(int ms)> observer)
{
    sender->setPauseObserver(std::move(observer));
}
