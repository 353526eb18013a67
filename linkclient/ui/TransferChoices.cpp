#include "TransferChoices.h"

#include "DialogFileRename.h"

#include <QFileDialog>

QString NativeTransferChoices::destinationDirectory(QWidget* parent, const QString& start)
{
    return QFileDialog::getExistingDirectory(parent, QStringLiteral("Select Destination Directory"),
                                             start, QFileDialog::ShowDirsOnly);
}

QList<QUrl> NativeTransferChoices::filesToUpload(QWidget* parent, const QUrl& start)
{
    return QFileDialog::getOpenFileUrls(
        parent, QStringLiteral("Select one or more files to upload"), start,
        QStringLiteral("Common Files (*.cfg *.CFG *.bat *.BAT *.RUN *.APP);;All Files (*)"));
}

int NativeTransferChoices::reviewShortNames(DialogFileRename& dialog)
{
    return dialog.exec();
}
