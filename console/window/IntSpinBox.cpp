#include "console/window/IntSpinBox.h"

#include "console/form/Form1.h"

#include <QRegularExpression>

TIntSpinBox::TIntSpinBox(int min, int max, QWidget* parent) : QSpinBox(parent)
{
    setRange(min, max);
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
    setAccelerated(true);
}

// A number in the limits is taken as typed; one outside them stays as typed
// (Intermediate) until fixup clamps it, instead of the keystroke being dropped.
QValidator::State TIntSpinBox::validate(QString& input, int& /*pos*/) const
{
    static const QRegularExpression number(QStringLiteral("^\\s*[+-]?[0-9]*\\s*$"));
    if (!number.match(input).hasMatch())
        return QValidator::Invalid;
    bool ok = false;
    const qlonglong value = input.trimmed().toLongLong(&ok);
    return ok && value >= minimum() && value <= maximum() ? QValidator::Acceptable : QValidator::Intermediate;
}

void TIntSpinBox::fixup(QString& input) const
{
    input = QString::number(valueFromText(input));
}

int TIntSpinBox::valueFromText(const QString& text) const
{
    return TIntField{{}, text.toStdString(), minimum(), maximum()}.Value();
}
