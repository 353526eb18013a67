#include "CommSettingsDialog.h"

#include "PortBindings.h"
#include "RemotePortUrl.h"
#include "SettingsStore.h"
#include "UserFeedback.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace
{

const QString kRangeMessage = QStringLiteral("Please enter an integer between %1 and %2.");

// Shows the first entry that begins with the stored text; none when nothing does.
QComboBox* makeList(const QStringList& choices, const QString& stored, const char* name)
{
    auto* box = new QComboBox;
    box->setObjectName(QString::fromLatin1(name));
    box->addItems(choices);
    int index = -1;
    for (int i = 0; i < choices.size(); ++i) {
        if (choices.at(i).startsWith(stored)) {
            index = i;
            break;
        }
    }
    box->setCurrentIndex(index);
    return box;
}

// An unselected list keeps the stored text rather than storing an empty one.
QString listValue(const QComboBox* box, const QString& stored)
{
    return box->currentIndex() >= 0 ? box->currentText() : stored;
}

} // namespace

CommSettingsDialog::CommSettingsDialog(const CommDialogValues& values, SettingsStore* settings,
                                       UserFeedback& feedback, QWidget* parent)
    : QDialog(parent), settings(settings), feedback(feedback), result(values)
{
    setWindowTitle(QStringLiteral("Communication Settings"));
    setObjectName(QStringLiteral("commSettingsDialog"));

    portNumber = new QLineEdit(QString::number(values.portNumber));
    portNumber->setObjectName(QStringLiteral("portNumber"));
    portNumber->setValidator(new QIntValidator(0, 99999, portNumber));
    portNumber->setMaxLength(5);
    baudRate = makeList(commBaudRateChoices(), values.baudRate, "baudRate");
    downloadBaudRate = makeList(commBaudRateChoices(), values.downloadBaudRate, "downloadBaudRate");
    parity = makeList(commParityChoices(), values.parity, "parity");
    dataBits = makeList(commDataBitsChoices(), values.dataBits, "dataBits");
    stopBits = makeList(commStopBitsChoices(), values.stopBits, "stopBits");
    flowControl = makeList(commFlowControlChoices(), values.flowControl, "flowControl");
    localEcho = new QCheckBox(QStringLiteral("&Local Echo"));
    localEcho->setObjectName(QStringLiteral("localEcho"));
    localEcho->setChecked(values.localEcho);
    sendCrLf = new QCheckBox(QStringLiteral("Send LF after &CR"));
    sendCrLf->setObjectName(QStringLiteral("sendCrLf"));
    sendCrLf->setChecked(values.sendCrLf);

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("Port #"), portNumber);
    form->addRow(QStringLiteral("&Baud Rate"), baudRate);
    form->addRow(QStringLiteral("&Bk Download Baud Rate"), downloadBaudRate);
    form->addRow(QStringLiteral("P&arity"), parity);
    form->addRow(QStringLiteral("&Data Bits"), dataBits);
    form->addRow(QStringLiteral("&Stop Bits"), stopBits);
    form->addRow(QStringLiteral("&Flow Control"), flowControl);
    form->addRow(localEcho);
    form->addRow(sendCrLf);

    // Where the number leads on this machine, and a way to point it elsewhere.
    auto* deviceBox = new QGroupBox(QStringLiteral("Device on this computer"));
    deviceLabel = new QLabel;
    deviceLabel->setObjectName(QStringLiteral("deviceLabel"));
    deviceLabel->setTextInteractionFlags(Qt::TextSelectableByMouse);
    devices = new QComboBox;
    devices->setObjectName(QStringLiteral("devices"));
    devices->setEditable(true);
    devices->addItems(listSerialDevices());
    // Port servers follow the local devices, chosen the same way.
    devices->addItems(boundRemotePorts(settings));
    devices->setToolTip(QStringLiteral("Serial devices present and the port servers bound "
                                       "before; any device path, or a port server as "
                                       "rfc2217://HOST:PORT, can be typed"));
    auto* bind = new QPushButton(QStringLiteral("Bind to this number"));
    bind->setObjectName(QStringLiteral("bindButton"));
    auto* unbindButton = new QPushButton(QStringLiteral("Remove binding"));
    unbindButton->setObjectName(QStringLiteral("unbindButton"));
    auto* deviceButtons = new QHBoxLayout;
    deviceButtons->addWidget(bind);
    deviceButtons->addWidget(unbindButton);
    auto* deviceLayout = new QVBoxLayout(deviceBox);
    deviceLayout->addWidget(deviceLabel);
    deviceLayout->addWidget(devices);
    deviceLayout->addLayout(deviceButtons);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel);
    connect(buttons, &QDialogButtonBox::accepted, this, &CommSettingsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);

    auto* layout = new QVBoxLayout(this);
    layout->addLayout(form);
    layout->addWidget(deviceBox);
    layout->addWidget(buttons);

    connect(portNumber, &QLineEdit::textChanged, this, &CommSettingsDialog::updateDevice);
    connect(bind, &QPushButton::clicked, this, &CommSettingsDialog::bindSelected);
    connect(unbindButton, &QPushButton::clicked, this, &CommSettingsDialog::unbind);
    updateDevice();
}

int CommSettingsDialog::enteredNumber(bool* ok) const
{
    return portNumber->text().trimmed().toInt(ok, 10);
}

QString CommSettingsDialog::resolvedDevice(int number) const
{
    if (pendingBindings.contains(number)) {
        const QString device = pendingBindings.value(number);
        if (!device.isEmpty())
            return device;
        return resolvePortDevice(portNameFor(number), PortBindingLookup());
    }
    return resolvePortDevice(portNameFor(number), portBindingsOf(settings));
}

void CommSettingsDialog::updateDevice()
{
    bool ok = false;
    const int number = enteredNumber(&ok);
    if (!ok || number < kMinPortNumber || number > kMaxPortNumber) {
        deviceLabel->setText(QStringLiteral("No port with this number"));
        return;
    }
    if (number == kDisconnectPortNumber) {
        deviceLabel->setText(QStringLiteral("COM99: disconnect on OK"));
        return;
    }
    deviceLabel->setText(
        QStringLiteral("%1 is %2").arg(portNameFor(number), resolvedDevice(number)));
}

void CommSettingsDialog::bindSelected()
{
    bool ok = false;
    const int number = enteredNumber(&ok);
    const QString device = devices->currentText().trimmed();
    if (!ok || number < kMinPortNumber || number > kMaxPortNumber || device.isEmpty())
        return;
    RemotePortUrl url;
    if (RemotePortUrl::isRemote(device) && !RemotePortUrl::parse(device, &url)) {
        deviceLabel->setText(QStringLiteral("%1 is not a port address; write "
                                            "rfc2217://HOST:PORT.")
                                 .arg(device));
        return;
    }
    pendingBindings[number] = device;
    updateDevice();
}

void CommSettingsDialog::unbind()
{
    bool ok = false;
    const int number = enteredNumber(&ok);
    if (!ok || number < kMinPortNumber || number > kMaxPortNumber)
        return;
    pendingBindings[number] = QString();
    updateDevice();
}

PortBindingChanges CommSettingsDialog::bindingChanges() const
{
    PortBindingChanges changes;
    for (auto it = pendingBindings.cbegin(); it != pendingBindings.cend(); ++it)
        changes.insert(portNameFor(it.key()), it.value());
    return changes;
}

void CommSettingsDialog::accept()
{
    bool ok = false;
    const int number = enteredNumber(&ok);
    if (!ok || number < kMinPortNumber || number > kMaxPortNumber) {
        feedback.message(kRangeMessage.arg(kMinPortNumber).arg(kMaxPortNumber),
                         QStringLiteral("Brennock"), MessageIcon::Warning);
        portNumber->setFocus();
        portNumber->selectAll();
        return; // the dialog stays open
    }
    result.portNumber = number;
    result.baudRate = listValue(baudRate, result.baudRate);
    result.downloadBaudRate = listValue(downloadBaudRate, result.downloadBaudRate);
    result.parity = listValue(parity, result.parity);
    result.dataBits = listValue(dataBits, result.dataBits);
    result.stopBits = listValue(stopBits, result.stopBits);
    result.flowControl = listValue(flowControl, result.flowControl);
    result.localEcho = localEcho->isChecked();
    result.sendCrLf = sendCrLf->isChecked();
    QDialog::accept();
}
