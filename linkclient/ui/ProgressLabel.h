// A label that shows "done of total unit": kB for totals up to 100000 bytes,
// MB above (decimal units), two decimals.
#pragma once

#include <QLabel>

class ProgressLabel : public QLabel
{
    Q_OBJECT
public:
    explicit ProgressLabel(QWidget* parent = nullptr);

    qint64 maxValue() const { return maximum; }
    qint64 currentValue() const { return value; }

public slots:
    // Stores the total; the text follows at the next setValue.
    virtual void setMaxValue(qint64 max);
    virtual void setValue(qint64 v);

private:
    qint64 maximum = 100;
    qint64 value = 0;
};
