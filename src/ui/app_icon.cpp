#include "ui/app_icon.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QRadialGradient>

namespace talmeris::ui {
namespace {

// The icon at `size` pixels, in the 128-unit coordinates of talmeris.svg.
QPixmap Draw(int size) {
  QPixmap pixmap(size, size);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / 128.0, size / 128.0);
  QPainterPath tile;
  tile.addRoundedRect(QRectF(4, 4, 120, 120), 22, 22);
  QLinearGradient sky(0, 4, 0, 124);
  sky.setColorAt(0, QColor(0x06, 0x0a, 0x1e));
  sky.setColorAt(1, QColor(0x22, 0x1c, 0x46));
  p.fillPath(tile, sky);
  p.setClipPath(tile);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xeb, 0xeb, 0xff));
  for (const QPointF& star : {QPointF(24, 22), QPointF(58, 14), QPointF(96, 26), QPointF(80, 46),
                              QPointF(36, 50), QPointF(108, 60)}) {
    p.drawEllipse(star, 1.1, 1.1);
  }
  QRadialGradient planet(QPointF(64, 95), 190);
  planet.setColorAt(0, QColor(0x5a, 0xa0, 0xd2));
  planet.setColorAt(0.6, QColor(0x28, 0x5a, 0x8c));
  planet.setColorAt(1, QColor(0x0a, 0x1e, 0x3c));
  p.setBrush(planet);
  p.drawEllipse(QPointF(64, 178), 104, 104);
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0xff, 0xbe, 0x6e), 2.5));
  p.drawArc(QRectF(64 - 104, 178 - 104, 208, 208), 60 * 16, 60 * 16);
  p.setClipping(false);
  QPen trail(QColor(255, 255, 255, 128), 2, Qt::CustomDashLine);
  trail.setDashPattern({2, 2});
  p.setPen(trail);
  p.drawLine(QPointF(34, 92), QPointF(84, 40));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xff, 0xe6, 0xa0));
  p.drawPolygon(QPolygonF({QPointF(92, 32), QPointF(76, 40), QPointF(84, 48)}));
  return pixmap;
}

}  // namespace

QIcon AppIcon() {
  QIcon icon;
  for (int size : {16, 32, 48, 64, 128}) icon.addPixmap(Draw(size));
  return icon;
}

}  // namespace talmeris::ui
