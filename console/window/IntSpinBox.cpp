#include "console/window/IntSpinBox.h"

#include <algorithm>

TIntSpinBox::TIntSpinBox(int min, int max, QWidget* parent) : QSpinBox(parent)
{
    setRange(min, max);
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setAccelerated(true);
}

void TIntSpinBox::fixup(QString& input) const
{
    bool ok = false;
    const qlonglong value = input.trimmed().toLongLong(&ok);
    if (!ok) {
        input = QString::number(minimum());
        return;
    }
    input = QString::number(std::clamp<qlonglong>(value, minimum(), maximum()));
}
