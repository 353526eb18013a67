#include "ProgressDialog.h"

#include "ui_ProgressDialog.h"

namespace
{
// Truncated toward zero. Outside 0-100 (more done than the total, a total of 0)
// the bar keeps its value, as QProgressBar does for values out of its range.
void showPercent(QProgressBar* bar, qint64 done, qint64 total)
{
    if (total == 0)
        return;
    const double p = double(done) * 100.0 / double(total);
    if (p >= 0.0 && p < 101.0)
        bar->setValue(int(p));
}
} // namespace

ProgressDialog::ProgressDialog(QWidget* parent) : QDialog(parent), ui(new Ui::ProgressDialog)
{
    ui->setupUi(this);
    ui->pbarFile->setRange(0, 100);
    ui->pbarTotal->setRange(0, 100);
}

ProgressDialog::~ProgressDialog()
{
    delete ui;
}

void ProgressDialog::setFileName(const QString& name)
{
    ui->lFileName->setText(name);
}

void ProgressDialog::setFileSize(qint64 n)
{
    ui->lFileRate->setMaxValue(n);
}

void ProgressDialog::setFileCompleted(qint64 n)
{
    const qint64 max = ui->lFileRate->maxValue();
    ui->lFileRate->setValue(n);
    showPercent(ui->pbarFile, n, max);
}

void ProgressDialog::setSessionSize(qint64 n)
{
    ui->lJobRate->setMaxValue(n);
}

void ProgressDialog::setSessionCompleted(qint64 n)
{
    const qint64 max = ui->lJobRate->maxValue();
    ui->lJobRate->setValue(n);
    showPercent(ui->pbarTotal, n, max);
}

void ProgressDialog::on_pbCancel_clicked()
{
    emit cancelTransfer();
}
