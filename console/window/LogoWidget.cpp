#include "console/window/LogoWidget.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>

#include <cmath>
#include <numbers>

void PaintTarnwickLogo(QPainter& painter, const QRectF& area)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    // Everything is laid out on a 64 x 64 grid and scaled to the area.
    const qreal side = std::min(area.width(), area.height());
    painter.translate(area.center().x() - side / 2, area.center().y() - side / 2);
    painter.scale(side / 64.0, side / 64.0);

    QLinearGradient tile(0, 0, 0, 64);
    tile.setColorAt(0, QColor(0x2b, 0x6c, 0x8f));
    tile.setColorAt(1, QColor(0x12, 0x3a, 0x52));
    painter.setPen(Qt::NoPen);
    painter.setBrush(tile);
    painter.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);

    // The water line of the tarn.
    QPainterPath wave;
    wave.moveTo(8, 50);
    wave.cubicTo(18, 45, 24, 55, 32, 50);
    wave.cubicTo(40, 45, 46, 55, 56, 50);
    painter.setPen(QPen(QColor(0x8f, 0xd3, 0xe8), 2.5, Qt::SolidLine, Qt::RoundCap));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(wave);

    // Three clients around the broker, each on its own line.
    const QPointF broker(32, 27);
    const QColor client(0xff, 0xc8, 0x57);
    for (int i = 0; i < 3; ++i) {
        const double angle = (-90.0 + 120.0 * i) * std::numbers::pi / 180.0;
        const QPointF end(broker.x() + 17 * std::cos(angle), broker.y() + 17 * std::sin(angle));
        painter.setPen(QPen(QColor(255, 255, 255, 200), 2.2, Qt::SolidLine, Qt::RoundCap));
        painter.drawLine(broker, end);
        painter.setPen(Qt::NoPen);
        painter.setBrush(client);
        painter.drawEllipse(end, 5, 5);
    }
    painter.setPen(QPen(QColor(0x12, 0x3a, 0x52), 1.5));
    painter.setBrush(Qt::white);
    painter.drawEllipse(broker, 8, 8);
    painter.restore();
}

QPixmap TarnwickLogoPixmap(int size)
{
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    PaintTarnwickLogo(painter, QRectF(0, 0, size, size));
    return pixmap;
}

TLogoWidget::TLogoWidget(int size, QWidget* parent) : QWidget(parent)
{
    setFixedSize(size, size);
}

void TLogoWidget::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    PaintTarnwickLogo(painter, QRectF(rect()));
}
