// Shows the local names of an upload beside their proposed card names and lets
// the user retype card names. OK hands the whole list back through
// newShortNames, but only when every name is a usable 8.3 name and no two are
// alike; otherwise the problem is shown and the dialog stays open.
#pragma once

#include <QDialog>
#include <QStringList>

class QTableWidgetItem;

namespace Ui
{
class DialogFileRename;
}

class DialogFileRename : public QDialog
{
    Q_OBJECT
public:
    explicit DialogFileRename(QWidget* parent = nullptr);
    ~DialogFileRename() override;

    void setFileNames(const QStringList& full, const QStringList& shortened);
    QStringList currentShortNames() const { return shortNames; }
    Ui::DialogFileRename* form() const { return ui; }

signals:
    void newShortNames(const QStringList& names);

private slots:
    void itemChangedSlot(QTableWidgetItem* item);
    void on_buttonBox_accepted();

private:
    Ui::DialogFileRename* ui;
    QStringList fullNames;
    QStringList shortNames;
};
