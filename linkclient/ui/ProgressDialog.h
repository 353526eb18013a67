// Shows the file in transfer and the progress of the file and of the whole job,
// as told by the link's signals; its Cancel button asks the link to stop.
#pragma once

#include <QDialog>

namespace Ui
{
class ProgressDialog;
}

class ProgressDialog : public QDialog
{
    Q_OBJECT
public:
    explicit ProgressDialog(QWidget* parent = nullptr);
    ~ProgressDialog() override;

    Ui::ProgressDialog* form() const { return ui; }

public slots:
    void setFileName(const QString& name);
    void setFileSize(qint64 n);
    void setFileCompleted(qint64 n);
    void setSessionSize(qint64 n);
    void setSessionCompleted(qint64 n);

signals:
    void cancelTransfer();

private slots:
    void on_pbCancel_clicked();

private:
    Ui::ProgressDialog* ui;
};
