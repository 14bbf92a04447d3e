#pragma once

#include <QSpinBox>

// An integer field with inclusive limits. Text that is no number reads as the
// minimum, and a value outside the limits becomes the nearer limit when the user
// leaves the field.
class TIntSpinBox : public QSpinBox {
public:
    TIntSpinBox(int min, int max, QWidget* parent = nullptr);

protected:
    void fixup(QString& input) const override;
};
