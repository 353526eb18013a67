#include "BrennockView.h"

#include "BrennockDoc.h"
#include "Cp437.h"
#include "SettingsStore.h"
#include "ShellDefaults.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QClipboard>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QPrinter>
#include <QScrollBar>
#include <QSignalBlocker>
#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>

namespace
{

// Marks a soft break in the pending text; a noncharacter, so no received byte maps to it.
const QChar kSoftBreak(0xFDD0);

const QString kFont = QStringLiteral("Font");
const QString kText = QStringLiteral("Text");
const QString kBackground = QStringLiteral("Background");
const QString kColor = QStringLiteral("Color");
const QString kAppTitle = QStringLiteral("Brennock");

QColor colorOfRef(int colorRef)
{
    const Rgb rgb = rgbOfColorRef(colorRef);
    return QColor(rgb.red, rgb.green, rgb.blue);
}

int refOfColor(const QColor& color)
{
    return colorRefOf(color.red(), color.green(), color.blue());
}

QStringList localFiles(const QMimeData* data)
{
    QStringList paths;
    if (!data || !data->hasUrls())
        return paths;
    const QList<QUrl> urls = data->urls();
    for (const QUrl& url : urls) {
        if (url.isLocalFile())
            paths << url.toLocalFile();
    }
    return paths;
}

} // namespace

CBrennockView::CBrennockView(CBrennockDoc& doc, CaptureWriter* capture, QWidget* parent)
    : QPlainTextEdit(parent), doc(doc), capture(capture),
      stampClock([] { return QDateTime::currentDateTime(); })
{
    // Received text is not undoable, and an undo stack over 16 MB of text would only
    // cost memory; the user's own removals have their own one-level undo.
    document()->setUndoRedoEnabled(false);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setAcceptDrops(true);
    viewport()->setAcceptDrops(true);
    setTabChangesFocus(false);
    setCenterOnScroll(false);

    connect(this, &QPlainTextEdit::copyAvailable, this, &CBrennockView::selectionPresent);
    doc.addView(this);
}

CBrennockView::~CBrennockView()
{
    doc.removeView(this);
}

void CBrennockView::portData(const char* bytes, int count)
{
    translator.deliver(bytes, count, *this);
}

void CBrennockView::run(const char* bytes, int count)
{
    if (capture)
        capture->captureWrite(bytes, count);

    QString stamp; // one clock reading per run: its lines arrived together
    for (int i = 0; i < count; ++i) {
        const unsigned char byte = static_cast<unsigned char>(bytes[i]);
        if (atLineStart && stamping) {
            if (stamp.isEmpty())
                stamp = lineStamp(stampClock());
            pending.append(stamp);
            lineChars += stamp.size();
            stampEnd = pending.size();
        }
        atLineStart = byte == '\n';
        if (byte == '\r')
            continue; // every CR of a run is part of a CR LF: one break
        if (byte == '\n') {
            pending.append(QLatin1Char('\n'));
            lineChars = 0;
            continue;
        }
        const QChar shown = cp437::displayChar(byte);
        if (shown.isNull())
            continue; // NUL is not shown; the rest of the run is
        if (lineChars >= kSoftLineChars) {
            pending.append(kSoftBreak);
            lineChars = 0;
        }
        pending.append(shown);
        ++lineChars;
    }
    if (pending.size() >= kFlushChars)
        flushPending();
    else if (!pending.isEmpty())
        pacer.due();
}

void CBrennockView::backspace()
{
    // A stamp alone on its line goes with the break before it: it was never a character.
    if (stamping && stampEnd == pending.size() && stampEnd >= kLineStampChars) {
        pending.chop(kLineStampChars);
        lineChars = 0;
        stampEnd = -1;
    }
    atLineStart = false;
    if (pending.isEmpty()) {
        // Taken off the shown text at the next flush, all at once: one edit of the
        // widget per flush costs the same whatever the line's length.
        if (eraseShown < document()->characterCount() - 1) {
            ++eraseShown;
            lineChars = qMax(0, lineChars - 1);
            pacer.due();
        }
        return;
    }
    const QChar removed = pending.at(pending.size() - 1);
    pending.chop(1);
    if (!pending.isEmpty() && pending.at(pending.size() - 1) == kSoftBreak)
        pending.chop(1); // a soft break at the very end is no break at all
    if (removed == QLatin1Char('\n'))
        lineChars = currentLineChars();
    else
        lineChars = qMax(0, lineChars - 1);
}

void CBrennockView::bell()
{
    doc.feedback().beep();
}

int CBrennockView::currentLineChars() const
{
    int n = 0;
    for (int i = pending.size() - 1; i >= 0; --i) {
        const QChar ch = pending.at(i);
        if (ch == QLatin1Char('\n') || ch == kSoftBreak)
            return n;
        ++n;
    }
    const QString last = document()->lastBlock().text();
    return n + last.size() - (last.lastIndexOf(QChar::LineSeparator) + 1);
}

void CBrennockView::eraseFromEnd(int count)
{
    if (count <= 0 || document()->isEmpty())
        return;
    // A line break (stored as one CR LF pair) counts as one character: erasing it joins
    // the last line to the one before. A soft break is no character at all.
    QTextBlock block = document()->lastBlock();
    int left = count;
    int cut = 0;
    while (block.isValid()) {
        const int chars = block.length() - 1;
        if (left <= chars) {
            cut = block.position() + chars - left;
            break;
        }
        left -= chars;
        const QTextBlock previous = block.previous();
        if (!previous.isValid())
            break; // everything goes
        if (block.userState() != kSoftBlock && --left == 0) {
            cut = block.position() - 1;
            break;
        }
        block = previous;
    }
    QTextCursor cursor(document());
    cursor.setPosition(cut);
    cursor.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    cursor.removeSelectedText();
    const QTextBlock last = document()->lastBlock();
    if (last.userState() == kSoftBlock && last.length() == 1 && last.previous().isValid())
        cursor.deletePreviousChar(); // a soft break at the very end is no break at all
}

QString CBrennockView::textBetween(int start, int end) const
{
    QString text;
    if (end <= start)
        return text;
    QTextBlock block = document()->findBlock(start);
    bool first = true;
    while (block.isValid() && block.position() <= end) { // a break just before end counts
        if (!first && block.userState() != kSoftBlock)
            text.append(QLatin1Char('\n'));
        first = false;
        const int from = qMax(start, block.position()) - block.position();
        const int to = qMin(end, block.position() + block.length() - 1) - block.position();
        if (to > from) {
            QString piece = block.text().mid(from, to - from);
            piece.replace(QChar::LineSeparator, QLatin1Char('\n'));
            text.append(piece);
        }
        block = block.next();
    }
    return text;
}

QString CBrennockView::shownText() const
{
    QString text = textBetween(0, document()->characterCount() - 1);
    text.chop(eraseShown);
    QString rest = pending;
    rest.remove(kSoftBreak);
    return text + rest;
}

QMimeData* CBrennockView::createMimeDataFromSelection() const
{
    auto* data = new QMimeData;
    const QTextCursor cursor = textCursor();
    data->setText(textBetween(cursor.selectionStart(), cursor.selectionEnd()));
    return data;
}

int CBrennockView::textLength() const
{
    return document()->characterCount() - 1 - eraseShown + pending.size();
}

void CBrennockView::flushPending()
{
    if (eraseShown == 0 && pending.isEmpty())
        return; // nothing is due either
    pacer.shown();
    if (eraseShown > 0) {
        eraseFromEnd(eraseShown);
        eraseShown = 0;
        if (pending.isEmpty())
            lineChars = currentLineChars();
        setFull(textLength() >= textLimit);
    }
    if (pending.isEmpty())
        return;
    QString text;
    text.swap(pending);
    stampEnd = -1;

    const int shown = document()->characterCount() - 1;
    const int room = textLimit - shown;
    if (room <= 0) {
        setFull(true);
        return;
    }
    if (text.size() > room) {
        text.truncate(room);
        if (text.at(room - 1).isHighSurrogate())
            text.chop(1);
    }

    const QTextBlock taking = document()->lastBlock();
    layouts.noteLaidOut(taking.blockNumber()); // it takes the text
    // The widget repaints its whole view for an insert that adds a line, though all
    // but the new lines only move up, which the window system copies: it is told of
    // the new lines alone, below, and of the new size of the text.
    QAbstractTextDocumentLayout* layout = document()->documentLayout();
    const QSignalBlocker quiet(layout);
    // Long stretches without a line break go into blocks of their own (soft breaks),
    // since the widget lays out a whole line again on every insert into it.
    QTextCursor cursor(document());
    cursor.movePosition(QTextCursor::End);
    cursor.beginEditBlock();
    // Line breaks go in as line separators inside a block, and a block of its own only
    // starts once the last one holds kPackChars: the widget's cost is per block, about
    // 190 bytes each, so a block per line would let a flood of short or empty lines
    // take gigabytes. A break that ends the batch is a block's end all the same: the
    // widget lays out the whole block that takes text, so a trickle of lines would
    // otherwise lay out up to kPackChars characters again on every update.
    int blockChars = document()->lastBlock().length() - 1;
    int from = 0;
    while (from <= text.size()) {
        int soft = text.indexOf(kSoftBreak, from);
        if (soft < 0)
            soft = text.size();
        if (soft > from) {
            QString piece = text.mid(from, soft - from);
            const int lastOfText = soft == text.size() ? piece.size() - 1 : -1;
            for (int i = 0; i < piece.size(); ++i) {
                QChar& ch = piece.data()[i];
                if (ch == QLatin1Char('\n') && blockChars < kPackChars && i != lastOfText)
                    ch = QChar::LineSeparator;
                blockChars = ch == QLatin1Char('\n') ? 0 : blockChars + 1;
            }
            cursor.insertText(piece);
        }
        if (soft < text.size()) {
            cursor.insertBlock();
            cursor.block().setUserState(kSoftBlock);
            blockChars = 0;
        }
        from = soft + 1;
    }
    cursor.endEditBlock();
    layout->blockSignals(false);
    emit layout->documentSizeChanged(layout->documentSize());

    // Arriving text goes after the last character: a selection the user made is
    // dropped and the caret moves to the end, where the view follows it.
    QTextCursor caret = textCursor();
    caret.movePosition(QTextCursor::End);
    setTextCursor(caret);
    ensureCursorVisible();
    // The caret's line may be the last of a block of several lines, which
    // ensureCursorVisible can leave a line short of the bottom with some fonts.
    verticalScrollBar()->setValue(verticalScrollBar()->maximum());
    // From the top of the block that took text (or of the view) down.
    const int changedTop =
        qMax(0, int(blockBoundingGeometry(taking).translated(contentOffset()).top()));
    viewport()->update(0, changedTop, viewport()->width(), viewport()->height() - changedTop);
    // Only now: the widget lays out the blocks at the top of its view whenever the
    // text changes, and the view has just moved past the blocks given back here.
    if (layouts.releaseBefore(firstVisibleBlock().blockNumber()) > 0)
        verticalScrollBar()->setValue(verticalScrollBar()->maximum());

    if (document()->characterCount() - 1 >= textLimit)
        setFull(true);
}

void CBrennockView::paintEvent(QPaintEvent* event)
{
    QPlainTextEdit::paintEvent(event);
    layouts.noteLaidOut(firstVisibleBlock().blockNumber());
}

void CBrennockView::setFull(bool nowFull)
{
    if (nowFull == full)
        return;
    full = nowFull;
    if (full)
        emit bufferFilled();
    emit bufferFullChanged(full);
}

void CBrennockView::clearText()
{
    pending.clear();
    eraseShown = 0;
    pacer.shown();
    clear();
    layouts.forgetAll();
    lineChars = 0;
    atLineStart = true;
    stampEnd = -1;
    undoPosition = -1;
    undoText.clear();
    setFull(false);
}

void CBrennockView::applyStoredAppearance()
{
    SettingsStore* settings = doc.settings();
    QString face = QStringLiteral("Courier");
    int size = 100, bold = 0, italic = 0, underline = 0, strikeout = 0, color = 0;
    int wrap = 1, back = 0xFFFFFF;
    if (settings) {
        face = settings->readText(kFont, QStringLiteral("Face Name"), face);
        size = clampedFontTenths(settings->readInt(kFont, QStringLiteral("Size"), 100));
        bold = settings->readInt(kFont, QStringLiteral("Bold"), 0);
        italic = settings->readInt(kFont, QStringLiteral("Italic"), 0);
        underline = settings->readInt(kFont, QStringLiteral("Underline"), 0);
        strikeout = settings->readInt(kFont, QStringLiteral("Strikeout"), 0);
        color = settings->readInt(kFont, kColor, 0);
        wrap = settings->readInt(kText, QStringLiteral("Wrap"), 1);
        stamping = settings->readInt(kText, QStringLiteral("Timestamps"), 0) == 1;
        back = settings->readInt(kBackground, kColor, 0xFFFFFF);
    }
    QFont font(face);
    font.setStyleHint(QFont::TypeWriter);
    font.setFixedPitch(true);
    font.setPointSizeF(size / 10.0);
    font.setBold(bold != 0);
    font.setItalic(italic != 0);
    font.setUnderline(underline != 0);
    font.setStrikeOut(strikeout != 0);
    setFont(font);
    foreground = colorOfRef(color);
    background = colorOfRef(back);
    applyColors();
    wrapping = wrap != 0;
    setLineWrapMode(wrapping ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
}

void CBrennockView::applyColors()
{
    QPalette pal = palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled}) {
        pal.setColor(group, QPalette::Text, foreground);
        pal.setColor(group, QPalette::Base, background);
    }
    setPalette(pal);
}

void CBrennockView::setWrapText(bool wrap)
{
    wrapping = wrap;
    setLineWrapMode(wrap ? QPlainTextEdit::WidgetWidth : QPlainTextEdit::NoWrap);
    if (SettingsStore* settings = doc.settings())
        settings->writeInt(kText, QStringLiteral("Wrap"), wrap ? 1 : 0);
}

void CBrennockView::setTimestamps(bool on)
{
    stamping = on;
    if (SettingsStore* settings = doc.settings())
        settings->writeInt(kText, QStringLiteral("Timestamps"), on ? 1 : 0);
}

void CBrennockView::setTextFont(const QFont& chosen, const QColor& color)
{
    if (SettingsStore* settings = doc.settings()) {
        const SettingsStore::Batch batch(*settings);
        settings->writeText(kFont, QStringLiteral("Face Name"), chosen.family());
        settings->writeInt(kFont, QStringLiteral("Size"), qRound(chosen.pointSizeF() * 10));
        settings->writeInt(kFont, QStringLiteral("Bold"), chosen.weight() >= QFont::Bold ? 1 : 0);
        settings->writeInt(kFont, QStringLiteral("Italic"), chosen.italic() ? 1 : 0);
        settings->writeInt(kFont, QStringLiteral("Underline"), chosen.underline() ? 1 : 0);
        settings->writeInt(kFont, QStringLiteral("Strikeout"), chosen.strikeOut() ? 1 : 0);
        settings->writeInt(kFont, kColor, refOfColor(color));
    }
    QFont font = chosen;
    font.setStyleHint(QFont::TypeWriter);
    setFont(font);
    foreground = color;
    applyColors();
}

void CBrennockView::setBackgroundColor(const QColor& color)
{
    if (SettingsStore* settings = doc.settings())
        settings->writeInt(kBackground, kColor, refOfColor(color));
    background = color;
    applyColors();
}

bool CBrennockView::hasSelection() const
{
    return textCursor().hasSelection();
}

QString CBrennockView::selectionForSaving() const
{
    const QTextCursor cursor = textCursor();
    QString text = textBetween(cursor.selectionStart(), cursor.selectionEnd());
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

QByteArray CBrennockView::selectionBytesForSaving() const
{
    const QString text = selectionForSaving();
    QByteArray bytes;
    bytes.reserve(text.size());
    for (int i = 0; i < text.size(); ++i) {
        unsigned char byte = 0;
        const QChar ch = text.at(i);
        if (ch == QLatin1Char('\r') || ch == QLatin1Char('\n'))
            bytes.append(static_cast<char>(ch.unicode()));
        else
            bytes.append(cp437::byteForDisplayChar(ch, &byte) ? static_cast<char>(byte) : '?');
    }
    return bytes;
}

void CBrennockView::pasteFromClipboard()
{
    const QString text = QApplication::clipboard()->text();
    if (text.isEmpty())
        return;
    // Clipboard text from other programs ends its lines in LF alone; the console
    // expects the CR LF that OEM text carries.
    QString lines = text;
    lines.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    lines.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    const QByteArray bytes = cp437::fromUnicode(lines);
    doc.SendBlock(bytes.constData(), bytes.size());
}

void CBrennockView::copySelection()
{
    flushPending();
    copy();
}

void CBrennockView::cutSelection()
{
    flushPending();
    QTextCursor cursor = textCursor();
    if (!cursor.hasSelection())
        return;
    rememberRemoval(cursor.selectionStart(),
                    textBetween(cursor.selectionStart(), cursor.selectionEnd()));
    copy();
    cursor.removeSelectedText();
    setTextCursor(cursor);
    setFull(textLength() >= textLimit);
}

void CBrennockView::rememberRemoval(int position, const QString& text)
{
    layouts.forgetAll(); // the blocks after the removal are numbered anew
    undoPosition = position;
    undoText = text;
    undoText.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
    undoText.replace(QChar::LineSeparator, QLatin1Char('\n'));
}

void CBrennockView::undoLastEdit()
{
    if (undoPosition < 0)
        return;
    flushPending();
    const int length = document()->characterCount() - 1;
    if (undoPosition > length) {
        undoPosition = -1; // the text it belonged to is gone
        return;
    }
    QTextCursor cursor(document());
    cursor.setPosition(undoPosition);
    cursor.insertText(undoText);
    undoPosition = -1;
    undoText.clear();
}

void CBrennockView::selectEverything()
{
    flushPending();
    selectAll();
}

void CBrennockView::clearScreenAndBuffer()
{
    clearText();
}

bool CBrennockView::findText(const QString& text, bool matchCase, bool down)
{
    if (text.isEmpty())
        return false;
    flushPending();
    QTextDocument::FindFlags flags;
    if (matchCase)
        flags |= QTextDocument::FindCaseSensitively;
    if (!down)
        flags |= QTextDocument::FindBackward;
    QTextCursor found = document()->find(text, textCursor(), flags);
    if (found.isNull()) {
        QTextCursor from(document());
        if (!down)
            from.movePosition(QTextCursor::End);
        found = document()->find(text, from, flags);
    }
    if (found.isNull())
        return false;
    setTextCursor(found);
    ensureCursorVisible();
    return true;
}

void CBrennockView::printText(QPrinter* printer)
{
    flushPending();
    std::unique_ptr<QTextDocument> copy;
    if (printer->printRange() == QPrinter::Selection && hasSelection()) {
        QString selected = textCursor().selectedText();
        selected.replace(QChar::ParagraphSeparator, QLatin1Char('\n'));
        selected.replace(QChar::LineSeparator, QLatin1Char('\n'));
        copy = std::make_unique<QTextDocument>();
        copy->setPlainText(selected);
    } else {
        copy.reset(document()->clone());
    }
    copy->setDefaultFont(font());
    copy->setDocumentMargin(0);
    // Lay the copy out on the printer's page so that its own margins are the only ones.
    const QSizeF pagePoints = printer->pageLayout().paintRect(QPageLayout::Point).size();
    const qreal screenDpi = logicalDpiX();
    copy->setPageSize(pagePoints * screenDpi / 72.0);
    QTextCursor all(copy.get());
    all.select(QTextCursor::Document);
    QTextCharFormat black;
    black.setForeground(Qt::black);
    black.setFont(font());
    all.mergeCharFormat(black);
    copy->print(printer);
}

bool CBrennockView::typedBytes(const QKeyEvent* event, QByteArray* bytes) const
{
    const int key = event->key();
    const Qt::KeyboardModifiers mods = event->modifiers();
    const bool ctrl = mods & Qt::ControlModifier;
    const bool alt = mods & Qt::AltModifier;
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
        *bytes = QByteArray(1, '\r');
        return true;
    case Qt::Key_Backspace:
        *bytes = QByteArray(1, '\b');
        return true;
    case Qt::Key_Tab:
        *bytes = QByteArray(1, '\t');
        return true;
    case Qt::Key_Escape:
        *bytes = QByteArray(1, '\x1b');
        return true;
    case Qt::Key_Delete:
        return false; // the control's own handling
    default:
        break;
    }
    if (ctrl && !alt) {
        if (key >= Qt::Key_A && key <= Qt::Key_Z) {
            *bytes = QByteArray(1, static_cast<char>(key - Qt::Key_A + 1));
            return true;
        }
        int code = -1;
        switch (key) {
        case Qt::Key_At:
        case Qt::Key_2:
        case Qt::Key_Space:
            code = 0;
            break;
        case Qt::Key_BracketLeft:
            code = 27;
            break;
        case Qt::Key_Backslash:
            code = 28;
            break;
        case Qt::Key_BracketRight:
            code = 29;
            break;
        case Qt::Key_AsciiCircum:
        case Qt::Key_6:
            code = 30;
            break;
        case Qt::Key_Underscore:
        case Qt::Key_Minus:
            code = 31;
            break;
        default:
            break;
        }
        if (code >= 0) {
            *bytes = QByteArray(1, static_cast<char>(code));
            return true;
        }
        return false;
    }
    if (alt && !ctrl)
        return false; // Alt keys belong to the menus
    const QString text = event->text();
    if (text.isEmpty() || text.at(0) == QChar(0x7F))
        return false;
    *bytes = cp437::fromUnicode(text);
    return !bytes->isEmpty();
}

void CBrennockView::switchEditingKeys()
{
    ctrlHeld = false;
    const int mode = doc.windowsEdit() ? 0 : 1;
    doc.setWindowsEdit(mode); // not stored: the options dialog stores it
    doc.feedback().message(mode == 1 ? QStringLiteral("Perform Standard Windows Editing Functions!")
                                     : QStringLiteral("Transmit Control Characters!"),
                           kAppTitle, MessageIcon::Information);
    // The message box took the key releases; start afresh.
    ctrlDown = false;
}

void CBrennockView::focusOutEvent(QFocusEvent* event)
{
    // Keys released elsewhere never come here: forget what was held.
    ctrlHeld = false;
    ctrlDown = false;
    QPlainTextEdit::focusOutEvent(event);
}

void CBrennockView::keyPressEvent(QKeyEvent* event)
{
    const int key = event->key();
    const Qt::KeyboardModifiers mods = event->modifiers();

    if (key == Qt::Key_Control) {
        // Only the first press counts: a held Ctrl repeats, and the switch consumes it.
        if (!ctrlDown && !event->isAutoRepeat())
            ctrlHeld = true;
        ctrlDown = true;
        event->accept();
        return;
    }
    if (key == Qt::Key_Shift) {
        if (ctrlHeld)
            switchEditingKeys();
        event->accept();
        return;
    }
    if (key == Qt::Key_Backspace && (mods & Qt::AltModifier)) {
        undoLastEdit();
        return;
    }
    if (key == Qt::Key_Delete && (mods & Qt::ShiftModifier)) {
        cutSelection();
        return;
    }
    if (key == Qt::Key_Insert && (mods & Qt::ControlModifier)) {
        copySelection();
        return;
    }
    if (key == Qt::Key_Insert && (mods & Qt::ShiftModifier))
        return; // the control's own paste stays unused
    const bool editingKeys = doc.windowsEdit() == 1;
    const bool plainCtrl = (mods & Qt::ControlModifier) && !(mods & Qt::AltModifier);
    if (plainCtrl && key == Qt::Key_V && editingKeys) {
        pasteFromClipboard();
        return;
    }
    if (plainCtrl && key == Qt::Key_C && editingKeys) {
        copySelection();
        return;
    }
    if (key == Qt::Key_F3 || key == Qt::Key_F4 || key == Qt::Key_F5 || key == Qt::Key_F6 ||
        key == Qt::Key_F7 || key == Qt::Key_F8) {
        event->accept(); // they act on release
        return;
    }

    if (key == Qt::Key_Escape && mods == Qt::NoModifier && doc.sending()) {
        doc.cancelSending(); // Esc stops a paste; otherwise it goes to the instrument
        event->accept();
        return;
    }
    QByteArray bytes;
    if (typedBytes(event, &bytes)) {
        const int repeats = qMax(1, event->count());
        for (int r = 0; r < repeats; ++r) {
            for (char byte : qAsConst(bytes))
                doc.SendChar(static_cast<unsigned char>(byte));
        }
        event->accept();
        return;
    }
    if (key == Qt::Key_Delete) {
        flushPending();
        QTextCursor cursor = textCursor();
        if (cursor.hasSelection()) {
            rememberRemoval(cursor.selectionStart(),
                            textBetween(cursor.selectionStart(), cursor.selectionEnd()));
        } else if (!cursor.atEnd()) {
            QTextCursor next = cursor;
            next.movePosition(QTextCursor::NextCharacter, QTextCursor::KeepAnchor);
            rememberRemoval(cursor.position(), next.selectedText());
        }
        QPlainTextEdit::keyPressEvent(event);
        setFull(textLength() >= textLimit);
        return;
    }
    if (!event->text().isEmpty() && !(mods & (Qt::ControlModifier | Qt::AltModifier))) {
        event->accept(); // nothing typed is ever inserted here
        return;
    }
    if (mods & Qt::AltModifier) {
        event->ignore();
        return;
    }
    QPlainTextEdit::keyPressEvent(event);
}

void CBrennockView::keyReleaseEvent(QKeyEvent* event)
{
    const int key = event->key();
    if (key == Qt::Key_Control && !event->isAutoRepeat()) {
        ctrlHeld = false;
        ctrlDown = false;
    }
    if (!event->isAutoRepeat()) {
        switch (key) {
        case Qt::Key_F4:
            emit saveSelectionRequested();
            break;
        case Qt::Key_F5:
        case Qt::Key_F6:
        case Qt::Key_F7:
            emit loadKeyReleased(key);
            break;
        case Qt::Key_F8:
            emit breakRequested();
            break;
        default:
            break;
        }
    }
    QPlainTextEdit::keyReleaseEvent(event);
}

bool CBrennockView::event(QEvent* event)
{
    // Tab is a character for the instrument, not a move to the next widget.
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->key() == Qt::Key_Tab || key->key() == Qt::Key_Backtab) {
            keyPressEvent(key);
            return true;
        }
    }
    if (event->type() == QEvent::ShortcutOverride) {
        // Ctrl+letters are control characters for the instrument, not editor shortcuts;
        // menu shortcuts of other keys (F3) still apply.
        auto* key = static_cast<QKeyEvent*>(event);
        const Qt::KeyboardModifiers mods = key->modifiers();
        if ((mods & Qt::ControlModifier) && !(mods & Qt::AltModifier) && key->key() >= Qt::Key_A &&
            key->key() <= Qt::Key_Z) {
            event->accept();
            return true;
        }
    }
    return QPlainTextEdit::event(event);
}

void CBrennockView::contextMenuEvent(QContextMenuEvent* event)
{
    // The control's own menu would edit the text; this one works like the Edit menu.
    QMenu menu(this);
    QAction* copyAction =
        menu.addAction(QStringLiteral("&Copy"), this, &CBrennockView::copySelection);
    copyAction->setEnabled(hasSelection());
    menu.addAction(QStringLiteral("&Paste"), this, &CBrennockView::pasteFromClipboard)
        ->setEnabled(!QApplication::clipboard()->text().isEmpty());
    menu.addSeparator();
    menu.addAction(QStringLiteral("Select &All"), this, &CBrennockView::selectEverything);
    menu.addAction(QStringLiteral("Clear Screen and Buffer"), this,
                   &CBrennockView::clearScreenAndBuffer);
    menu.exec(event->globalPos());
}

void CBrennockView::inputMethodEvent(QInputMethodEvent* event)
{
    event->ignore();
}

bool CBrennockView::canInsertFromMimeData(const QMimeData*) const
{
    return false;
}

void CBrennockView::insertFromMimeData(const QMimeData*)
{
    // The control's own paste is unused: pasting goes to the instrument, paced.
}

void CBrennockView::dragEnterEvent(QDragEnterEvent* event)
{
    if (!localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CBrennockView::dragMoveEvent(QDragMoveEvent* event)
{
    if (!localFiles(event->mimeData()).isEmpty())
        event->acceptProposedAction();
    else
        event->ignore();
}

void CBrennockView::dropEvent(QDropEvent* event)
{
    const QStringList paths = localFiles(event->mimeData());
    if (paths.isEmpty()) {
        event->ignore();
        return;
    }
    event->acceptProposedAction();
    emit filesDropped(paths);
}
