// Where the window asks the user for a destination folder, files to upload and
// a review of the card names. The program uses the native dialogs; tests answer
// through their own implementation.
#pragma once

#include <QList>
#include <QString>
#include <QUrl>

class QWidget;
class DialogFileRename;

class TransferChoices
{
public:
    virtual ~TransferChoices() = default;
    // Empty when the user cancelled.
    virtual QString destinationDirectory(QWidget* parent, const QString& start) = 0;
    // Empty when the user cancelled.
    virtual QList<QUrl> filesToUpload(QWidget* parent, const QUrl& start) = 0;
    // Runs the short-name dialog; QDialog::Accepted or Rejected.
    virtual int reviewShortNames(DialogFileRename& dialog) = 0;
};

class NativeTransferChoices : public TransferChoices
{
public:
    QString destinationDirectory(QWidget* parent, const QString& start) override;
    QList<QUrl> filesToUpload(QWidget* parent, const QUrl& start) override;
    int reviewShortNames(DialogFileRename& dialog) override;
};
