// CBrennockDoc: the terminal document. It holds the communication settings, owns the one
// SerialPort, connects and disconnects it, runs the comm thread, and offers the two
// transmit operations every sender uses: SendChar (one keystroke) and SendBlock (paced
// text), both with optional local echo. No widgets: views are PortDataSinks, and message
// boxes, beeps and the status text go through UserFeedback.
//
// Received data reach the views on the document's thread through the serial layer's
// ReaderHandOver: the comm thread queues each read (waiting only while the bounded
// queue is full) and one posted event delivers all that wait. StopReader delivers what
// is queued before it returns.
//
// A device that goes away under the open port (USB unplugged, the far end closed) is
// seen once by the comm thread; the document then disconnects, tells the user once,
// and watches the same device path: when it comes back the port is opened again with
// the same settings and the status text says so. Sends while the line is lost fail
// quietly: the user was told already.
//
// Send BREAK holds the line in BREAK for kBreakMs without blocking the UI thread; what
// the user sends meanwhile is held and sent in order once the break has ended, since a
// UART would lose bytes written during a break.
#pragma once

#include "CommSettings.h"
#include "CommThread.h"
#include "ModemLineWatch.h"
#include "PortBindings.h"
#include "ReaderPauseGuard.h"
#include "SerialPort.h"
#include "UserFeedback.h"

#include <QByteArray>
#include <QString>

#include <functional>
#include <memory>
#include <vector>

class SettingsStore;
class PortDataSink;
class ReaderHandOver;
class BlockSender;
class ReconnectWatcher;
class QTimer;

// The messages of the connection, exactly as the user sees them.
extern const char* const kCantOpenPortText;
extern const char* const kCommThreadStartErrorText;
extern const char* const kChangePortQuestionText;
extern const char* const kPortNotChangedText;
extern const char* const kTransmittingStatusText;
extern const char* const kReadyStatusText;
// A send that stopped early: %1 characters sent of %2.
extern const char* const kSendStoppedText;
extern const char* const kLineLostText;         // %1 port name, %2 device
extern const char* const kWaitingForDeviceText; // %1 port name, %2 device
extern const char* const kReconnectedText;      // %1 port name, %2 device

class CBrennockDoc : public ReaderControl
{
public:
    static constexpr int kBreakMs = 1000;
    // A trickling line is read at most this often, and handed to the window at most
    // every kHoldMs (ReaderHandOver::setGather): each hand-over costs the window an
    // update. The last line of a trickle goes over within two gathering times.
    static constexpr int kGatherMs = 15;
    static constexpr int kHoldMs = 100;
    // After a typed character, received bytes are read and shown at once for this long:
    // its echo is not gathered with a trickle.
    static constexpr int kEchoMs = 100;

    // Create: loads every field from settings (null settings => the defaults).
    CBrennockDoc(SettingsStore* settings, UserFeedback& feedback);
    ~CBrennockDoc(); // deletes the port (stops the comm thread)

    CBrennockDoc(const CBrennockDoc&) = delete;
    CBrennockDoc& operator=(const CBrennockDoc&) = delete;

    void addView(PortDataSink* view); // views in document order
    void removeView(PortDataSink* view);
    bool OnNewDocument(); // start-up: Connect
    bool Connect();
    void Disconnect();
    bool isConnected() const;
    SerialPort* port() const; // null when not connected
    QString title() const;    // "Untitled" at start, port name, or "Not connected"
    void setTitleObserver(std::function<void(const QString&)> observer);
    bool SendChar(unsigned char byte);
    // Starts sending the block (or queues it behind the one being sent) and returns;
    // the UI thread stays free while it goes out. Fails at once only without a port.
    bool SendBlock(const char* bytes, int length);
    bool sending() const;
    // The user's cancel (Esc): the rest of the block is not sent, the status says how
    // much was.
    void cancelSending();
    // Hands bytes to every view, in view order, on the UI thread. Received data come
    // here from the hand-over's posted event; the comm thread does not wait for it.
    void DeliverToViews(const char* bytes, int count);
    const CommSettings& commSettings() const;
    CommDialogValues commDialogValues() const; // the dialog's initial values
    // The after-OK steps 1 to 5. The port bindings chosen in the dialog are stored with
    // the settings in step 4, so a refused change or port 99 stores none of them. A
    // connected port whose name now leads to another device is opened there.
    void OnCommSettingsOk(const CommDialogValues& values, const PortBindingChanges& bindings = {});
    int charDelay() const;
    void setCharDelay(int ms); // in memory; the dialog stores "Delay"
    int lfDelay() const;
    void setLfDelay(int ms);
    int windowsEdit() const;
    void setWindowsEdit(int mode);
    // For the loaders (through ReaderPauseGuard): StopReader keeping the UI responsive.
    bool stopReader() override;
    // StartReader(CommThreadProc, context); on failure shows "Error starting comm
    // thread!" and disconnects; returns success.
    bool restartReader() override;
    SettingsStore* settings() const;
    UserFeedback& feedback() const;

    // The device the port name resolves to (settings binding or /dev/ttyS(n-1)).
    QString portDevice() const;

    // Each pause SendBlock takes after a paced byte, as it is taken (a seam for tests).
    void setPauseObserver(std::function<void(int ms)> observer);

    // Delivers a pending hand-over, if any, on the document's thread. StopReader's pump.
    void servicePendingHandOver();

    // SetBreak, then ClearBreak kBreakMs later; what is sent meanwhile is held until then.
    // Does nothing without a port or while a break runs.
    void SendBreak();
    bool breakActive() const;
    void setBreakDuration(int ms); // kBreakMs but for tests

    // The line went away under the port: disconnect, tell the user once, and watch the
    // device path for its return. The comm thread's report lands here; a stale report
    // (of a port already closed) does nothing.
    void onLineLost();
    // True from a lost line until the port is open again or the user chose otherwise.
    bool lineLost() const;
    // The watcher of the lost device, for tests to shorten its interval.
    ReconnectWatcher& reconnectWatcher();

    // Bytes the terminal received from the port and sent to it since the last connect
    // or reset; a load's conversation is not counted.
    struct ByteCounts {
        qint64 received = 0;
        qint64 sent = 0;
    };
    ByteCounts byteCounts() const { return counts; }
    void resetByteCounts() { counts = ByteCounts(); }

    // The input lines, watched all the time (unknown while not connected); the
    // observer gets each change.
    ModemLines modemLines() const;
    void setModemLineObserver(std::function<void(const ModemLines&)> observer);
    ModemLineWatch& modemLineWatch() { return *lineWatch; }
    // DTR and RTS by hand. Connecting and applying settings assert both; "Hardware"
    // flow control owns RTS, so it cannot be switched then. False when the device
    // refused (a pty has no modem lines) or it is owned.
    bool dtrOn() const { return dtr; }
    bool rtsOn() const { return rts; }
    bool rtsOwnedByFlowControl() const;
    bool setDtr(bool on);
    bool setRts(bool on);

private:
    struct HeldSend {
        bool block; // SendBlock, else SendChar of the one byte
        QByteArray bytes;
    };

    void setTitle(const QString& title);
    std::unique_ptr<SerialPort> openPort(const QString& device);
    bool startCommThread();
    bool reconnectTo(const QString& device);
    void applySettingsToPort();
    void storeCommSettings();
    bool writeAll(const char* bytes, int length);
    void noteSent(const char* bytes, int written); // counts, and the views that show it
    void sendFinished(int outcome, qint64 sent, qint64 total);
    bool transmitFailed();
    void endBreak();
    void dropBreak();

    std::unique_ptr<SerialPort> serialPort;
    CommThreadContext context;
    CommSettings comm;
    int delayChar = 0;
    int delayLf = 0;
    int editMode = 1;

    SettingsStore* store;
    UserFeedback& userFeedback;
    std::vector<PortDataSink*> views;
    QString docTitle;
    std::function<void(const QString&)> titleObserver;
    std::unique_ptr<ReaderHandOver> handOver;
    std::unique_ptr<BlockSender> sender;
    bool sendStatusShown = false;
    std::unique_ptr<ReconnectWatcher> watcher;
    bool lost = false;
    std::unique_ptr<QTimer> breakTimer;
    std::vector<HeldSend> held;
    ByteCounts counts;
    std::unique_ptr<ModemLineWatch> lineWatch;
    std::function<void(const ModemLines&)> lineObserver;
    bool dtr = true;
    bool rts = true;
};
