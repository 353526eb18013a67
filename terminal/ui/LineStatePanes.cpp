#include "LineStatePanes.h"

#include "BrennockDoc.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QSignalBlocker>
#include <QToolButton>

namespace
{

const struct {
    const char* name;
    uint32_t flag;
    const char* meaning;
} kInputLines[] = {
    {"CTS", kMsCtsOn, "Clear To Send"},
    {"DSR", kMsDsrOn, "Data Set Ready"},
    {"DCD", kMsRlsdOn, "Data Carrier Detect"},
    {"RI", kMsRingOn, "Ring Indicator"},
};

} // namespace

LineStatePanes::LineStatePanes(CBrennockDoc& doc, QWidget* parent) : QWidget(parent), doc(doc)
{
    auto* layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(2);

    counts = new QToolButton;
    counts->setObjectName(QStringLiteral("byteCountsPane"));
    counts->setAutoRaise(true);
    counts->setToolTip(tr("Bytes received and sent since connecting; click to count from zero"));
    connect(counts, &QToolButton::clicked, this, [this] {
        this->doc.resetByteCounts();
        refresh();
    });
    layout->addWidget(counts);

    for (int i = 0; i < 4; ++i) {
        auto* label = new QLabel(QString::fromLatin1(kInputLines[i].name));
        label->setObjectName(QString::fromLatin1(kInputLines[i].name).toLower() +
                             QStringLiteral("Pane"));
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignCenter);
        label->setMinimumWidth(label->fontMetrics().horizontalAdvance(QStringLiteral("DCD")) + 8);
        lineLabels[i] = label;
        layout->addWidget(label);
    }
    const auto toggle = [layout](const char* name, const QString& tip) {
        auto* button = new QToolButton;
        button->setText(QString::fromLatin1(name));
        button->setObjectName(QString::fromLatin1(name).toLower() + QStringLiteral("Toggle"));
        button->setCheckable(true);
        button->setAutoRaise(true);
        button->setToolTip(tip);
        layout->addWidget(button);
        return button;
    };
    dtr = toggle("DTR", tr("Data Terminal Ready: click to switch"));
    rts = toggle("RTS", tr("Request To Send: click to switch (owned by Hardware flow control)"));
    connect(dtr, &QToolButton::toggled, this, [this](bool on) {
        this->doc.setDtr(on);
        refresh(); // a refused switch shows the line as it is
    });
    connect(rts, &QToolButton::toggled, this, [this](bool on) {
        this->doc.setRts(on);
        refresh();
    });

    doc.setModemLineObserver([this](const ModemLines& lines) { showLines(lines); });
    showLines(doc.modemLines());
    timer.setInterval(kRefreshMs);
    connect(&timer, &QTimer::timeout, this, &LineStatePanes::refresh);
    timer.start();
    refresh();
}

void LineStatePanes::refresh()
{
    const CBrennockDoc::ByteCounts c = doc.byteCounts();
    const QString text = QStringLiteral("RX %1  TX %2").arg(c.received).arg(c.sent);
    if (counts->text() != text)
        counts->setText(text);
    const bool connected = doc.isConnected();
    const QSignalBlocker dtrQuiet(dtr);
    const QSignalBlocker rtsQuiet(rts);
    dtr->setEnabled(connected);
    dtr->setChecked(connected && doc.dtrOn());
    rts->setEnabled(connected && !doc.rtsOwnedByFlowControl());
    rts->setChecked(connected && doc.rtsOn());
}

void LineStatePanes::showLines(const ModemLines& lines)
{
    for (int i = 0; i < 4; ++i) {
        const bool on = lines.known && (lines.lines & kInputLines[i].flag);
        lineLabels[i]->setEnabled(on);
        lineLabels[i]->setToolTip(
            lines.known ? QStringLiteral("%1: %2").arg(QString::fromLatin1(kInputLines[i].meaning),
                                                       on ? tr("on") : tr("off"))
                        : tr("The device shows no modem lines (a pseudo-terminal has none)"));
    }
}
