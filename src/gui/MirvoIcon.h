#pragma once

#include <QPainter>
#include <QRectF>

// The application icon, drawn into `rect` (a square): the resource ":/mirvo-icon.png" clipped to
// a rounded square, or a dark rounded placeholder when the resource is missing.
namespace MirvoIcon {

inline const QString resourcePath = QStringLiteral(":/mirvo-icon.png");

void draw(QPainter& painter, const QRectF& rect, const QString& resource = resourcePath);

} // namespace MirvoIcon
