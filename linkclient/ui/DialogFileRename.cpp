#include "DialogFileRename.h"

#include "LinkLog.h"
#include "ShortNames.h"
#include "ui_DialogFileRename.h"


DialogFileRename::DialogFileRename(QWidget* parent) : QDialog(parent), ui(new Ui::DialogFileRename)
{
    ui->setupUi(this);
    ui->lProblem->hide();
    connect(ui->tableWidget, &QTableWidget::itemChanged, this, &DialogFileRename::itemChangedSlot);
}

DialogFileRename::~DialogFileRename()
{
    delete ui;
}

void DialogFileRename::setFileNames(const QStringList& full, const QStringList& shortened)
{
    fullNames = full;
    shortNames = shortened;
    ui->tableWidget->setRowCount(fullNames.size());
    for (int row = 0; row < fullNames.size(); ++row)
        ui->tableWidget->setItem(row, 0, new QTableWidgetItem(fullNames.at(row)));
    for (int row = 0; row < shortNames.size() && row < fullNames.size(); ++row)
        ui->tableWidget->setItem(row, 1, new QTableWidgetItem(shortNames.at(row)));
}

void DialogFileRename::itemChangedSlot(QTableWidgetItem* item)
{
    if (!item || !item->tableWidget())
        return;
    const int row = item->row();
    const int column = item->column();
    if (column != 1 || row < 0 || row >= shortNames.size())
        return;
    shortNames[row] = item->text();
    qCDebug(lcLink) << "Actually changing the name now." << row << column << item->text();
}

void DialogFileRename::on_buttonBox_accepted()
{
    const QString problem = shortnames::problemWithNames(shortNames);
    if (!problem.isEmpty()) {
        ui->lProblem->setText(QStringLiteral("Cannot upload: %1.").arg(problem));
        ui->lProblem->show();
        return;
    }
    qCDebug(lcLink) << "Accepted Pushed" << shortNames.value(0);
    accept();
    emit newShortNames(shortNames);
}
