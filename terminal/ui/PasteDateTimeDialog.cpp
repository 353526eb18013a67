#include "PasteDateTimeDialog.h"

#include "BrennockDoc.h"

#include <QButtonGroup>
#include <QDialogButtonBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QRadioButton>
#include <QScopedValueRollback>
#include <QTimer>
#include <QVBoxLayout>

PasteDateTimeDialog::PasteDateTimeDialog(int format, QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Paste Date & Time"));
    setObjectName(QStringLiteral("pasteDateTimeDialog"));
    auto* box = new QGroupBox(QStringLiteral("Choose Format to Send Date and Time"));
    auto* boxLayout = new QVBoxLayout(box);
    formats = new QButtonGroup(this);
    for (int i = 0; i < kDateTimeFormatCount; ++i) {
        auto* button = new QRadioButton(dateTimeFormatLabel(i));
        button->setObjectName(QStringLiteral("format%1").arg(i));
        formats->addButton(button, i);
        boxLayout->addWidget(button);
    }
    setFormat(format);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(box);
    layout->addWidget(buttons);
}

int PasteDateTimeDialog::format() const
{
    const int id = formats->checkedId();
    return id >= 0 ? id : kDefaultDateTimeFormat;
}

void PasteDateTimeDialog::setFormat(int format)
{
    if (QAbstractButton* button = formats->button(format))
        button->setChecked(true);
}

void pauseHandlingEvents(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

DateTimePaster::DateTimePaster() : readClock(systemLocalTime), pauseFor(pauseHandlingEvents) {}

bool DateTimePaster::run(QWidget* parent, CBrennockDoc& doc, SettingsStore& settings)
{
    if (typing)
        return false; // one date at a time: two would interleave on the line
    PasteDateTimeDialog dialog(storedDateTimeFormat(settings), parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    const int format = dialog.format();
    storeDateTimeFormat(settings, format);
    // One clock reading: every character belongs to the same second.
    type(doc, dateTimeText(format, readClock()));
    return true;
}

void DateTimePaster::type(CBrennockDoc& doc, const QByteArray& text)
{
    const QScopedValueRollback<bool> busy(typing, true);
    // A character that cannot be sent beeps (SendChar); the rest still go.
    for (char byte : text) {
        doc.SendChar(static_cast<unsigned char>(byte));
        pauseFor(kCharPauseMs);
    }
}
