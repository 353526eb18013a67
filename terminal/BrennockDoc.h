// CBrennockDoc: the terminal document. It holds the communication settings, owns the one
// SerialPort, connects and disconnects it, runs the comm thread, and offers the two
// transmit operations every sender uses: SendChar (one keystroke) and SendBlock (paced
// text), both with optional local echo. No widgets: views are PortDataSinks, and message
// boxes, beeps and the status text go through UserFeedback.
//
// Received data reach the views on the document's thread, synchronously, through the
// serial layer's ReaderHandOver. StopReader services pending hand-overs while it waits,
// so stopping while data arrive cannot hang.
#pragma once

#include "CommSettings.h"
#include "CommThread.h"
#include "ReaderPauseGuard.h"
#include "SerialPort.h"
#include "UserFeedback.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class SettingsStore;
class PortDataSink;
class ReaderHandOver;
class BlockSender;

// The messages of the connection, exactly as the user sees them.
extern const char* const kCantOpenPortText;
extern const char* const kCommThreadStartErrorText;
extern const char* const kChangePortQuestionText;
extern const char* const kPortNotChangedText;
extern const char* const kTransmittingStatusText;
extern const char* const kReadyStatusText;
// A send that stopped early: %1 characters sent of %2.
extern const char* const kSendStoppedText;

class CBrennockDoc : public ReaderControl
{
public:
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
    void DeliverToViews(const char* bytes, int count); // UI thread, synchronous, in view order
    const CommSettings& commSettings() const;
    CommDialogValues commDialogValues() const;             // the dialog's initial values
    void OnCommSettingsOk(const CommDialogValues& values); // the after-OK steps 1 to 5
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

private:
    void setTitle(const QString& title);
    void applySettingsToPort();
    void storeCommSettings();
    bool writeAll(const char* bytes, int length);
    void sendFinished(int outcome, qint64 sent, qint64 total);

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
};
