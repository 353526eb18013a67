#include "CaptureDialogs.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

namespace
{

// "Start" and "Cancel" as the questions of Start have them.
QDialogButtonBox* startCancelButtons(QDialog* dialog)
{
    auto* buttons = new QDialogButtonBox;
    QPushButton* start = buttons->addButton(QStringLiteral("Start"), QDialogButtonBox::AcceptRole);
    start->setObjectName(QStringLiteral("start"));
    start->setDefault(true);
    buttons->addButton(QDialogButtonBox::Cancel)->setObjectName(QStringLiteral("cancel"));
    QObject::connect(buttons, &QDialogButtonBox::accepted, dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, dialog, &QDialog::reject);
    return buttons;
}

QButtonGroup* radioGroup(QGroupBox* box, const QStringList& texts, const char* name)
{
    auto* group = new QButtonGroup(box);
    group->setObjectName(QString::fromLatin1(name));
    auto* layout = new QVBoxLayout(box);
    for (int i = 0; i < texts.size(); ++i) {
        auto* button = new QRadioButton(texts.at(i));
        group->addButton(button, i + 1);
        layout->addWidget(button);
    }
    return group;
}

// A stored value v selects the v-th button; anything else selects none.
void selectValue(QButtonGroup* group, int value)
{
    if (QAbstractButton* button = group->button(value)) {
        button->setChecked(true);
        return;
    }
    group->setExclusive(false);
    for (QAbstractButton* button : group->buttons())
        button->setChecked(false);
    group->setExclusive(true);
}

} // namespace

QString browseCaptureFile(QWidget* parent)
{
    QFileDialog dialog(parent, QStringLiteral("Capture File"));
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setNameFilters({QStringLiteral("Text Files (*.txt)"), QStringLiteral("All Files (*)")});
    dialog.setDefaultSuffix(QStringLiteral("txt"));
    // Capturing into an existing file is what append is for: no overwrite question here.
    dialog.setOption(QFileDialog::DontConfirmOverwrite);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return QString();
    return QDir::toNativeSeparators(dialog.selectedFiles().constFirst());
}

CaptureFileNameDialog::CaptureFileNameDialog(QWidget* parent) : QDialog(parent)
{
    setWindowTitle(QStringLiteral("Choose Capture File"));
    setObjectName(QStringLiteral("captureFileNameDialog"));
    nameEdit = new QLineEdit;
    nameEdit->setObjectName(QStringLiteral("fileName"));
    nameEdit->setMinimumWidth(280);
    auto* browse = new QPushButton(QStringLiteral("Browse"));
    browse->setObjectName(QStringLiteral("browse"));
    browse->setAutoDefault(false);
    connect(browse, &QPushButton::clicked, this, [this] {
        const QString chosen = browseCaptureFile(this);
        if (!chosen.isEmpty())
            nameEdit->setText(chosen);
    });
    auto* row = new QHBoxLayout;
    row->addWidget(new QLabel(QStringLiteral("FileName:")));
    row->addWidget(nameEdit, 1);
    row->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(row);
    layout->addWidget(startCancelButtons(this));
}

QString CaptureFileNameDialog::fileName() const
{
    return nameEdit->text();
}

void CaptureFileNameDialog::setFileName(const QString& name)
{
    nameEdit->setText(name);
}

CaptureChoiceDialog::CaptureChoiceDialog(const QString& title, const QString& first,
                                         const QString& second, QWidget* parent)
    : QDialog(parent)
{
    setWindowTitle(title);
    setObjectName(QStringLiteral("captureChoiceDialog"));
    firstButton = new QRadioButton(first);
    firstButton->setObjectName(QStringLiteral("first"));
    secondButton = new QRadioButton(second);
    secondButton->setObjectName(QStringLiteral("second"));
    firstButton->setChecked(true);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(firstButton);
    layout->addWidget(secondButton);
    layout->addWidget(startCancelButtons(this));
}

bool CaptureChoiceDialog::firstChosen() const
{
    return firstButton->isChecked();
}

void CaptureChoiceDialog::chooseSecond()
{
    secondButton->setChecked(true);
}

CaptureOptionsDialog::CaptureOptionsDialog(const CaptureChoices& choices, QWidget* parent)
    : QDialog(parent), initial(choices)
{
    setWindowTitle(QStringLiteral("Capture Text Options"));
    setObjectName(QStringLiteral("captureOptionsDialog"));

    auto* modeBox = new QGroupBox(QStringLiteral("Capture Mode"));
    captureMode = radioGroup(
        modeBox,
        {QStringLiteral("Prompt for Filename Each Time Capture Mode is Started"),
         QStringLiteral("Capture Data to a Fixed Filename Each Time Capture Mode is Started")},
        "captureMode");
    nameLabel = new QLabel(QStringLiteral("FileName:"));
    nameEdit = new QLineEdit(choices.pathName);
    nameEdit->setObjectName(QStringLiteral("fileName"));
    nameEdit->setToolTip(QStringLiteral("C:\\CAPTURE.TXT stands for CAPTURE.TXT in your home "
                                        "folder; relative names start there too"));
    browseButton = new QPushButton(QStringLiteral("Browse"));
    browseButton->setObjectName(QStringLiteral("browse"));
    browseButton->setAutoDefault(false);
    connect(browseButton, &QPushButton::clicked, this, [this] {
        const QString chosen = browseCaptureFile(this);
        if (!chosen.isEmpty())
            nameEdit->setText(chosen);
    });
    auto* nameRow = new QHBoxLayout;
    nameRow->addWidget(nameLabel);
    nameRow->addWidget(nameEdit, 1);
    nameRow->addWidget(browseButton);
    static_cast<QVBoxLayout*>(modeBox->layout())->addLayout(nameRow);

    auto* writeBox = new QGroupBox(QStringLiteral("Write Mode"));
    writeMode = radioGroup(
        writeBox,
        {QStringLiteral("Prompt For Mode"), QStringLiteral("Overwrite"), QStringLiteral("Append")},
        "writeMode");
    auto* includeBox = new QGroupBox(QStringLiteral("Include Text Already In Buffer"));
    include = radioGroup(includeBox,
                         {QStringLiteral("Prompt"), QStringLiteral("Yes"), QStringLiteral("No")},
                         "includeBuffer");

    selectValue(captureMode, choices.promptForFilename);
    selectValue(writeMode, choices.writeMode);
    selectValue(include, choices.includeBuffer);
    connect(captureMode, &QButtonGroup::idClicked, this,
            &CaptureOptionsDialog::updateFileNameVisibility);
    updateFileNameVisibility();

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(modeBox);
    auto* lower = new QHBoxLayout;
    lower->addWidget(writeBox);
    lower->addWidget(includeBox);
    layout->addLayout(lower);
    stampBox = new QCheckBox(QStringLiteral("Start Each Line with the Time of Its First Byte"));
    stampBox->setObjectName(QStringLiteral("captureTimestamps"));
    stampBox->setChecked(choices.timestamps);
    layout->addWidget(stampBox);
    layout->addWidget(buttons);
}

bool CaptureOptionsDialog::fileNameShown() const
{
    return !nameEdit->isHidden();
}

void CaptureOptionsDialog::updateFileNameVisibility()
{
    const bool shown = captureMode->checkedId() != 1;
    nameLabel->setVisible(shown);
    nameEdit->setVisible(shown);
    browseButton->setVisible(shown);
}

CaptureChoices CaptureOptionsDialog::choices() const
{
    // A group left with no button chosen (a stored 0) stores 0 again.
    const auto chosen = [](QButtonGroup* group) {
        return group->checkedId() > 0 ? group->checkedId() : 0;
    };
    CaptureChoices result;
    result.promptForFilename = chosen(captureMode);
    result.pathName = nameEdit->text();
    result.writeMode = chosen(writeMode);
    result.includeBuffer = chosen(include);
    result.timestamps = stampBox->isChecked();
    return result;
}

bool DialogCapturePrompts::askFileName(QString* fileName)
{
    CaptureFileNameDialog dialog(parent);
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *fileName = dialog.fileName();
    return true;
}

bool DialogCapturePrompts::askWriteMode(int* mode)
{
    CaptureChoiceDialog dialog(QStringLiteral("Choose Capture File Write Mode"),
                               QStringLiteral("Overwrite"), QStringLiteral("Append"), parent);
    dialog.setObjectName(QStringLiteral("captureWriteModeDialog"));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *mode = dialog.firstChosen() ? 2 : 3;
    return true;
}

bool DialogCapturePrompts::askIncludeBuffer(bool* include)
{
    CaptureChoiceDialog dialog(QStringLiteral("Include Buffer Text"), QStringLiteral("Yes"),
                               QStringLiteral("No"), parent);
    dialog.setObjectName(QStringLiteral("captureIncludeDialog"));
    if (dialog.exec() != QDialog::Accepted)
        return false;
    *include = dialog.firstChosen();
    return true;
}
