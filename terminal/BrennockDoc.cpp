#include "BrennockDoc.h"
// Placeholder bodies; the document logic follows.
#include "BrennockSettings.h"
#include "PortDataSink.h"
#include <QObject>
class PortDataHandOver : public QObject {};
const char* const kCantOpenPortText = "Can't open port.  It either doesn't exist or\rsome other application is using it.  \r\rSelect a different Com Port or close the \rapplication that is using the port. Then try\rreconnecting to the port.";
const char* const kCommThreadStartErrorText = "Error starting comm thread!";
const char* const kChangePortQuestionText = "Already connected to a different port.  Close and reconnect using new port?";
const char* const kPortNotChangedText = "Port settings not changed";
const char* const kTransmittingStatusText = "Please wait... transmitting characters!";
const char* const kReadyStatusText = "Ready";
CBrennockDoc::CBrennockDoc(BrennockSettings* s, UserFeedback& f) : store(s), userFeedback(f), docTitle(QStringLiteral("Untitled")) {}
CBrennockDoc::~CBrennockDoc() {}
void CBrennockDoc::addView(PortDataSink* v) { views.push_back(v); }
void CBrennockDoc::removeView(PortDataSink*) {}
bool CBrennockDoc::OnNewDocument() { return true; }
bool CBrennockDoc::Connect() { return false; }
void CBrennockDoc::Disconnect() {}
bool CBrennockDoc::isConnected() const { return false; }
SerialPort* CBrennockDoc::port() const { return serialPort.get(); }
QString CBrennockDoc::title() const { return docTitle; }
void CBrennockDoc::setTitleObserver(std::function<void(const QString&)> o) { titleObserver = std::move(o); }
bool CBrennockDoc::SendChar(unsigned char) { return false; }
bool CBrennockDoc::SendBlock(const char*, int) { return false; }
void CBrennockDoc::DeliverToViews(const char*, int) {}
const CommSettings& CBrennockDoc::commSettings() const { return comm; }
CommDialogValues CBrennockDoc::commDialogValues() const { return {}; }
void CBrennockDoc::OnCommSettingsOk(const CommDialogValues&) {}
int CBrennockDoc::charDelay() const { return delayChar; }
void CBrennockDoc::setCharDelay(int ms) { delayChar = ms; }
int CBrennockDoc::lfDelay() const { return delayLf; }
void CBrennockDoc::setLfDelay(int ms) { delayLf = ms; }
int CBrennockDoc::windowsEdit() const { return editMode; }
void CBrennockDoc::setWindowsEdit(int m) { editMode = m; }
bool CBrennockDoc::stopReader() { return true; }
bool CBrennockDoc::restartReader() { return false; }
BrennockSettings* CBrennockDoc::settings() const { return store; }
UserFeedback& CBrennockDoc::feedback() const { return userFeedback; }
QString CBrennockDoc::portDevice() const { return QString(); }
void CBrennockDoc::setSleepFunction(SleepFunction s) { sleepFor = std::move(s); }
void CBrennockDoc::handOverFromCommThread(const char*, int) {}
void CBrennockDoc::servicePendingHandOver() {}
