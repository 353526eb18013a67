#include "BrennockDoc.h"

#include "PortBindings.h"
#include "PortDataSink.h"
#include "ReaderHandOver.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"

#include <QThread>

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

namespace
{

const QString kComSection = QStringLiteral("COM Settings");
const QString kDelaySection = QStringLiteral("Delay");
const QString kErrorCaption = QStringLiteral("Error");
const QString kNotConnectedTitle = QStringLiteral("Not connected");
const QString kUntitledTitle = QStringLiteral("Untitled");

constexpr uint16_t kXonLimit = 100;
constexpr uint16_t kXoffLimit = 100;
constexpr char kXonChar = 0x11;
constexpr char kXoffChar = 0x13;
constexpr unsigned char kCr = 13;
constexpr unsigned char kLf = 10;

void defaultSleep(int ms)
{
    if (ms > 0)
        QThread::msleep(static_cast<unsigned long>(ms));
}

} // namespace

CBrennockDoc::CBrennockDoc(SettingsStore* settings, UserFeedback& feedback)
    : store(settings), userFeedback(feedback), docTitle(kUntitledTitle), sleepFor(defaultSleep),
      handOver(std::make_unique<ReaderHandOver>(
          [this](const char* bytes, int count) { DeliverToViews(bytes, count); }))
{
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

bool CBrennockDoc::Connect()
{
    bool created = false;
    if (!serialPort) {
        for (PortDataSink* view : std::vector<PortDataSink*>(views))
            view->clearText();
        const QString device = portDevice();
        auto opened = std::make_unique<SerialPort>(device);
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
        opened->setReaderPump([this] { servicePendingHandOver(); });
        serialPort = std::move(opened);
        created = true;
    }

    applySettingsToPort();
    context.port = serialPort.get();
    context.handOver = handOver.get();

    bool ok = true;
    if (created && !serialPort->StartReader(CommThreadProc, &context)) {
        userFeedback.message(QString::fromLatin1(kCommThreadStartErrorText), kErrorCaption,
                             MessageIcon::Warning);
        serialPort.reset();
        ok = false;
    }
    if (ok)
        setTitle(comm.portName);
    if (store)
        store->writeText(kComSection, QStringLiteral("COM Port"), comm.portName);
    return ok;
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
                               kXonLimit, kXoffLimit, kXonChar, kXoffChar);
}

void CBrennockDoc::Disconnect()
{
    serialPort.reset();
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
    return serialPort && serialPort->Write(bytes, length) == length;
}

bool CBrennockDoc::SendChar(unsigned char byte)
{
    char data[2] = {static_cast<char>(byte), static_cast<char>(kLf)};
    const int length = (byte == kCr && comm.sendCrLf) ? 2 : 1;
    if (!writeAll(data, length)) {
        userFeedback.beep();
        return false;
    }
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
    if (delayChar == 0 && delayLf == 0) {
        if (!serialPort || (length > 0 && !writeAll(bytes, length))) {
            userFeedback.beep();
            return false;
        }
    } else {
        userFeedback.setStatusText(QString::fromLatin1(kTransmittingStatusText));
        for (int i = 0; i < length; ++i) {
            if (!writeAll(bytes + i, 1)) {
                userFeedback.beep(); // the status text stays: the block was not sent
                return false;
            }
            sleepFor(static_cast<unsigned char>(bytes[i]) == kLf ? delayLf : delayChar);
        }
        userFeedback.setStatusText(QString::fromLatin1(kReadyStatusText));
    }
    if (comm.localEcho && length > 0)
        DeliverToViews(bytes, length);
    return true;
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

void CBrennockDoc::OnCommSettingsOk(const CommDialogValues& values)
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
        connectDue = true;
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
    serialPort->StopReader([this] { servicePendingHandOver(); });
    return !serialPort->readerRunning();
}

bool CBrennockDoc::restartReader()
{
    if (!serialPort)
        return false;
    context.port = serialPort.get();
    context.handOver = handOver.get();
    if (!serialPort->StartReader(CommThreadProc, &context)) {
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

void CBrennockDoc::setSleepFunction(SleepFunction sleep)
{
    sleepFor = sleep ? std::move(sleep) : SleepFunction(defaultSleep);
}
