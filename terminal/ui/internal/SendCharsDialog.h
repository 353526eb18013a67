// "Send Special Characters": a reference table of the 256 byte values, a value field
// read in hexadecimal or decimal, and a sequence built with Add Char. The dialog
// only collects bytes; the caller sends bytes() through the document's SendBlock.
// The result is sent by its length, so a NUL byte goes out like any other.
#pragma once

#include "ByteTable.h"

#include <QByteArray>
#include <QDialog>

class QLineEdit;
class QPushButton;
class QRadioButton;
class QTreeWidget;

class SendSpecialCharsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit SendSpecialCharsDialog(QWidget* parent = nullptr);

    // The bytes to send after OK: one for Send Char, the sequence for Send String.
    QByteArray bytes() const { return chosen; }

    specialchars::DisplayMode displayMode() const { return mode; }
    // The selected row's value, or -1.
    int selectedValue() const;

    void sendChar();
    void addChar();
    void sendString();
    void clearString();

private:
    void valueEdited(const QString& text);
    void setDisplayMode(specialchars::DisplayMode newMode);
    void selectRow(int value);
    void rowActivated();
    int readValueField();

    specialchars::DisplayMode mode = specialchars::DisplayMode::Hex;
    QRadioButton* hexButton;
    QRadioButton* decimalButton;
    QLineEdit* valueEdit;
    QTreeWidget* table;
    QLineEdit* sequenceEdit;
    QPushButton* sendStringButton;
    QByteArray sequence;
    QByteArray chosen;
    bool cleaning = false;
};
