// The terminal window's small dialogs: Copy - Paste Options, Font (with effects and
// colour), Find, and the About box.
#pragma once

#include <QColor>
#include <QDialog>
#include <QFont>

class UserFeedback;
class QCheckBox;
class QComboBox;
class QFontComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QRadioButton;

// "Copy - Paste Options": the paste pacing delays (0 to 1000 ms each) and the
// editing-keys mode, as two check boxes that always hold opposite states.
class CopyPasteOptionsDialog : public QDialog
{
    Q_OBJECT

public:
    static constexpr int kMaxDelayMs = 1000;

    CopyPasteOptionsDialog(int charDelay, int lfDelay, int windowsEdit, UserFeedback& feedback,
                           QWidget* parent = nullptr);

    int charDelay() const { return chosenCharDelay; }
    int lfDelay() const { return chosenLfDelay; }
    int windowsEdit() const { return chosenWindowsEdit; }

    void accept() override;

private:
    bool readDelay(QLineEdit* edit, int* value);
    void setEditingKeys(bool standard);

    UserFeedback& feedback;
    QLineEdit* charDelayEdit;
    QLineEdit* lfDelayEdit;
    QCheckBox* standardEditing;
    QCheckBox* transmitControl;
    int chosenCharDelay;
    int chosenLfDelay;
    int chosenWindowsEdit;
};

// Font with effects (bold, italic, underline, strikeout) and text colour.
class FontColorDialog : public QDialog
{
    Q_OBJECT

public:
    FontColorDialog(const QFont& font, const QColor& color, QWidget* parent = nullptr);

    QFont selectedFont() const;
    QColor selectedColor() const { return color; }
    void setSelectedColor(const QColor& color);

private:
    void updateSample();

    QFontComboBox* family;
    QComboBox* size;
    QCheckBox* bold;
    QCheckBox* italic;
    QCheckBox* underline;
    QCheckBox* strikeout;
    QPushButton* colorButton;
    QLabel* sample;
    QColor color;
};

// Modeless "Find": text, match case, direction.
class FindDialog : public QDialog
{
    Q_OBJECT

public:
    explicit FindDialog(QWidget* parent = nullptr);

    QString text() const;
    bool matchCase() const;
    bool down() const;
    void setText(const QString& text);

signals:
    void findNext(const QString& text, bool matchCase, bool down);

private:
    QLineEdit* what;
    QCheckBox* caseBox;
    QRadioButton* upButton;
    QRadioButton* downButton;
    QPushButton* findButton;
};

class AboutDialog : public QDialog
{
    Q_OBJECT

public:
    explicit AboutDialog(QWidget* parent = nullptr);
};
