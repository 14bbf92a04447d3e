#pragma once

#include <QSpinBox>

// An integer field with inclusive limits. Any number may be typed, also one
// outside the limits: it becomes the nearer limit when the user leaves the field
// or presses Enter, and text that is no number reads as the minimum - the rule
// of the form's own integer fields (TIntField). Keys other than digits and a
// sign are refused.
class TIntSpinBox : public QSpinBox {
public:
    TIntSpinBox(int min, int max, QWidget* parent = nullptr);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
    int valueFromText(const QString& text) const override;
};
