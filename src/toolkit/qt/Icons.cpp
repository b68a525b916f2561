#include "toolkit/qt/Icons.h"

#include <QColor>
#include <QPainter>
#include <QPainterPath>
#include <QPolygonF>

namespace vandrelux::platform::qt {

QPixmap AppIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 32.0, size / 32.0);

    // The box: a dark body with a front panel, a display and a power lamp.
    p.setPen(QPen(QColor(20, 30, 45), 1.0));
    p.setBrush(QColor(52, 66, 88));
    p.drawRoundedRect(QRectF(1.5, 15.5, 29, 12), 2.5, 2.5);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(24, 180, 90));
    p.drawRect(QRectF(5, 19, 11, 5));
    p.setBrush(QColor(255, 170, 30));
    p.drawEllipse(QPointF(25.5, 21.5), 1.8, 1.8);
    p.setBrush(QColor(20, 30, 45));
    p.drawRect(QRectF(5, 27.5, 3, 2));
    p.drawRect(QRectF(24, 27.5, 3, 2));

    // The update arriving: an arrow pointing down into the box.
    QPainterPath arrow;
    arrow.addPolygon(QPolygonF({QPointF(12, 1), QPointF(20, 1), QPointF(20, 7), QPointF(25, 7),
                                QPointF(16, 14), QPointF(7, 7), QPointF(12, 7)}));
    arrow.closeSubpath();
    p.setPen(QPen(QColor(10, 70, 140), 1.0));
    p.setBrush(QColor(40, 130, 230));
    p.drawPath(arrow);
    return pixmap;
}

QIcon AppIcon() {
    QIcon icon;
    for (const int size : {16, 24, 32, 48, 64}) {
        icon.addPixmap(AppIconPixmap(size));
    }
    return icon;
}

}  // namespace vandrelux::platform::qt
