// The tray icons and the application icon: a handset in a few colours
// and poses.

#include "ui/icon_art.h"

#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>
#include <QRadialGradient>

#include <array>

namespace orvalis::ui {
namespace {

// A handset lying on its side, ends down, in a 100-unit box around (0, 0).
QPainterPath handset() {
  QPainterPath handle(QPointF(-30, 2));
  handle.cubicTo(QPointF(-18, -24), QPointF(18, -24), QPointF(30, 2));
  QPainterPathStroker stroker;
  stroker.setWidth(22);
  stroker.setCapStyle(Qt::FlatCap);
  QPainterPath shape = stroker.createStroke(handle);
  QPainterPath ends;
  ends.addRoundedRect(QRectF(-50, -6, 36, 30), 10, 10);
  ends.addRoundedRect(QRectF(14, -6, 36, 30), 10, 10);
  return shape.united(ends).simplified();
}

void drawHandset(QPainter& p, QPointF centre, double size, double angle, const QColor& colour) {
  p.save();
  p.translate(centre);
  p.rotate(angle);
  p.scale(size / 100, size / 100);
  QLinearGradient shade(0, -25, 0, 25);
  shade.setColorAt(0, colour.lighter(140));
  shade.setColorAt(1, colour.darker(115));
  QPen outline(colour.darker(190), 1);
  outline.setCosmetic(true);
  p.setPen(outline);
  p.setBrush(shade);
  p.drawPath(handset());
  p.restore();
}

QImage transparent(int size) {
  QImage img(size, size, QImage::Format_ARGB32);
  img.fill(Qt::transparent);
  return img;
}

}  // namespace

QImage drawTrayIcon(int index) {
  struct Pose {
    QColor colour;
    double angle;
    double dy;
  };
  const std::array<Pose, trayIconCount> poses{Pose{{214, 40, 40}, 0, 1}, Pose{{214, 40, 40}, 0, 1},
                                  Pose{{40, 96, 224}, 0, 1}, Pose{{30, 180, 60}, -18, 0},
                                  Pose{{30, 180, 60}, 18, 0}};
  const Pose& pose = poses.at(static_cast<std::size_t>(index));
  QImage img = transparent(16);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  drawHandset(p, QPointF(8, 7 + pose.dy), 16, pose.angle, pose.colour);
  if (index == 0) {
    p.setPen(QPen(QColor(128, 0, 0), 1.6, Qt::SolidLine, Qt::RoundCap));
    p.drawLine(QPointF(3, 3), QPointF(13, 13));
    p.drawLine(QPointF(13, 3), QPointF(3, 13));
  }
  return img;
}

QImage drawAppIcon(int size) {
  QImage img = transparent(size);
  QPainter p(&img);
  p.setRenderHint(QPainter::Antialiasing);
  p.scale(size / double(appIconSize), size / double(appIconSize));
  QLinearGradient back(0, 4, 0, 124);
  back.setColorAt(0, QColor(64, 72, 88));
  back.setColorAt(1, QColor(26, 30, 38));
  p.setPen(QPen(QColor(16, 18, 22), 2));
  p.setBrush(back);
  p.drawRoundedRect(QRectF(5, 5, 118, 118), 24, 24);

  QRadialGradient glow(QPointF(64, 70), 50);
  glow.setColorAt(0, QColor(60, 200, 110, 110));
  glow.setColorAt(1, QColor(60, 200, 110, 0));
  p.setPen(Qt::NoPen);
  p.setBrush(glow);
  p.drawEllipse(QPointF(64, 70), 50, 50);

  // Waves rising from the handset.
  p.setBrush(Qt::NoBrush);
  for (int i = 0; i < 3; ++i) {
    p.setPen(QPen(QColor(150, 230, 170, 230 - 50 * i), 5, Qt::SolidLine, Qt::RoundCap));
    const double r = 12 + 11 * i;
    p.drawArc(QRectF(80 - r, 46 - r, 2 * r, 2 * r), 5 * 16, 80 * 16);
  }
  drawHandset(p, QPointF(56, 80), 88, -28, QColor(60, 190, 96));
  return img;
}

}  // namespace orvalis::ui
