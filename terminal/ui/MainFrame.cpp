#include "MainFrame.h"

#include "BrennockDoc.h"
#include "CaptureController.h"
#include "CommSettingsDialog.h"
#include "HexView.h"
#include "LineStatePanes.h"
#include "LoadMenu.h"
#include "PasteDateTimeDialog.h"
#include "PortBindings.h"
#include "SendCharsDialog.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"
#include "TerminalDialogs.h"

#include <QAction>
#include <QActionGroup>
#include <QApplication>
#include <QCloseEvent>
#include <QColorDialog>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QLabel>
#include <QLoggingCategory>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeData>
#include <QPageSetupDialog>
#include <QPainter>
#include <QPrintDialog>
#include <QPrintPreviewDialog>
#include <QPrinter>
#include <QSaveFile>
#include <QScreen>
#include <QSplitter>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QUrl>

#include <tuple>

Q_LOGGING_CATEGORY(lcShell, "brennock.shell", QtWarningMsg)

// The icon and the help page live in this static library's resources.
static void initBrennockResources()
{
    Q_INIT_RESOURCE(brennock);
}

const char* const kTextFullStatusText =
    "Text full: new text is captured but not shown until Clear Screen and Buffer";
const char* const kSettingsProblemText = "The settings file \"%1\" cannot be read or written; "
                                         "changed settings will not be kept.";

namespace
{

const QString kAppTitle = QStringLiteral("Brennock");
const QString kReady = QStringLiteral("Ready");

// Lock-key state as the keyboard LEDs show it; Linux has it in sysfs for every
// keyboard, the desktop or not.
bool lockLedOn(const QString& led)
{
    const QDir leds(QStringLiteral("/sys/class/leds"));
    const QStringList names =
        leds.entryList({QStringLiteral("*::") + led}, QDir::AllEntries | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        QFile brightness(leds.filePath(name) + QStringLiteral("/brightness"));
        if (brightness.open(QIODevice::ReadOnly) && brightness.readAll().trimmed().toInt() > 0)
            return true;
    }
    return false;
}

// A plain toolbar picture when the desktop theme has none.
QIcon drawnIcon(const QString& letters)
{
    QPixmap pixmap(24, 24);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QColor(40, 60, 110));
    painter.setBrush(QColor(220, 228, 245));
    painter.drawRoundedRect(QRectF(1.5, 1.5, 21, 21), 4, 4);
    QFont font = painter.font();
    font.setPixelSize(letters.size() > 1 ? 9 : 13);
    font.setBold(true);
    painter.setFont(font);
    painter.drawText(QRect(0, 0, 24, 24), Qt::AlignCenter, letters);
    return QIcon(pixmap);
}

QIcon themedIcon(const char* theme, const QString& letters)
{
    const QIcon icon = QIcon::fromTheme(QString::fromLatin1(theme));
    return icon.isNull() ? drawnIcon(letters) : icon;
}

QMessageBox::Icon boxIcon(MessageIcon icon)
{
    switch (icon) {
    case MessageIcon::Information:
        return QMessageBox::Information;
    case MessageIcon::Warning:
        return QMessageBox::Warning;
    case MessageIcon::None:
        break;
    }
    return QMessageBox::NoIcon;
}

} // namespace

// Messages go to the presenter when there is one (tests), else to message boxes; the
// status text always reaches the message pane.
class CMainFrame::FrameFeedback : public UserFeedback
{
public:
    FrameFeedback(CMainFrame& frame, UserFeedback* presenter) : frame(frame), presenter(presenter)
    {
    }

    MessageResult message(const QString& text, const QString& caption, MessageIcon icon,
                          MessageButtons buttons, MessageResult defaultResult) override
    {
        if (presenter)
            return presenter->message(text, caption, icon, buttons, defaultResult);
        QMessageBox box(boxIcon(icon), caption, messageTextForDisplay(text), QMessageBox::NoButton,
                        frame.isVisible() ? &frame : nullptr);
        if (buttons == MessageButtons::YesNo) {
            box.setStandardButtons(QMessageBox::Yes | QMessageBox::No);
            box.setDefaultButton(defaultResult == MessageResult::Yes ? QMessageBox::Yes
                                                                     : QMessageBox::No);
            return box.exec() == QMessageBox::Yes ? MessageResult::Yes : MessageResult::No;
        }
        box.setStandardButtons(QMessageBox::Ok);
        box.exec();
        return MessageResult::Ok;
    }

    void beep() override
    {
        if (presenter)
            presenter->beep();
        else
            QApplication::beep();
    }

    void setStatusText(const QString& text) override
    {
        if (frame.messagePane) {
            const bool idle = text == kReady;
            frame.messagePane->setText(idle ? frame.idleStatusText() : text);
            // A paced paste keeps the event loop busy: show the text now.
            frame.messagePane->repaint();
        }
        if (presenter)
            presenter->setStatusText(text);
    }

private:
    CMainFrame& frame;
    UserFeedback* presenter;
};

CMainFrame::CMainFrame(SettingsStore& settings, UserFeedback* presenter, QWidget* parent)
    : QMainWindow(parent), store(settings)
{
    setObjectName(QStringLiteral("mainFrame"));
    initBrennockResources();
    setWindowIcon(QIcon(QStringLiteral(":/brennock/brennock.png")));
    frameFeedback = std::make_unique<FrameFeedback>(*this, presenter);
    store.setProblemHandler([this](const QString& file) {
        feedback().message(QString::fromLatin1(kSettingsProblemText).arg(file),
                           QStringLiteral("Brennock"), MessageIcon::Warning);
    });
    doc = std::make_unique<CBrennockDoc>(&store, *frameFeedback);
    recent = std::make_unique<RecentFiles>(store);

    // The text view and the hex view side by side; the hex view is fed while hidden too.
    auto* views = new QSplitter(Qt::Horizontal, this);
    views->setObjectName(QStringLiteral("viewSplitter"));
    views->setChildrenCollapsible(false);
    terminal = new CBrennockView(*doc, this, views);
    terminal->setObjectName(QStringLiteral("terminalView"));
    hexView = new HexView(*doc, views);
    views->addWidget(terminal);
    views->addWidget(hexView);
    views->setStretchFactor(0, 3);
    views->setStretchFactor(1, 2);
    setCentralWidget(views);
    terminal->setFocus();

    createActions();
    createMenus();
    createToolBar();
    createStatusBar();
    createCapture();
    datePaster = std::make_unique<DateTimePaster>();
    loads = new LoadMenu(*this);
    setAcceptDrops(true);

    connect(terminal, &CBrennockView::selectionPresent, this, [this](bool present) {
        action(QStringLiteral("saveSelectionAs"))->setEnabled(present);
    });
    connect(terminal, &CBrennockView::saveSelectionRequested, this, &CMainFrame::onSaveSelectionAs);
    connect(terminal, &CBrennockView::breakRequested, this, [this] { doc->SendBreak(); });
    connect(terminal, &CBrennockView::filesDropped, this, [this](const QStringList& paths) {
        for (const QString& path : paths)
            openDocumentFile(path);
    });
    // A full text says so in the message pane until there is room again: text that
    // arrives meanwhile is captured but not shown.
    connect(terminal, &CBrennockView::bufferFullChanged, this, [this](bool) {
        const QString now = messagePane->text();
        if (now == kReady || now == QString::fromLatin1(kTextFullStatusText))
            frameFeedback->setStatusText(kReady);
    });

    // A later connect or disconnect titles the window with the port again.
    doc->setTitleObserver([this](const QString&) {
        openedFile.clear();
        updateTitle();
    });
    updateTitle();

    // Initial update of the view: the stored font, wrap and colours.
    terminal->applyStoredAppearance();
    action(QStringLiteral("wrapText"))->setChecked(terminal->wrapText());
    action(QStringLiteral("viewTimestamps"))->setChecked(terminal->timestamps());
    setHexViewMode(store.readInt(QStringLiteral("Text"), QStringLiteral("Hex View"), 0));

    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    restoredSize = clampedWindowSize(storedWindowSize(store), available.size());
    resize(restoredSize);
    if (screen)
        move(available.center() - QPoint(restoredSize.width() / 2, restoredSize.height() / 2));
    qApp->installEventFilter(this);
    updateIndicators();
}

CMainFrame::~CMainFrame()
{
    store.setProblemHandler(nullptr);
    qApp->removeEventFilter(this);
    delete loads; // its commands hold the document
    loads = nullptr;
    // Capture ends with the window: the file gets what is still buffered.
    captureControl->onStop();
    // The views leave the document before the document (and its port) goes.
    delete terminal;
    terminal = nullptr;
    delete hexView;
    hexView = nullptr;
}

QAction* CMainFrame::addAction(const char* name, const QString& text, const QString& prompt)
{
    auto* act = new QAction(text, this);
    act->setObjectName(QString::fromLatin1(name));
    if (!prompt.isEmpty())
        act->setStatusTip(prompt);
    return act;
}

QAction* CMainFrame::action(const QString& name) const
{
    return findChild<QAction*>(name);
}

void CMainFrame::createActions()
{
    // File
    connect(addAction("commSettings", QStringLiteral("&Communications Settings"),
                      QStringLiteral("Change port settings")),
            &QAction::triggered, this, &CMainFrame::onCommSettings);
    QAction* save = addAction("saveSelectionAs", QStringLiteral("&Save Selection As...\tF4"),
                              QStringLiteral("Save the currently selected text to an ASCII file"));
    save->setEnabled(false);
    connect(save, &QAction::triggered, this, &CMainFrame::onSaveSelectionAs);
    connect(addAction("print", QStringLiteral("&Print..."),
                      QStringLiteral("Print the current terminal view")),
            &QAction::triggered, this, &CMainFrame::onPrint);
    connect(addAction("printPreview", QStringLiteral("Print Pre&view"),
                      QStringLiteral("Display full pages")),
            &QAction::triggered, this, &CMainFrame::onPrintPreview);
    connect(addAction("printSetup", QStringLiteral("P&rint Setup..."),
                      QStringLiteral("Change the printer and printing options")),
            &QAction::triggered, this, &CMainFrame::onPrintSetup);
    connect(addAction("exit", QStringLiteral("E&xit"),
                      QStringLiteral("Quit the application; prompts to save documents")),
            &QAction::triggered, this, &QWidget::close);

    // Edit
    connect(addAction("copy", QStringLiteral("&Copy"),
                      QStringLiteral("Copy the selection and put it on the Clipboard")),
            &QAction::triggered, terminal, &CBrennockView::copySelection);
    connect(addAction("paste", QStringLiteral("&Paste"), QString()), &QAction::triggered, terminal,
            &CBrennockView::pasteFromClipboard);
    connect(addAction("pasteDateTime", QStringLiteral("Paste &Date && Time..."),
                      QStringLiteral("Paste Date & Time")),
            &QAction::triggered, this, &CMainFrame::onPasteDateTime);
    connect(addAction("selectAll", QStringLiteral("Select &All"),
                      QStringLiteral("Select the entire document")),
            &QAction::triggered, terminal, &CBrennockView::selectEverything);
    connect(
        addAction("find", QStringLiteral("&Find..."), QStringLiteral("Find the specified text")),
        &QAction::triggered, this, &CMainFrame::onFind);
    QAction* findNext = addAction("findNext", QStringLiteral("F&ind Next"),
                                  QStringLiteral("Repeat the last action"));
    findNext->setShortcut(QKeySequence(Qt::Key_F3));
    connect(findNext, &QAction::triggered, this, &CMainFrame::onFindNext);
    connect(addAction("copyPasteOptions", QStringLiteral("Copy - Paste Options..."), QString()),
            &QAction::triggered, this, &CMainFrame::onCopyPasteOptions);
    connect(addAction("clearScreen", QStringLiteral("Clear Screen and Buffer"),
                      QStringLiteral("Clears window, empties buffer")),
            &QAction::triggered, terminal, &CBrennockView::clearScreenAndBuffer);
    connect(addAction("cut", QStringLiteral("Cu&t"),
                      QStringLiteral("Cut the selection and put it on the Clipboard")),
            &QAction::triggered, terminal, &CBrennockView::cutSelection);

    // View
    QAction* toolbar = addAction("viewToolbar", QStringLiteral("&Toolbar"),
                                 QStringLiteral("Show or hide the toolbar"));
    toolbar->setCheckable(true);
    toolbar->setChecked(true);
    QAction* status = addAction("viewStatusBar", QStringLiteral("&Status Bar"),
                                QStringLiteral("Show or hide the status bar"));
    status->setCheckable(true);
    status->setChecked(true);

    // Format
    connect(addAction("font", QStringLiteral("&Font..."), QStringLiteral("Change terminal font")),
            &QAction::triggered, this, &CMainFrame::onFont);
    QAction* wrap = addAction("wrapText", QStringLiteral("&Wrap Text"),
                              QStringLiteral("Wrap lines that exceed terminal width"));
    wrap->setCheckable(true);
    connect(wrap, &QAction::triggered, this, &CMainFrame::onWrapText);
    QAction* stamps = addAction("viewTimestamps", QStringLiteral("Time&stamps"),
                                QStringLiteral("Start each line with the time of its first byte"));
    stamps->setCheckable(true);
    connect(stamps, &QAction::triggered, this, [this](bool on) { terminal->setTimestamps(on); });
    auto* hexModes = new QActionGroup(this);
    hexModes->setExclusionPolicy(QActionGroup::ExclusionPolicy::ExclusiveOptional);
    for (const auto& mode :
         {std::make_tuple("viewHex", QStringLiteral("&Hex View"),
                          QStringLiteral("Show the bytes of the line in hex beside the text"), 1),
          std::make_tuple("viewHexOnly", QStringLiteral("Hex View &Only"),
                          QStringLiteral("Show the bytes of the line in hex instead of the text"),
                          2)}) {
        QAction* act = addAction(std::get<0>(mode), std::get<1>(mode), std::get<2>(mode));
        act->setCheckable(true);
        hexModes->addAction(act);
        const int value = std::get<3>(mode);
        connect(act, &QAction::triggered, this,
                [this, value](bool on) { setHexViewMode(on ? value : 0); });
    }
    connect(addAction("backgroundColor", QStringLiteral("&Set Background Color..."),
                      QStringLiteral("Sets background color")),
            &QAction::triggered, this, &CMainFrame::onBackgroundColor);

    createTransferActions();
}

// Transfer, Capture and Help, and the keys that do nothing.
void CMainFrame::createTransferActions()
{
    // Transfer: the load commands come with their own part of the program; until then
    // their entries are shown disabled.
    addAction("load", QStringLiteral("&Load ...\tF7"),
              QStringLiteral("Load a *.APP, *.RUN, *.BIN, *.S19, *.TXT, *.BAT, etc."))
        ->setEnabled(false);
    connect(addAction("sendBreak", QStringLiteral("Send &Break\tF8"),
                      QStringLiteral("Send BREAK to target")),
            &QAction::triggered, this, [this] { doc->SendBreak(); });
    connect(addAction("sendSpecial", QStringLiteral("Send Special Characters..."),
                      QStringLiteral("Send special character(s) to target")),
            &QAction::triggered, this, &CMainFrame::onSendSpecialCharacters);
    addAction("sendBinary", QStringLiteral("Send Binary File..."),
              QStringLiteral("Send a file of any kind directly out the serial port"))
        ->setEnabled(false);
    // Capture: the controller enables these by the capture state.
    addAction("captureStart", QStringLiteral("Start"), QStringLiteral("Start Capturing Text"));
    addAction("captureStop", QStringLiteral("Stop"), QStringLiteral("Stop Capturing Text"));
    addAction("capturePause", QStringLiteral("Pause"),
              QStringLiteral("Pause the Capturing of Text"));
    addAction("captureResume", QStringLiteral("Resume"),
              QStringLiteral("Resume the Capturing of Text"));
    addAction("captureOptions", QStringLiteral("Options..."),
              QStringLiteral("Displayt Capture Text Options"));
    addAction("redoLastLoad", QStringLiteral("Redo Last Load\tF5"), QString())->setEnabled(false);

    // Help
    connect(
        addAction("helpContents", QStringLiteral("&Contents"),
                  QStringLiteral("Displays the table of contents for the online documentation")),
        &QAction::triggered, this, &CMainFrame::onHelpContents);
    connect(addAction("about", QStringLiteral("&About Brennock..."),
                      QStringLiteral("Display program information, version number and copyright")),
            &QAction::triggered, this, &CMainFrame::onAbout);

    // Keys of the accelerator table that do nothing: Alt+Enter.
    auto* altEnter = new QAction(this);
    altEnter->setShortcut(QKeySequence(Qt::ALT | Qt::Key_Return));
    QWidget::addAction(altEnter);
}

void CMainFrame::createMenus()
{
    fileMenu = menuBar()->addMenu(QStringLiteral("&File"));
    fileMenu->addAction(action(QStringLiteral("commSettings")));
    fileMenu->addSeparator();
    fileMenu->addAction(action(QStringLiteral("saveSelectionAs")));
    fileMenu->addSeparator();
    fileMenu->addAction(action(QStringLiteral("print")));
    fileMenu->addAction(action(QStringLiteral("printPreview")));
    fileMenu->addAction(action(QStringLiteral("printSetup")));
    recentSeparator = fileMenu->addSeparator();
    for (int i = 0; i < RecentFiles::kMaxEntries; ++i) {
        auto* entry = new QAction(this);
        entry->setVisible(false);
        connect(entry, &QAction::triggered, this,
                [this, entry] { openDocumentFile(entry->data().toString()); });
        recentActions << entry;
        fileMenu->addAction(entry);
    }
    fileMenu->addSeparator();
    fileMenu->addAction(action(QStringLiteral("exit")));
    updateRecentMenu();

    QMenu* edit = menuBar()->addMenu(QStringLiteral("&Edit"));
    edit->addAction(action(QStringLiteral("copy")));
    edit->addAction(action(QStringLiteral("paste")));
    edit->addAction(action(QStringLiteral("pasteDateTime")));
    edit->addAction(action(QStringLiteral("selectAll")));
    edit->addSeparator();
    edit->addAction(action(QStringLiteral("find")));
    edit->addAction(action(QStringLiteral("findNext")));
    edit->addSeparator();
    edit->addAction(action(QStringLiteral("copyPasteOptions")));
    edit->addAction(action(QStringLiteral("clearScreen")));

    QMenu* viewMenu = menuBar()->addMenu(QStringLiteral("&View"));
    viewMenu->addAction(action(QStringLiteral("viewToolbar")));
    viewMenu->addAction(action(QStringLiteral("viewStatusBar")));
    viewMenu->addSeparator();
    viewMenu->addAction(action(QStringLiteral("viewTimestamps")));
    viewMenu->addAction(action(QStringLiteral("viewHex")));
    viewMenu->addAction(action(QStringLiteral("viewHexOnly")));

    QMenu* format = menuBar()->addMenu(QStringLiteral("F&ormat"));
    format->addAction(action(QStringLiteral("font")));
    format->addAction(action(QStringLiteral("wrapText")));
    format->addAction(action(QStringLiteral("backgroundColor")));

    QMenu* transfer = menuBar()->addMenu(QStringLiteral("&Transfer"));
    transfer->setObjectName(QStringLiteral("transferMenu"));
    transfer->addAction(action(QStringLiteral("load")));
    transfer->addAction(action(QStringLiteral("sendBreak")));
    transfer->addAction(action(QStringLiteral("sendSpecial")));
    transfer->addAction(action(QStringLiteral("sendBinary")));
    QMenu* capture = transfer->addMenu(QStringLiteral("Capture Text"));
    capture->setObjectName(QStringLiteral("captureMenu"));
    capture->addAction(action(QStringLiteral("captureStart")));
    capture->addAction(action(QStringLiteral("captureStop")));
    capture->addAction(action(QStringLiteral("capturePause")));
    capture->addAction(action(QStringLiteral("captureResume")));
    capture->addAction(action(QStringLiteral("captureOptions")));
    transfer->addAction(action(QStringLiteral("redoLastLoad")));

    QMenu* help = menuBar()->addMenu(QStringLiteral("&Help"));
    help->addAction(action(QStringLiteral("helpContents")));
    help->addSeparator();
    help->addAction(action(QStringLiteral("about")));
}

void CMainFrame::createToolBar()
{
    QToolBar* bar = addToolBar(QStringLiteral("Standard"));
    bar->setObjectName(QStringLiteral("toolBar"));
    bar->setMovable(true);
    bar->setFloatable(true);
    bar->setIconSize(QSize(20, 20));
    action(QStringLiteral("cut"))->setIcon(themedIcon("edit-cut", QStringLiteral("X")));
    action(QStringLiteral("copy"))->setIcon(themedIcon("edit-copy", QStringLiteral("C")));
    action(QStringLiteral("paste"))->setIcon(themedIcon("edit-paste", QStringLiteral("P")));
    action(QStringLiteral("print"))->setIcon(themedIcon("document-print", QStringLiteral("Pr")));
    action(QStringLiteral("about"))->setIcon(themedIcon("help-about", QStringLiteral("?")));
    bar->addAction(action(QStringLiteral("cut")));
    bar->addAction(action(QStringLiteral("copy")));
    bar->addAction(action(QStringLiteral("paste")));
    bar->addSeparator();
    bar->addAction(action(QStringLiteral("print")));
    bar->addSeparator();
    bar->addAction(action(QStringLiteral("about")));
    connect(action(QStringLiteral("viewToolbar")), &QAction::toggled, bar, &QWidget::setVisible);
    connect(bar, &QToolBar::visibilityChanged, action(QStringLiteral("viewToolbar")),
            &QAction::setChecked);
}

void CMainFrame::createStatusBar()
{
    QStatusBar* bar = statusBar();
    messagePane = new QLabel(kReady);
    messagePane->setObjectName(QStringLiteral("messagePane"));
    bar->addWidget(messagePane, 1);
    const auto pane = [bar](const QString& sample, const char* name) {
        auto* label = new QLabel;
        label->setObjectName(QString::fromLatin1(name));
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(sample) + 12);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        bar->addPermanentWidget(label);
        return label;
    };
    capsPane = pane(QStringLiteral("CAPS"), "capsPane");
    numPane = pane(QStringLiteral("NUM"), "numPane");
    scrollPane = pane(QStringLiteral("SCRL"), "scrollPane");
    capturePane = pane(QStringLiteral("CAPTURE OFF"), "capturePane");
    capturePane->setText(QStringLiteral("CAPTURE OFF"));
    bar->addPermanentWidget(new LineStatePanes(*doc, bar));
    connect(action(QStringLiteral("viewStatusBar")), &QAction::toggled, bar, &QWidget::setVisible);
}

void CMainFrame::createCapture()
{
    // Include Buffer Text: the whole text of the view, caret put back at the end.
    const auto bufferText = [this](QByteArray* bytes) {
        if (!terminal)
            return false;
        terminal->flushPending();
        const QString text = terminal->shownText();
        QTextCursor end = terminal->textCursor();
        end.movePosition(QTextCursor::End);
        terminal->setTextCursor(end);
        *bytes = shownTextBytes(text);
        return true;
    };
    captureControl = new CaptureController(store, *frameFeedback, this, bufferText);
    CaptureActions entries;
    entries.start = action(QStringLiteral("captureStart"));
    entries.stop = action(QStringLiteral("captureStop"));
    entries.pause = action(QStringLiteral("capturePause"));
    entries.resume = action(QStringLiteral("captureResume"));
    entries.options = action(QStringLiteral("captureOptions"));
    captureControl->bind(entries, capturePane);
}

void CMainFrame::updateIndicators()
{
    if (!capsPane)
        return;
    capsPane->setText(lockLedOn(QStringLiteral("capslock")) ? QStringLiteral("CAPS") : QString());
    numPane->setText(lockLedOn(QStringLiteral("numlock")) ? QStringLiteral("NUM") : QString());
    scrollPane->setText(lockLedOn(QStringLiteral("scrolllock")) ? QStringLiteral("SCRL")
                                                                : QString());
}

bool CMainFrame::eventFilter(QObject* watched, QEvent* event)
{
    // The lock keys can only change with a key or while another window has the focus.
    // Only a key event is a QKeyEvent: the activation is looked at by its type alone.
    bool lockMayHaveChanged = event->type() == QEvent::ApplicationActivate;
    if (event->type() == QEvent::KeyRelease) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        lockMayHaveChanged =
            key == Qt::Key_CapsLock || key == Qt::Key_NumLock || key == Qt::Key_ScrollLock;
    }
    if (lockMayHaveChanged)
        QTimer::singleShot(50, this, &CMainFrame::updateIndicators);
    return QMainWindow::eventFilter(watched, event);
}

QString CMainFrame::idleStatusText() const
{
    return terminal && terminal->bufferFull() ? QString::fromLatin1(kTextFullStatusText) : kReady;
}

QString CMainFrame::statusText() const
{
    return messagePane->text();
}

QString CMainFrame::indicatorText(int pane) const
{
    switch (pane) {
    case 0:
        return capsPane->text();
    case 1:
        return numPane->text();
    case 2:
        return scrollPane->text();
    default:
        return capturePane->text();
    }
}

void CMainFrame::updateTitle()
{
    const QString title = openedFile.isEmpty() ? doc->title() : QFileInfo(openedFile).fileName();
    setWindowTitle(QStringLiteral("%1 - %2").arg(title, kAppTitle));
}

QStringList CMainFrame::recentFiles() const
{
    return recent->entries();
}

void CMainFrame::addRecentFile(const QString& path)
{
    recent->add(QDir::cleanPath(QFileInfo(path).absoluteFilePath()));
    updateRecentMenu();
}

void CMainFrame::updateRecentMenu()
{
    const QStringList entries = recent->entries();
    for (int i = 0; i < recentActions.size(); ++i) {
        QAction* entry = recentActions.at(i);
        if (i < entries.size()) {
            entry->setText(
                QStringLiteral("&%1 %2").arg(i + 1).arg(QFileInfo(entries.at(i)).fileName()));
            entry->setData(entries.at(i));
            entry->setStatusTip(QStringLiteral("Open this document"));
            entry->setToolTip(entries.at(i));
            entry->setVisible(true);
        } else {
            entry->setVisible(false);
        }
    }
    recentSeparator->setVisible(!entries.isEmpty());
}

void CMainFrame::startDocument(const QString& fileName)
{
    if (fileName.isEmpty())
        doc->OnNewDocument();
    else
        openDocumentFile(fileName);
}

void CMainFrame::openDocumentFile(const QString& fileName)
{
    qCInfo(lcShell).noquote() << "open document"
                              << (fileName.isEmpty() ? QStringLiteral("(no file)") : fileName);
    doc->Connect();
    if (!fileName.isEmpty()) {
        openedFile = QDir::cleanPath(QFileInfo(fileName).absoluteFilePath());
        recent->add(openedFile);
        updateRecentMenu();
        updateTitle();
    }
    emit documentOpened(fileName);
    // The port settles before the load talks to the monitor.
    const QString file = openedFile.isEmpty() ? fileName : openedFile;
    QTimer::singleShot(kOpenDocumentPauseMs, this, [this, file] { emit loadRequested(file); });
}

void CMainFrame::handOverFromSecondStart(const QString& fileName)
{
    qCInfo(lcShell).noquote() << "second start handed over"
                              << (fileName.isEmpty() ? QStringLiteral("(no file)") : fileName);
    openDocumentFile(fileName);
    bringToFront();
}

void CMainFrame::bringToFront()
{
    if (isMinimized())
        setWindowState((windowState() & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
    // A dialog that is open stays on top of the window it belongs to.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        modal->raise();
        modal->activateWindow();
    }
}

void CMainFrame::captureWrite(const char* bytes, int count)
{
    captureControl->capture().write(bytes, count);
}

bool CMainFrame::capturing() const
{
    return captureControl->capture().capturing();
}

void CMainFrame::resizeEvent(QResizeEvent* event)
{
    QMainWindow::resizeEvent(event);
    storeSizeIfSettled();
}

void CMainFrame::moveEvent(QMoveEvent* event)
{
    QMainWindow::moveEvent(event);
    if (!sizeSettled)
        storeSizeIfSettled();
}

void CMainFrame::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    QTimer::singleShot(0, this, &CMainFrame::storeSizeIfSettled);
}

void CMainFrame::storeSizeIfSettled()
{
    if (!isVisible() || isMinimized() || isMaximized() || isFullScreen())
        return; // a minimised or maximised size is no size to come back to
    const QSize outer = frameGeometry().size();
    const QSize decoration = outer - size();
    if (!sizeSettled && !decoration.isNull()) {
        // The stored size is the outer one: once the desktop has put its frame around
        // the window, take the frame off the inner size, once.
        sizeSettled = true;
        if (size() == restoredSize) {
            resize(restoredSize - decoration);
            return;
        }
    }
    if (outer != storedWindowSize(store))
        storeWindowSize(store, outer);
}

void CMainFrame::closeEvent(QCloseEvent* event)
{
    if (findDialog)
        findDialog->close();
    event->accept();
}

void CMainFrame::dragEnterEvent(QDragEnterEvent* event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CMainFrame::dropEvent(QDropEvent* event)
{
    const QList<QUrl> urls = event->mimeData()->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            openDocumentFile(url.toLocalFile());
    }
    event->acceptProposedAction();
}

void CMainFrame::onCommSettings()
{
    auto* dialog = new CommSettingsDialog(doc->commDialogValues(), &store, *frameFeedback, this);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    // The bindings go with the settings: nothing is stored when the change is refused.
    connect(dialog, &QDialog::accepted, this,
            [this, dialog] { doc->OnCommSettingsOk(dialog->values(), dialog->bindingChanges()); });
    dialog->open();
}

void CMainFrame::onSaveSelectionAs()
{
    if (!terminal->hasSelection())
        return;
    QString path;
    if (saveFileNameProvider) {
        path = saveFileNameProvider();
    } else {
        QFileDialog dialog(this, QStringLiteral("Save Selection As"));
        dialog.setAcceptMode(QFileDialog::AcceptSave);
        dialog.setNameFilters(
            {QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
        dialog.setDefaultSuffix(QStringLiteral("txt"));
        if (dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty())
            path = dialog.selectedFiles().constFirst();
    }
    if (path.isEmpty())
        return;
    QString error;
    if (!saveSelectionTo(path, &error)) {
        feedback().message(QStringLiteral("Could not save the selection to %1:\r%2")
                               .arg(QDir::toNativeSeparators(path), error),
                           QStringLiteral("Error"), MessageIcon::Warning);
    }
}

bool CMainFrame::saveSelectionTo(const QString& path, QString* error)
{
    // Whole or not at all: a failed save leaves no half-written file.
    const QByteArray bytes = terminal->selectionBytesForSaving();
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        if (error)
            *error = file.errorString();
        return false;
    }
    return true;
}

QPrinter& CMainFrame::printer()
{
    if (!printerSetup) {
        printerSetup = std::make_unique<QPrinter>(QPrinter::HighResolution);
        // Half an inch on all four sides.
        printerSetup->setPageMargins(QMarginsF(0.5, 0.5, 0.5, 0.5), QPageLayout::Inch);
    }
    return *printerSetup;
}

void CMainFrame::onPrint()
{
    QPrintDialog dialog(&printer(), this);
    if (terminal->hasSelection())
        dialog.setOption(QAbstractPrintDialog::PrintSelection);
    if (dialog.exec() == QDialog::Accepted)
        terminal->printText(&printer());
}

void CMainFrame::onPrintPreview()
{
    // The view prints in black; the stored text colour stays as it is.
    QPrintPreviewDialog preview(&printer(), this);
    connect(&preview, &QPrintPreviewDialog::paintRequested, terminal, &CBrennockView::printText);
    preview.exec();
}

void CMainFrame::onPrintSetup()
{
    QPageSetupDialog dialog(&printer(), this);
    dialog.exec();
}

void CMainFrame::onCopyPasteOptions()
{
    CopyPasteOptionsDialog dialog(doc->charDelay(), doc->lfDelay(), doc->windowsEdit(),
                                  *frameFeedback, this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    doc->setCharDelay(dialog.charDelay());
    doc->setLfDelay(dialog.lfDelay());
    doc->setWindowsEdit(dialog.windowsEdit());
    const QString delay = QStringLiteral("Delay");
    const SettingsStore::Batch batch(store);
    store.writeInt(delay, QStringLiteral("DelayChar"), dialog.charDelay());
    store.writeInt(delay, QStringLiteral("DelayLF"), dialog.lfDelay());
    store.writeInt(delay, QStringLiteral("WindowsEdit"), dialog.windowsEdit());
}

void CMainFrame::onFind()
{
    if (!findDialog) {
        findDialog = new FindDialog(this);
        findDialog->setAttribute(Qt::WA_DeleteOnClose);
        connect(findDialog, &FindDialog::findNext, this, &CMainFrame::findAgain);
    }
    const QString selected = terminal->textCursor().selectedText();
    findDialog->setText(!selected.isEmpty() && !selected.contains(QChar::ParagraphSeparator)
                            ? selected
                            : lastFindText);
    findDialog->show();
    findDialog->raise();
    findDialog->activateWindow();
}

void CMainFrame::onFindNext()
{
    if (lastFindText.isEmpty()) {
        onFind();
        return;
    }
    findAgain(lastFindText, lastFindMatchCase, lastFindDown);
}

void CMainFrame::findAgain(const QString& text, bool matchCase, bool down)
{
    lastFindText = text;
    lastFindMatchCase = matchCase;
    lastFindDown = down;
    if (!terminal->findText(text, matchCase, down)) {
        frameFeedback->beep();
        statusBar()->showMessage(QStringLiteral("Cannot find \"%1\"").arg(text), 5000);
    }
}

void CMainFrame::onFont()
{
    FontColorDialog dialog(terminal->font(), terminal->textColor(), this);
    if (dialog.exec() == QDialog::Accepted)
        terminal->setTextFont(dialog.selectedFont(), dialog.selectedColor());
}

void CMainFrame::setHexViewMode(int mode)
{
    if (mode != 1 && mode != 2)
        mode = 0; // a damaged value shows the text alone, as before
    hexView->setVisible(mode != 0);
    terminal->setVisible(mode != 2);
    action(QStringLiteral("viewHex"))->setChecked(mode == 1);
    action(QStringLiteral("viewHexOnly"))->setChecked(mode == 2);
    if (mode != 0)
        hexView->refresh();
    if (store.readInt(QStringLiteral("Text"), QStringLiteral("Hex View"), 0) != mode)
        store.writeInt(QStringLiteral("Text"), QStringLiteral("Hex View"), mode);
}

int CMainFrame::hexViewMode() const
{
    return hexView->isHidden() ? 0 : terminal->isHidden() ? 2 : 1;
}

void CMainFrame::onWrapText()
{
    terminal->setWrapText(!terminal->wrapText());
    action(QStringLiteral("wrapText"))->setChecked(terminal->wrapText());
}

void CMainFrame::onPasteDateTime()
{
    datePaster->run(this, *doc, store);
}

void CMainFrame::onSendSpecialCharacters()
{
    SendSpecialCharsDialog dialog(this);
    if (dialog.exec() != QDialog::Accepted)
        return;
    // By length: a NUL byte is sent like any other.
    const QByteArray bytes = dialog.bytes();
    doc->SendBlock(bytes.constData(), bytes.size());
}

void CMainFrame::onBackgroundColor()
{
    const QColor chosen =
        QColorDialog::getColor(terminal->backgroundColor(), this, QStringLiteral("Color"));
    if (chosen.isValid())
        terminal->setBackgroundColor(chosen);
}

QString CMainFrame::helpFilePath() const
{
    const QString appDir = QCoreApplication::applicationDirPath();
    const QStringList candidates = {
        appDir + QStringLiteral("/help/brennock-help.html"),
        appDir + QStringLiteral("/../share/brennock/help/brennock-help.html"),
    };
    for (const QString& candidate : candidates) {
        if (QFileInfo::exists(candidate))
            return QDir::cleanPath(candidate);
    }
    // Not installed beside the program: the copy built into it, written out once.
    const QString cache = QStandardPaths::writableLocation(QStandardPaths::CacheLocation);
    const QString target = cache + QStringLiteral("/help/brennock-help.html");
    QDir().mkpath(QFileInfo(target).path());
    QFile::remove(target);
    if (QFile::copy(QStringLiteral(":/brennock/help/brennock-help.html"), target)) {
        QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner);
        return target;
    }
    return QString();
}

void CMainFrame::onHelpContents()
{
    const QString path = helpFilePath();
    if (path.isEmpty() || !QDesktopServices::openUrl(QUrl::fromLocalFile(path))) {
        feedback().message(QStringLiteral("The help file could not be opened."), kAppTitle,
                           MessageIcon::Warning);
    }
}

void CMainFrame::onAbout()
{
    AboutDialog dialog(this);
    dialog.exec();
}

UserFeedback& CMainFrame::feedback()
{
    return *frameFeedback;
}
