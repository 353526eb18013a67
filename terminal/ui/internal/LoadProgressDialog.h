// LoadProgressDialog: the modeless dialog of every long loader transfer.
//
// It shows the transfer's title, one status line, a bar and a Cancel button.
// While open it disables the main window (so no command can start a second
// transfer) and is re-enabled when it goes; each progress call of the transfer
// pumps the event queue, which is what keeps the program painting. Cancel, the
// Escape key and the window's close button only record the press for the
// transfer's next CheckCancel; Enter does nothing. The bar's range is an int:
// files of any size show a true bar.
#pragma once

#include "LoadProgress.h"

#include <QDialog>
#include <QPointer>

class QLabel;
class QProgressBar;
class QPushButton;

class LoadProgressDialog : public QDialog, public LoadProgress
{
    Q_OBJECT

public:
    // owner: the window disabled while the dialog is open (the main window).
    explicit LoadProgressDialog(QWidget* owner);
    ~LoadProgressDialog() override;

    QProgressBar* bar() const { return progressBar; }
    QLabel* statusLabel() const { return status; }
    QPushButton* cancelButton() const { return cancel; }

protected:
    bool openView() override;
    void pumpEvents() override;
    void showTitle() override;
    void showText() override;
    void showRange() override;
    void showPosition() override;

    void keyPressEvent(QKeyEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void reject() override;

private:
    QPointer<QWidget> owner;
    bool reenableOwner = false;
    QLabel* status = nullptr;
    QProgressBar* progressBar = nullptr;
    QPushButton* cancel = nullptr;
};
