// The line state in the status bar: RX and TX byte counts (a click counts from zero),
// the input lines CTS, DSR, DCD and RI as indicators (lit while on, all dimmed when the
// device has no modem lines), and DTR and RTS as toggles, disabled while not connected
// and RTS while "Hardware" flow control owns it.
//
// The lines come from the document's watch as they change; counts and toggles are
// refreshed every kRefreshMs, so a flood costs no status-bar painting per delivery.
#pragma once

#include <QTimer>
#include <QWidget>

class CBrennockDoc;
class QLabel;
class QToolButton;
struct ModemLines;

class LineStatePanes : public QWidget
{
public:
    static constexpr int kRefreshMs = 250;

    LineStatePanes(CBrennockDoc& doc, QWidget* parent = nullptr);
    // Counts and toggles as the document has them now.
    void refresh();

private:
    void showLines(const ModemLines& lines);

    CBrennockDoc& doc;
    QToolButton* counts;
    QLabel* lineLabels[4];
    QToolButton* dtr;
    QToolButton* rts;
    QTimer timer;
};
