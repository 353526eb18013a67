// CBrennockView: the terminal window.
//
// Received bytes arrive as portData() from the document on the UI thread, as the
// comm thread's hand-over delivered them (it queues reads and waits only while its
// bounded queue is full). They are translated at once (TerminalTranslator) and every run goes to the
// capture writer straight away, exact and per delivery. What the widget shows is
// coalesced: the runs are decoded (code page 437) into a pending batch that is
// inserted in one piece when the RefreshPacer says, or at once when it grows large,
// because the widget's cost is per insert rather than per byte. A BS takes its character off the
// pending batch first, and off the shown text only when the batch is empty; those are
// counted and taken off in one edit at the next flush.
//
// Arriving text drops the user's selection and puts the caret after the last
// character, as the instrument's terminal always did; the view then follows the new
// text. The text stops growing at 16,777,215 characters (received text beyond that is
// not shown; it is still captured, and the frame says so in its status bar) until
// "Clear Screen and Buffer".
//
// Keys: a typed character goes to the document's SendChar and is never inserted by
// the widget itself; Ctrl+C and Ctrl+V copy and paste in editing-keys mode 1 and are
// sent as 3 and 22 in mode 0; Ctrl, then Shift, flips the mode. Esc cancels a paste
// that is still going out (and is sent as 27 otherwise). F4 and F8 act when the
// key is released.
//
// The view only asks: BREAK and saving the selection are signals that the frame
// passes on to the document and to its file handling.
#pragma once

#include "BlockLayoutReleaser.h"
#include "LineStamper.h"
#include "PortDataSink.h"
#include "RefreshPacer.h"
#include "TerminalTranslator.h"

#include <QColor>
#include <QPlainTextEdit>
#include <QString>

#include <functional>

class CBrennockDoc;
class QPrinter;

// Where each flushed run of the terminal goes besides the screen: the frame's capture.
class CaptureWriter
{
public:
    virtual ~CaptureWriter() = default;
    virtual void captureWrite(const char* bytes, int count) = 0;
};

class CBrennockView : public QPlainTextEdit, public PortDataSink, private TerminalOutput
{
    Q_OBJECT

public:
    static constexpr int kMaxTextLength = 0xFFFFFF; // 16,777,215 characters
    static constexpr int kFlushChars = 256 * 1024;  // a batch this large is shown at once
    // A line longer than this is shown in pieces of this many characters, each a
    // block of its own that copy, save and BS treat as the same line.
    static constexpr int kSoftLineChars = 4096;
    static constexpr int kSoftBlock = 1; // block state of such a piece
    // Lines go into a block together, as line separators, until it holds this many
    // characters (see flushPending).
    static constexpr int kPackChars = 4096;

    CBrennockView(CBrennockDoc& doc, CaptureWriter* capture, QWidget* parent = nullptr);
    ~CBrennockView() override;

    // PortDataSink
    void portData(const char* bytes, int count) override;
    void clearText() override;
    void echoDue(int ms) override { pacer.hurry(ms); }

    // Applies the stored appearance: font, text colour, wrap, background colour. The
    // editing-keys mode is the document's.
    void applyStoredAppearance();

    // Shows the pending batch now.
    void flushPending();
    // The shown text plus the pending batch, in characters.
    int textLength() const;
    bool hasSelection() const;
    QString selectionForSaving() const; // CR LF line breaks
    // The bytes that were received for the selected characters, line breaks as CR LF.
    QByteArray selectionBytesForSaving() const;
    // The text as received, line breaks as LF, pending text included.
    QString shownText() const;

    // The most characters the text holds; kMaxTextLength but for tests.
    void setTextLimit(int limit) { textLimit = limit; }

    bool wrapText() const { return wrapping; }
    // Each line starts with the PC's time of its first byte ("Text" "Timestamps").
    bool timestamps() const { return stamping; }
    void setTimestamps(bool on); // applies to the lines that start from now; stores
    void setStampClock(LineStamper::Clock clock) { stampClock = std::move(clock); } // tests
    bool bufferFull() const { return full; }
    QColor textColor() const { return foreground; }
    QColor backgroundColor() const { return background; }

    // Edit commands.
    void pasteFromClipboard(); // paced, through SendBlock
    void copySelection();
    void cutSelection();
    void undoLastEdit();
    void selectEverything();
    void clearScreenAndBuffer();
    // Finds text from the caret in the given direction, wrapping once round the text.
    bool findText(const QString& text, bool matchCase, bool down);

    // File and format commands.
    void setWrapText(bool wrap);                              // applies and stores
    void setTextFont(const QFont& font, const QColor& color); // applies and stores
    void setBackgroundColor(const QColor& color);             // applies and stores
    // Prints the text with black characters on the printer's page (0.5-inch margins are
    // the printer's).
    void printText(QPrinter* printer);

signals:
    void breakRequested(); // F8 released
    void selectionPresent(bool present);
    void saveSelectionRequested(); // F4 released
    void findNextRequested();
    void loadKeyReleased(int key);     // F5, F6, F7: the load commands take these
    void bufferFilled();               // the text became full
    void bufferFullChanged(bool full); // full, or room again (clear, cut, Delete)
    void filesDropped(const QStringList& paths);

protected:
    void keyPressEvent(QKeyEvent* event) override;
    void keyReleaseEvent(QKeyEvent* event) override;
    void inputMethodEvent(QInputMethodEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool canInsertFromMimeData(const QMimeData* source) const override;
    QMimeData* createMimeDataFromSelection() const override;
    void insertFromMimeData(const QMimeData* source) override;
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    bool event(QEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // TerminalOutput
    void run(const char* bytes, int count) override;
    void backspace() override;
    void bell() override;

    void eraseFromEnd(int count);
    int currentLineChars() const;
    QString textBetween(int start, int end) const;
    bool typedBytes(const QKeyEvent* event, QByteArray* bytes) const;
    void switchEditingKeys();
    void rememberRemoval(int position, const QString& text);
    void applyColors();
    void setFull(bool nowFull);

    CBrennockDoc& doc;
    CaptureWriter* capture;
    TerminalTranslator translator;
    BlockLayoutReleaser layouts{*document()};
    QString pending;
    RefreshPacer pacer{[this] { flushPending(); }};
    int lineChars = 0; // characters since the last line break
    bool stamping = false;
    bool atLineStart = true; // the next byte starts a line
    int stampEnd = -1;       // the pending text ends in a stamp here
    LineStamper::Clock stampClock;
    int eraseShown = 0; // BS still to take off the shown text, at the next flush
    bool ctrlHeld = false;
    bool ctrlDown = false;
    bool wrapping = true;
    bool full = false;
    int textLimit = kMaxTextLength;
    QColor foreground = Qt::white;
    QColor background = Qt::blue;

    // One level of undo for the user's own removals (cut, Delete); received text is not
    // undoable.
    int undoPosition = -1;
    QString undoText;
};
