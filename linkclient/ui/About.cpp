#include "About.h"

#include "ui_About.h"

namespace
{
constexpr int kVersionMajor = 4;
constexpr int kVersionMinor = 0;
constexpr int kVersionPatch = 1;
} // namespace

About::About(QWidget* parent) : QDialog(parent), ui(new Ui::About)
{
    ui->setupUi(this);
    ui->lVerNum->setText(QStringLiteral("Version: %1.%2.%3")
                             .arg(kVersionMajor)
                             .arg(kVersionMinor)
                             .arg(kVersionPatch));
    ui->lVerStr->setText(QStringLiteral("USB data transfers for Harbrook instruments."));
}

About::~About()
{
    delete ui;
}
