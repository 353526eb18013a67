// CMainFrame: brennock's main window. It owns the document and the terminal view,
// carries the menus, the toolbar and the status bar (message pane, CAPS, NUM, SCRL,
// capture indicator, then the line state of LineStatePanes), stores its size whenever
// it changes, opens documents (files named on the command line, dropped on the window,
// picked from the recent list or handed over by a second start) and is the capture
// writer of the view.
//
// Message boxes and the status pane are reached through the frame's UserFeedback;
// a presenter given to the constructor (a recorder in tests) takes the messages and
// beeps instead of real dialogs.
#pragma once

#include "BrennockView.h"
#include "UserFeedback.h"

#include <QMainWindow>
#include <QPointer>
#include <QSize>

#include <functional>
#include <memory>

class SettingsStore;
class CBrennockDoc;
class CaptureController;
class CommSettingsDialog;
class DateTimePaster;
class FindDialog;
class HexView;
class LoadMenu;
class QAction;
class QLabel;
class QMenu;
class QPrinter;
class RecentFiles;

// The message pane's idle text while the terminal text is full.
extern const char* const kTextFullStatusText;
// Shown once when the settings file cannot be read or written; %1 is its path.
extern const char* const kSettingsProblemText;

class CMainFrame : public QMainWindow, public CaptureWriter
{
    Q_OBJECT

public:
    static constexpr int kOpenDocumentPauseMs = 100; // between Connect and the load

    CMainFrame(SettingsStore& settings, UserFeedback* presenter = nullptr,
               QWidget* parent = nullptr);
    ~CMainFrame() override;

    CBrennockDoc& document() const { return *doc; }
    CBrennockView* view() const { return terminal; }
    HexView* hexViewWidget() const { return hexView; }
    // View > Hex View: 0 the text alone, 1 the hex view beside it, 2 the hex view alone
    // ("Text" "Hex View").
    void setHexViewMode(int mode);
    int hexViewMode() const;
    UserFeedback& feedback();
    SettingsStore& settings() const { return store; }

    // Start-up step: with no file, the new document (which connects); with a file,
    // open it as a document.
    void startDocument(const QString& fileName);
    // Opens a file as a document: Connect, a short pause, then the file goes to the
    // load commands (loadRequested); it becomes the title and joins the recent list.
    void openDocumentFile(const QString& fileName);
    // A second start handed fileName over: open it, then come to the front.
    void handOverFromSecondStart(const QString& fileName);
    void bringToFront();

    // CaptureWriter: each run the view shows. Nothing is written while capture is off.
    void captureWrite(const char* bytes, int count) override;
    bool capturing() const;
    CaptureController& captureController() const { return *captureControl; }
    DateTimePaster& dateTimePaster() const { return *datePaster; }

    // The text of the status bar's message pane ("Ready" when idle).
    QString statusText() const;
    // "Ready", or the full-text notice while the text is full.
    QString idleStatusText() const;
    QString indicatorText(int pane) const; // 0 CAPS, 1 NUM, 2 SCRL, 3 capture
    QStringList recentFiles() const;
    // Puts path first in the recent-file list (the loaders' successful picks).
    void addRecentFile(const QString& path);
    // The load commands of the Transfer menu and the load keys.
    LoadMenu* loadMenu() const { return loads; }

    // Seams: the file dialog of Save Selection As, and the help opener.
    void setSaveFileNameProvider(std::function<QString()> provider)
    {
        saveFileNameProvider = std::move(provider);
    }
    QString helpFilePath() const;
    // Writes the view's selection, as received, to path.
    bool saveSelectionTo(const QString& path, QString* error);

    QAction* action(const QString& name) const;

public slots:
    void onCommSettings();
    void onSaveSelectionAs();
    void onPrint();
    void onPrintPreview();
    void onPrintSetup();
    void onCopyPasteOptions();
    void onFind();
    void onFindNext();
    void onFont();
    void onWrapText();
    void onBackgroundColor();
    void onPasteDateTime();
    void onSendSpecialCharacters();
    void onHelpContents();
    void onAbout();

signals:
    // The file of an opened document, for the load commands (Load Any).
    void loadRequested(const QString& fileName);
    // A document was opened with this file (after Connect).
    void documentOpened(const QString& fileName);

protected:
    void resizeEvent(QResizeEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    class FrameFeedback;

    void createActions();
    void createTransferActions();
    void createMenus();
    void createToolBar();
    void createStatusBar();
    void createCapture();
    void updateTitle();
    void updateRecentMenu();
    void updateIndicators();
    void storeSizeIfSettled();
    void findAgain(const QString& text, bool matchCase, bool down);
    QPrinter& printer();
    QAction* addAction(const char* name, const QString& text, const QString& prompt);

    SettingsStore& store;
    std::unique_ptr<FrameFeedback> frameFeedback;
    std::unique_ptr<CBrennockDoc> doc;
    CBrennockView* terminal = nullptr;
    HexView* hexView = nullptr;
    std::unique_ptr<RecentFiles> recent;
    LoadMenu* loads = nullptr;
    std::unique_ptr<QPrinter> printerSetup;
    QPointer<FindDialog> findDialog;
    QString lastFindText;
    bool lastFindMatchCase = false;
    bool lastFindDown = true;
    QString openedFile;

    QMenu* fileMenu = nullptr;
    QAction* recentSeparator = nullptr;
    QList<QAction*> recentActions;
    QLabel* messagePane = nullptr;
    QLabel* capsPane = nullptr;
    QLabel* numPane = nullptr;
    QLabel* scrollPane = nullptr;
    QLabel* capturePane = nullptr;

    CaptureController* captureControl = nullptr;
    std::unique_ptr<DateTimePaster> datePaster;

    QSize restoredSize;
    bool sizeSettled = false;

    std::function<QString()> saveFileNameProvider;
};
