// The hex view: the bytes of the line as offset, hex and printable characters, 16 to a
// row, received bytes in the text colour and sent ones marked in another.
//
// It is one of the document's views, fed from the same hand-over as the text view and
// whether shown or not, so showing or hiding it mid-flood loses nothing. Only the rows
// in sight are painted, from the bounded HexDump, and new bytes repaint when the
// RefreshPacer says (and not at all while hidden): a flood costs the bytes' copy, not
// a paint per delivery.
#pragma once

#include "HexDump.h"
#include "PortDataSink.h"
#include "RefreshPacer.h"

#include <QAbstractScrollArea>

class CBrennockDoc;

class HexView : public QAbstractScrollArea, public PortDataSink
{
public:
    static const QColor kSentColor;

    explicit HexView(CBrennockDoc& doc, QWidget* parent = nullptr);
    ~HexView() override;

    // PortDataSink: the line's own bytes; the text the terminal shows is not its business.
    void portData(const char*, int) override {}
    void clearText() override;
    void echoDue(int ms) override { pacer.hurry(ms); }
    void lineReceived(const char* bytes, int count) override;
    void lineSent(const char* bytes, int count) override;

    const HexDump& dump() const { return hex; }
    void setLimit(qint64 bytes) { hex.setLimit(bytes); } // HexDump::kDefaultLimit but for tests
    // The new rows now (and the view at the end, when it was there).
    void refresh();

protected:
    void paintEvent(QPaintEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void added();
    int rowHeight() const;

    CBrennockDoc& doc;
    HexDump hex;
    RefreshPacer pacer{[this] { refresh(); }};
};
