#include "LoadProgressDialog.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

// No parent: a disabled main window would disable its child windows too, and the
// dialog's Cancel must stay usable. The owner is only disabled and re-enabled.
LoadProgressDialog::LoadProgressDialog(QWidget* ownerWindow)
    : QDialog(nullptr, Qt::Dialog | Qt::WindowTitleHint | Qt::CustomizeWindowHint),
      owner(ownerWindow)
{
    setObjectName(QStringLiteral("loadProgressDialog"));
    setModal(false);
    status = new QLabel(this);
    status->setObjectName(QStringLiteral("progressText"));
    status->setMinimumWidth(280);
    progressBar = new QProgressBar(this);
    progressBar->setObjectName(QStringLiteral("progressBar"));
    progressBar->setTextVisible(false);
    cancel = new QPushButton(QStringLiteral("Cancel"), this);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    // Enter must not end a transfer: no button is the default.
    cancel->setAutoDefault(false);
    cancel->setDefault(false);
    connect(cancel, &QPushButton::clicked, this, [this] { requestCancel(); });

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(cancel);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(status);
    layout->addWidget(progressBar);
    layout->addLayout(buttons);
    showRange();
    showPosition();
}

LoadProgressDialog::~LoadProgressDialog()
{
    hide();
    if (reenableOwner && owner) {
        owner->setEnabled(true);
        // The dialog had the keyboard; without this, typing goes nowhere until the user
        // clicks the terminal (window managers do not give it back by themselves).
        owner->window()->activateWindow();
    }
}

bool LoadProgressDialog::openView()
{
    if (owner && owner->isEnabled()) {
        owner->setEnabled(false);
        reenableOwner = true;
    }
    showTitle();
    showText();
    showRange();
    showPosition();
    show();
    raise();
    // The first paint, before the transfer's first blocking read.
    QCoreApplication::processEvents();
    return true;
}

void LoadProgressDialog::pumpEvents()
{
    // Everything waiting, never waiting for more.
    QCoreApplication::processEvents(QEventLoop::AllEvents);
}

void LoadProgressDialog::showTitle()
{
    setWindowTitle(title());
}

void LoadProgressDialog::showText()
{
    status->setText(text());
}

void LoadProgressDialog::showRange()
{
    progressBar->setRange(rangeLow(), std::max(rangeLow(), rangeHigh()));
}

void LoadProgressDialog::showPosition()
{
    progressBar->setValue(position());
}

void LoadProgressDialog::keyPressEvent(QKeyEvent* event)
{
    switch (event->key()) {
    case Qt::Key_Escape:
        requestCancel();
        event->accept();
        return;
    case Qt::Key_Return:
    case Qt::Key_Enter:
        event->accept(); // does nothing
        return;
    default:
        QDialog::keyPressEvent(event);
    }
}

void LoadProgressDialog::closeEvent(QCloseEvent* event)
{
    // The transfer closes the dialog when it has ended.
    requestCancel();
    event->ignore();
}

void LoadProgressDialog::reject()
{
    requestCancel();
}
