#include "MirvoIcon.h"

#include <QPainterPath>
#include <QPixmap>

void MirvoIcon::draw(QPainter& painter, const QRectF& rect, const QString& resource) {
    const double radius = rect.width() * 0.22;
    QPainterPath rounded;
    rounded.addRoundedRect(rect, radius, radius);
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    const QPixmap icon(resource);
    if (!icon.isNull()) {
        painter.setClipPath(rounded);
        painter.drawPixmap(rect, icon, QRectF(icon.rect()));
    } else {
        painter.fillPath(rounded, QColor(11, 13, 18));
    }
    painter.restore();
}
