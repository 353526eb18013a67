// The dialogs of text capture: the three questions of Start ("Choose Capture File",
// "Choose Capture File Write Mode", "Include Buffer Text"), "Capture Text Options",
// and DialogCapturePrompts, which asks the questions of TextCapture with them.
#pragma once

#include "TextCapture.h"

#include <QDialog>

class QButtonGroup;
class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// The save-type file dialog behind every "Browse": the chosen path, or empty.
QString browseCaptureFile(QWidget* parent);

// "Choose Capture File": "FileName:", "Browse", "Start", "Cancel".
class CaptureFileNameDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CaptureFileNameDialog(QWidget* parent = nullptr);
    QString fileName() const;
    void setFileName(const QString& name);

private:
    QLineEdit* nameEdit;
};

// A question with two radio buttons, the first preselected, "Start" and "Cancel".
class CaptureChoiceDialog : public QDialog
{
    Q_OBJECT

public:
    CaptureChoiceDialog(const QString& title, const QString& first, const QString& second,
                        QWidget* parent = nullptr);
    bool firstChosen() const;
    void chooseSecond();

private:
    QRadioButton* firstButton;
    QRadioButton* secondButton;
};

// "Capture Text Options": the four stored values of capture, and whether lines are
// stamped with their time.
class CaptureOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    CaptureOptionsDialog(const CaptureChoices& choices, QWidget* parent = nullptr);
    // The values as chosen: a group with no button chosen keeps its value.
    CaptureChoices choices() const;
    // For tests: the group's buttons in order (1-based value = index + 1).
    QButtonGroup* captureModeGroup() const { return captureMode; }
    QButtonGroup* writeModeGroup() const { return writeMode; }
    QButtonGroup* includeGroup() const { return include; }
    QLineEdit* fileNameEdit() const { return nameEdit; }
    QCheckBox* timestampsBox() const { return stampBox; }
    bool fileNameShown() const;

private:
    void updateFileNameVisibility();

    CaptureChoices initial;
    QButtonGroup* captureMode;
    QButtonGroup* writeMode;
    QButtonGroup* include;
    QLabel* nameLabel;
    QLineEdit* nameEdit;
    QPushButton* browseButton;
    QCheckBox* stampBox;
};

// The questions of Start as modal dialogs over parent.
class DialogCapturePrompts : public CapturePrompts
{
public:
    explicit DialogCapturePrompts(QWidget* parent) : parent(parent) {}
    bool askFileName(QString* fileName) override;
    bool askWriteMode(int* mode) override;
    bool askIncludeBuffer(bool* include) override;

private:
    QWidget* parent;
};
