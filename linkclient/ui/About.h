// The About box: logo, icon, program name and version.
#pragma once

#include <QDialog>

namespace Ui
{
class About;
}

class About : public QDialog
{
    Q_OBJECT
public:
    explicit About(QWidget* parent = nullptr);
    ~About() override;

private:
    Ui::About* ui;
};
