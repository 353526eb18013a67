#include "SendCharsDialog.h"

#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTreeWidget>
#include <QVBoxLayout>

using specialchars::DisplayMode;

SendSpecialCharsDialog::SendSpecialCharsDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Send Special Characters"));
    setObjectName(QStringLiteral("sendSpecialCharsDialog"));

    auto* modeBox = new QGroupBox(QStringLiteral("Display Mode"));
    hexButton = new QRadioButton(QStringLiteral("Hex"));
    hexButton->setObjectName(QStringLiteral("hex"));
    decimalButton = new QRadioButton(QStringLiteral("Decimal"));
    decimalButton->setObjectName(QStringLiteral("decimal"));
    hexButton->setChecked(true);
    auto* modeLayout = new QHBoxLayout(modeBox);
    modeLayout->addWidget(hexButton);
    modeLayout->addWidget(decimalButton);
    connect(hexButton, &QRadioButton::clicked, this, [this] { setDisplayMode(DisplayMode::Hex); });
    connect(decimalButton, &QRadioButton::clicked, this,
            [this] { setDisplayMode(DisplayMode::Decimal); });

    auto* valueBox =
        new QGroupBox(QStringLiteral("Enter Character Value in the Current Display Mode"));
    valueEdit = new QLineEdit(QStringLiteral("00"));
    valueEdit->setObjectName(QStringLiteral("value"));
    connect(valueEdit, &QLineEdit::textChanged, this, &SendSpecialCharsDialog::valueEdited);
    table = new QTreeWidget;
    table->setObjectName(QStringLiteral("characterTable"));
    table->setRootIsDecorated(false);
    table->setUniformRowHeights(true);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setHeaderLabels({QStringLiteral("Decimal"), QStringLiteral("Hex"),
                            QStringLiteral("Name"), QStringLiteral("Ctrl")});
    QList<QTreeWidgetItem*> rows;
    rows.reserve(specialchars::kRowCount);
    for (int value = 0; value < specialchars::kRowCount; ++value) {
        const specialchars::TableRow row = specialchars::tableRow(value);
        auto* item = new QTreeWidgetItem({row.decimal, row.hex, row.name, row.ctrl});
        item->setData(0, Qt::UserRole, value);
        rows << item;
    }
    table->addTopLevelItems(rows);
    for (int column = 0; column < 4; ++column)
        table->resizeColumnToContents(column);
    table->setMinimumHeight(220);
    connect(table, &QTreeWidget::itemDoubleClicked, this, &SendSpecialCharsDialog::rowActivated);
    auto* sendChar = new QPushButton(QStringLiteral("Send Char"));
    sendChar->setObjectName(QStringLiteral("sendChar"));
    sendChar->setDefault(true);
    connect(sendChar, &QPushButton::clicked, this, &SendSpecialCharsDialog::sendChar);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));
    cancel->setObjectName(QStringLiteral("cancel"));
    cancel->setAutoDefault(false);
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
    auto* addChar = new QPushButton(QStringLiteral("Add Char"));
    addChar->setObjectName(QStringLiteral("addChar"));
    addChar->setAutoDefault(false);
    connect(addChar, &QPushButton::clicked, this, &SendSpecialCharsDialog::addChar);
    auto* valueLayout = new QGridLayout(valueBox);
    valueLayout->addWidget(valueEdit, 0, 0);
    valueLayout->addWidget(addChar, 0, 1);
    valueLayout->addWidget(table, 1, 0, 1, 2);

    auto* sequenceBox = new QGroupBox(QStringLiteral("Send Multiple Characters"));
    sequenceEdit = new QLineEdit;
    sequenceEdit->setObjectName(QStringLiteral("sequence"));
    sequenceEdit->setReadOnly(true);
    sendStringButton = new QPushButton(QStringLiteral("Send String"));
    sendStringButton->setObjectName(QStringLiteral("sendString"));
    sendStringButton->setAutoDefault(false);
    sendStringButton->setEnabled(false);
    connect(sendStringButton, &QPushButton::clicked, this, &SendSpecialCharsDialog::sendString);
    auto* clear = new QPushButton(QStringLiteral("Clear String"));
    clear->setObjectName(QStringLiteral("clearString"));
    clear->setAutoDefault(false);
    connect(clear, &QPushButton::clicked, this, &SendSpecialCharsDialog::clearString);
    auto* sequenceLayout = new QGridLayout(sequenceBox);
    sequenceLayout->addWidget(sequenceEdit, 0, 0, 1, 2);
    sequenceLayout->addWidget(sendStringButton, 1, 0);
    sequenceLayout->addWidget(clear, 1, 1);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    buttons->addWidget(sendChar);
    buttons->addWidget(cancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modeBox);
    layout->addWidget(valueBox, 1);
    layout->addWidget(sequenceBox);
    layout->addLayout(buttons);
    selectRow(0);
}

int SendSpecialCharsDialog::selectedValue() const
{
    const QList<QTreeWidgetItem*> items = table->selectedItems();
    return items.isEmpty() ? -1 : items.first()->data(0, Qt::UserRole).toInt();
}

void SendSpecialCharsDialog::valueEdited(const QString& text)
{
    if (cleaning)
        return;
    const QString cleaned = specialchars::cleanTyped(text, mode);
    // An empty hex field selects no row: nothing has been typed yet.
    if (cleaned.isEmpty())
        table->clearSelection();
    else
        selectRow(specialchars::parseValue(cleaned, mode));
    if (cleaned != text) {
        const int caret = qMin(valueEdit->cursorPosition(), cleaned.size());
        cleaning = true;
        valueEdit->setText(cleaned);
        valueEdit->setCursorPosition(caret);
        cleaning = false;
    }
}

void SendSpecialCharsDialog::selectRow(int value)
{
    QTreeWidgetItem* item = table->topLevelItem(value);
    if (!item)
        return;
    table->setCurrentItem(item);
    item->setSelected(true);
    table->scrollToItem(item);
}

void SendSpecialCharsDialog::setDisplayMode(DisplayMode newMode)
{
    if (newMode == mode)
        return;
    mode = newMode;
    // The field is read again in the new mode, then emptied with the sequence.
    valueEdited(valueEdit->text());
    cleaning = true;
    valueEdit->clear();
    cleaning = false;
    clearString();
}

void SendSpecialCharsDialog::rowActivated()
{
    const int value = selectedValue();
    if (value >= 0)
        valueEdit->setText(specialchars::valueText(value, mode));
}

int SendSpecialCharsDialog::readValueField()
{
    QString fixed;
    const int value = specialchars::parseValue(valueEdit->text(), mode, &fixed);
    if (fixed != valueEdit->text())
        valueEdit->setText(fixed);
    return value;
}

void SendSpecialCharsDialog::sendChar()
{
    chosen = QByteArray(1, static_cast<char>(readValueField()));
    accept();
}

void SendSpecialCharsDialog::addChar()
{
    sequenceEdit->setText(sequenceEdit->text() + valueEdit->text() + QLatin1Char(' '));
    sequence.append(static_cast<char>(readValueField()));
    sendStringButton->setEnabled(true);
}

void SendSpecialCharsDialog::sendString()
{
    if (sequence.isEmpty())
        return;
    chosen = sequence;
    accept();
}

void SendSpecialCharsDialog::clearString()
{
    sequence.clear();
    sequenceEdit->setText(QStringLiteral(" "));
    sendStringButton->setEnabled(false);
}
