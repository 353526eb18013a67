#include "ProgressLabel.h"

ProgressLabel::ProgressLabel(QWidget* parent) : QLabel(parent) {}

void ProgressLabel::setMaxValue(qint64 max)
{
    maximum = max;
}

void ProgressLabel::setValue(qint64 v)
{
    value = v;
    const bool mega = maximum > 100000;
    const double divisor = mega ? 1000000.0 : 1000.0;
    setText(QStringLiteral("%1 of %2 %3")
                .arg(double(value) / divisor, 1, 'f', 2)
                .arg(double(maximum) / divisor, 1, 'f', 2)
                .arg(mega ? QStringLiteral("MB") : QStringLiteral("kB")));
}
