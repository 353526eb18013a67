// The "Communication Settings" dialog: port number, the two baud rates, line format,
// flow control, local echo and "Send LF after CR", plus the device the chosen number
// resolves to on this machine and the serial devices present, one of which can be
// bound to that number. It edits CommDialogValues; the document applies them after
// OK (accepted()), and stores the bindings only when it applies the settings.
#pragma once

#include "CommSettings.h"
#include "PortBindings.h"

#include <QDialog>
#include <QMap>

class SettingsStore;
class UserFeedback;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;

class CommSettingsDialog : public QDialog
{
    Q_OBJECT

public:
    CommSettingsDialog(const CommDialogValues& values, SettingsStore* settings,
                       UserFeedback& feedback, QWidget* parent = nullptr);

    // The values as edited; valid after accept().
    CommDialogValues values() const { return result; }
    // Port bindings chosen in the dialog: number -> device ("" removes the binding).
    QMap<int, QString> bindings() const { return pendingBindings; }
    // The same by port name, for the document to store with the settings.
    PortBindingChanges bindingChanges() const;

    // The device the number resolves to with the bindings chosen so far.
    QString resolvedDevice(int number) const;

    void accept() override;

private:
    void updateDevice();
    void bindSelected();
    void unbind();
    int enteredNumber(bool* ok) const;

    SettingsStore* settings;
    UserFeedback& feedback;
    CommDialogValues result;
    QMap<int, QString> pendingBindings;

    QLineEdit* portNumber;
    QComboBox* baudRate;
    QComboBox* downloadBaudRate;
    QComboBox* parity;
    QComboBox* dataBits;
    QComboBox* stopBits;
    QComboBox* flowControl;
    QCheckBox* localEcho;
    QCheckBox* sendCrLf;
    QLabel* deviceLabel;
    QComboBox* devices;
};
