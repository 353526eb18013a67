#include "HexView.h"

#include "BrennockDoc.h"

#include <QPainter>
#include <QScrollBar>

#include <algorithm>

const QColor HexView::kSentColor(0x00, 0x60, 0xC0);

HexView::HexView(CBrennockDoc& doc, QWidget* parent) : QAbstractScrollArea(parent), doc(doc)
{
    setObjectName(QStringLiteral("hexView"));
    QFont mono(QStringLiteral("Monospace"));
    mono.setStyleHint(QFont::TypeWriter);
    mono.setFixedPitch(true);
    setFont(mono);
    setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
    doc.addView(this);
}

HexView::~HexView()
{
    doc.removeView(this);
}

void HexView::clearText()
{
    hex.clear();
    refresh();
}

void HexView::lineReceived(const char* bytes, int count)
{
    hex.append(bytes, count, false);
    added();
}

void HexView::lineSent(const char* bytes, int count)
{
    hex.append(bytes, count, true);
    added();
}

void HexView::added()
{
    // Hidden, it only keeps the bytes; showEvent brings the view up to date.
    if (isVisible())
        pacer.due();
}

void HexView::showEvent(QShowEvent* event)
{
    QAbstractScrollArea::showEvent(event);
    refresh();
}

int HexView::rowHeight() const
{
    return fontMetrics().height();
}

void HexView::refresh()
{
    pacer.shown();
    QScrollBar* v = verticalScrollBar();
    const bool atEnd = v->value() >= v->maximum();
    const int visibleRows = std::max(1, viewport()->height() / rowHeight());
    v->setRange(0, int(std::max<qint64>(0, hex.rowCount() - visibleRows)));
    v->setPageStep(visibleRows);
    const int width = fontMetrics().horizontalAdvance(QLatin1Char('0')) *
                      (HexDump::charColumn(HexDump::kBytesPerRow) + 2);
    horizontalScrollBar()->setRange(0, std::max(0, width - viewport()->width()));
    horizontalScrollBar()->setPageStep(viewport()->width());
    if (atEnd)
        v->setValue(v->maximum());
    if (isVisible())
        viewport()->update();
}

void HexView::resizeEvent(QResizeEvent* event)
{
    QAbstractScrollArea::resizeEvent(event);
    refresh();
}

void HexView::paintEvent(QPaintEvent*)
{
    QPainter painter(viewport());
    painter.fillRect(viewport()->rect(), palette().base());
    const int h = rowHeight();
    const int cw = fontMetrics().horizontalAdvance(QLatin1Char('0'));
    const int ascent = fontMetrics().ascent();
    const int x0 = 4 - horizontalScrollBar()->value();
    const QColor textColor = palette().text().color();
    const qint64 first = verticalScrollBar()->value();
    const qint64 last = std::min<qint64>(hex.rowCount(), first + viewport()->height() / h + 2);
    for (qint64 row = first; row < last; ++row) {
        quint32 sentMask = 0;
        const QString text = hex.rowText(row, &sentMask);
        const int y = int(row - first) * h + ascent;
        painter.setPen(textColor);
        painter.drawText(x0, y, text);
        if (sentMask == 0)
            continue;
        // Sent bytes: their hex pair and character once more, in the sent colour, on
        // a background of their own.
        for (int i = 0; i < HexDump::kBytesPerRow; ++i) {
            if (!(sentMask & (1u << i)))
                continue;
            for (const int col : {HexDump::hexColumn(i), HexDump::charColumn(i)}) {
                const int width = col == HexDump::hexColumn(i) ? 2 : 1;
                const QRect cell(x0 + col * cw, y - ascent, width * cw, h);
                painter.fillRect(cell, kSentColor);
                painter.setPen(Qt::white);
                painter.drawText(cell.x(), y, text.mid(col, width));
            }
        }
    }
}
