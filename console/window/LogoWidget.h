#pragma once

#include <QPixmap>
#include <QWidget>

class QPainter;
class QRectF;

// The program's logo: a broker with three clients around it on a tarn-blue tile.
// Drawn in code so that the window needs no image plug-in; data/tarnwick.svg is
// the same picture for the desktop.
void PaintTarnwickLogo(QPainter& painter, const QRectF& area);
QPixmap TarnwickLogoPixmap(int size);

// Image1: the logo, without behaviour.
class TLogoWidget : public QWidget {
public:
    explicit TLogoWidget(int size, QWidget* parent = nullptr);

protected:
    void paintEvent(QPaintEvent* event) override;
};
