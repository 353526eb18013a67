#include "TerminalDialogs.h"

#include "UserFeedback.h"

#include <QCheckBox>
#include <QColorDialog>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFontComboBox>
#include <QFontDatabase>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#ifndef BRENNOCK_VERSION
#define BRENNOCK_VERSION "1.0"
#endif

namespace
{
const QString kRangeMessage = QStringLiteral("Please enter an integer between %1 and %2.");
}

CopyPasteOptionsDialog::CopyPasteOptionsDialog(int charDelay, int lfDelay, int windowsEdit,
                                               UserFeedback& feedback, QWidget* parent)
    : QDialog(parent), feedback(feedback), chosenCharDelay(charDelay), chosenLfDelay(lfDelay),
      chosenWindowsEdit(windowsEdit)
{
    setWindowTitle(QStringLiteral("Copy - Paste Options"));
    setObjectName(QStringLiteral("copyPasteOptionsDialog"));

    charDelayEdit = new QLineEdit(QString::number(charDelay));
    charDelayEdit->setObjectName(QStringLiteral("charDelay"));
    lfDelayEdit = new QLineEdit(QString::number(lfDelay));
    lfDelayEdit->setObjectName(QStringLiteral("lfDelay"));
    auto* pacing = new QGroupBox(QStringLiteral("Paste Pacing Options"));
    auto* pacingForm = new QFormLayout(pacing);
    pacingForm->addRow(QStringLiteral("Character Delay (mS):"), charDelayEdit);
    pacingForm->addRow(QStringLiteral("Linefeed Delay  (mS):"), lfDelayEdit);

    auto* explanation = new QLabel(
        QStringLiteral("Control-Shift Switches Context between Standard Windows Editing\n"
                       "Functions and Transmitting a Control Character"));
    standardEditing = new QCheckBox(
        QStringLiteral("Ctrl+C / Ctrl+V Performs Standard Windows Editing Functions"));
    standardEditing->setObjectName(QStringLiteral("standardEditing"));
    transmitControl = new QCheckBox(QStringLiteral("Ctrl+C / Ctrl+V Transmits Control Character"));
    transmitControl->setObjectName(QStringLiteral("transmitControl"));
    setEditingKeys(windowsEdit == 1);
    // Clicking either box flips both: they always hold opposite states. The clicked box
    // has its new state already, so that state decides.
    connect(standardEditing, &QCheckBox::clicked, this,
            [this](bool checked) { setEditingKeys(checked); });
    connect(transmitControl, &QCheckBox::clicked, this,
            [this](bool checked) { setEditingKeys(!checked); });

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CopyPasteOptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(pacing);
    layout->addWidget(explanation);
    layout->addWidget(standardEditing);
    layout->addWidget(transmitControl);
    layout->addWidget(buttons);
}

void CopyPasteOptionsDialog::setEditingKeys(bool standard)
{
    standardEditing->setChecked(standard);
    transmitControl->setChecked(!standard);
}

bool CopyPasteOptionsDialog::readDelay(QLineEdit* edit, int* value)
{
    bool ok = false;
    const int number = edit->text().trimmed().toInt(&ok, 10);
    if (!ok || number < 0 || number > kMaxDelayMs) {
        feedback.message(kRangeMessage.arg(0).arg(kMaxDelayMs), QStringLiteral("Brennock"),
                         MessageIcon::Warning);
        edit->setFocus();
        edit->selectAll();
        return false;
    }
    *value = number;
    return true;
}

void CopyPasteOptionsDialog::accept()
{
    int charDelay = 0, lfDelay = 0;
    if (!readDelay(charDelayEdit, &charDelay) || !readDelay(lfDelayEdit, &lfDelay))
        return; // the dialog stays open
    chosenCharDelay = charDelay;
    chosenLfDelay = lfDelay;
    chosenWindowsEdit = standardEditing->isChecked() ? 1 : 0;
    QDialog::accept();
}

FontColorDialog::FontColorDialog(const QFont& font, const QColor& initialColor, QWidget* parent)
    : QDialog(parent), color(initialColor)
{
    setWindowTitle(QStringLiteral("Font"));
    setObjectName(QStringLiteral("fontDialog"));

    family = new QFontComboBox;
    family->setObjectName(QStringLiteral("family"));
    family->setCurrentFont(font);
    size = new QComboBox;
    size->setObjectName(QStringLiteral("size"));
    size->setEditable(true);
    const QList<int> sizes = QFontDatabase::standardSizes();
    for (int s : sizes)
        size->addItem(QString::number(s));
    size->setCurrentText(QString::number(font.pointSizeF() > 0 ? font.pointSizeF() : 10.0));
    bold = new QCheckBox(QStringLiteral("&Bold"));
    bold->setChecked(font.bold());
    italic = new QCheckBox(QStringLiteral("&Italic"));
    italic->setChecked(font.italic());
    underline = new QCheckBox(QStringLiteral("&Underline"));
    underline->setChecked(font.underline());
    strikeout = new QCheckBox(QStringLiteral("Stri&keout"));
    strikeout->setChecked(font.strikeOut());
    colorButton = new QPushButton(QStringLiteral("&Color..."));
    colorButton->setObjectName(QStringLiteral("colorButton"));
    sample = new QLabel(QStringLiteral("AaBbYyZz 0123 A>"));
    sample->setMinimumHeight(60);
    sample->setAlignment(Qt::AlignCenter);
    sample->setAutoFillBackground(true);

    auto* effects = new QGroupBox(QStringLiteral("Effects"));
    auto* effectsLayout = new QVBoxLayout(effects);
    effectsLayout->addWidget(bold);
    effectsLayout->addWidget(italic);
    effectsLayout->addWidget(underline);
    effectsLayout->addWidget(strikeout);
    effectsLayout->addWidget(colorButton);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("&Font:"), family);
    form->addRow(QStringLiteral("&Size:"), size);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(effects);
    layout->addWidget(sample);
    layout->addWidget(buttons);

    connect(family, &QFontComboBox::currentFontChanged, this, &FontColorDialog::updateSample);
    connect(size, &QComboBox::currentTextChanged, this, &FontColorDialog::updateSample);
    for (QCheckBox* box : {bold, italic, underline, strikeout})
        connect(box, &QCheckBox::toggled, this, &FontColorDialog::updateSample);
    connect(colorButton, &QPushButton::clicked, this, [this] {
        const QColor chosen = QColorDialog::getColor(color, this, QStringLiteral("Color"));
        if (chosen.isValid())
            setSelectedColor(chosen);
    });
    updateSample();
}

QFont FontColorDialog::selectedFont() const
{
    QFont font = family->currentFont();
    bool ok = false;
    const double points = size->currentText().trimmed().toDouble(&ok);
    font.setPointSizeF(ok && points > 0 ? points : 10.0);
    font.setBold(bold->isChecked());
    font.setItalic(italic->isChecked());
    font.setUnderline(underline->isChecked());
    font.setStrikeOut(strikeout->isChecked());
    return font;
}

void FontColorDialog::setSelectedColor(const QColor& chosen)
{
    color = chosen;
    updateSample();
}

void FontColorDialog::updateSample()
{
    sample->setFont(selectedFont());
    QPalette pal = sample->palette();
    pal.setColor(QPalette::WindowText, color);
    // Keep the sample readable whatever the colour.
    pal.setColor(QPalette::Window,
                 color.lightness() > 160 ? QColor(Qt::darkGray) : QColor(Qt::white));
    sample->setPalette(pal);
}

FindDialog::FindDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Find"));
    setObjectName(QStringLiteral("findDialog"));

    what = new QLineEdit;
    what->setObjectName(QStringLiteral("findWhat"));
    caseBox = new QCheckBox(QStringLiteral("Match &case"));
    caseBox->setObjectName(QStringLiteral("matchCase"));
    upButton = new QRadioButton(QStringLiteral("&Up"));
    upButton->setObjectName(QStringLiteral("up"));
    downButton = new QRadioButton(QStringLiteral("&Down"));
    downButton->setObjectName(QStringLiteral("down"));
    downButton->setChecked(true);
    findButton = new QPushButton(QStringLiteral("&Find Next"));
    findButton->setObjectName(QStringLiteral("findNext"));
    findButton->setDefault(true);
    findButton->setEnabled(false);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"));

    auto* direction = new QGroupBox(QStringLiteral("Direction"));
    auto* directionLayout = new QHBoxLayout(direction);
    directionLayout->addWidget(upButton);
    directionLayout->addWidget(downButton);

    auto* top = new QHBoxLayout;
    top->addWidget(new QLabel(QStringLiteral("Fi&nd what:")));
    top->addWidget(what);
    auto* options = new QHBoxLayout;
    options->addWidget(caseBox);
    options->addWidget(direction);
    auto* left = new QVBoxLayout;
    left->addLayout(top);
    left->addLayout(options);
    auto* right = new QVBoxLayout;
    right->addWidget(findButton);
    right->addWidget(cancel);
    right->addStretch();
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(left);
    layout->addLayout(right);

    connect(what, &QLineEdit::textChanged, this,
            [this](const QString& t) { findButton->setEnabled(!t.isEmpty()); });
    connect(findButton, &QPushButton::clicked, this,
            [this] { emit findNext(text(), matchCase(), down()); });
    connect(cancel, &QPushButton::clicked, this, &QDialog::reject);
}

QString FindDialog::text() const
{
    return what->text();
}
bool FindDialog::matchCase() const
{
    return caseBox->isChecked();
}
bool FindDialog::down() const
{
    return downButton->isChecked();
}
void FindDialog::setText(const QString& t)
{
    what->setText(t);
    what->selectAll();
}

AboutDialog::AboutDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("About Brennock"));
    auto* icon = new QLabel;
    icon->setPixmap(QIcon(QStringLiteral(":/brennock/brennock.png")).pixmap(64, 64));
    auto* text = new QLabel(QStringLiteral("<b>Brennock Version %1</b><br><br>"
                                           "Terminal and program loader for the Vantrel QX2<br>"
                                           "instrument computer.")
                                .arg(QString::fromLatin1(BRENNOCK_VERSION)));
    auto* ok = new QPushButton(QStringLiteral("OK"));
    ok->setDefault(true);
    connect(ok, &QPushButton::clicked, this, &QDialog::accept);
    auto* row = new QHBoxLayout;
    row->addWidget(icon, 0, Qt::AlignTop);
    row->addWidget(text, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(ok, 0, Qt::AlignRight);
}
