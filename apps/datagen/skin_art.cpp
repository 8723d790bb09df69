// The skin bitmaps. Everything inside the body stays well away from pure
// white, which marks the outside of the window.

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <array>
#include <span>

#include "art.h"

namespace orvalis::datagen {
namespace {

QLinearGradient vertical(double top, double bottom, const QColor& a, const QColor& b) {
  QLinearGradient g(0, top, 0, bottom);
  g.setColorAt(0, a);
  g.setColorAt(1, b);
  return g;
}

void roundRect(QPainter& p, const QRectF& r, double radius, const QBrush& fill,
               const QPen& pen = Qt::NoPen) {
  p.setPen(pen);
  p.setBrush(fill);
  p.drawRoundedRect(r, radius, radius);
}

// A dark recess with a shadow along its top and a faint light along its bottom.
void recess(QPainter& p, const QRectF& r, double radius, const QColor& inside) {
  roundRect(p, r.adjusted(0, 1, 0, 1), radius, QColor(120, 128, 142));
  roundRect(p, r, radius, QColor(14, 16, 20));
  roundRect(p, r.adjusted(1.5, 2, -1.5, -1), radius - 1, inside);
}

}  // namespace

QImage drawBackground() {
  QImage img(210, 405, QImage::Format_RGB888);
  img.fill(Qt::white);
  QPainter p(&img);

  // The body's outline without antialiasing: an edge blended with the
  // white outside would leave a light fringe around the window.
  const QRectF body(4, 2, 202, 401);
  roundRect(p, body, 16, vertical(2, 403, QColor(60, 66, 78), QColor(28, 31, 38)));
  p.setRenderHint(QPainter::Antialiasing);
  roundRect(p, body.adjusted(1.5, 1.5, -1.5, -1.5), 15, Qt::NoBrush,
            QPen(QColor(104, 112, 128), 1));

  // Earpiece slot in the top bar, left of the menu button.
  recess(p, QRectF(20, 13, 44, 10), 4, QColor(24, 26, 30));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(52, 56, 64));
  for (int x = 26; x <= 58; x += 6) p.drawEllipse(QPointF(x, 18.5), 1.3, 1.3);

  // The lighter face holding the display and the keypad.
  roundRect(p, QRectF(9, 31, 192, 307), 12,
            vertical(31, 338, QColor(98, 107, 122), QColor(70, 77, 90)),
            QPen(QColor(40, 44, 52), 1));

  // Display bezel: the window paints the display itself inside it.
  recess(p, QRectF(19, 34, 173, 128), 9, QColor(34, 40, 36));

  // Keypad plate, exactly under the keypad and address-book panels.
  roundRect(p, QRectF(15, 192, 180, 140), 8,
            vertical(192, 332, QColor(112, 121, 138), QColor(90, 98, 113)),
            QPen(QColor(52, 57, 67), 1));

  // Push-to-talk strip: the panel over it stretches its picture sideways,
  // so inside the area it changes only from top to bottom.
  recess(p, QRectF(31, 337, 148, 50), 8, QColor(22, 24, 29));
  p.setPen(Qt::NoPen);
  p.setBrush(vertical(340, 383, QColor(66, 72, 84), QColor(40, 44, 52)));
  p.drawRect(QRectF(35, 340, 140, 43));

  // Round socket for the list button, and the microphone holes opposite it.
  recess(p, QRectF(9, 370, 26, 26), 8, QColor(30, 33, 40));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(12, 13, 16));
  for (int i = 0; i < 3; ++i) p.drawEllipse(QPointF(186 + 5 * (i - 1), 392), 1.4, 1.4);
  p.drawEllipse(QPointF(186, 387), 1.4, 1.4);
  return img;
}

namespace {

struct KeyLook {
  QColor top, bottom, corner;
};

// One key in its released (row 0) and pressed (row 1) look.
void drawKey(QPainter& p, int x, int w, int h, const KeyLook& look) {
  for (int row = 0; row < 2; ++row) {
    const QRectF tile(x, row * h, w, h);
    p.setRenderHint(QPainter::Antialiasing, false);
    p.fillRect(tile, look.corner);
    p.setRenderHint(QPainter::Antialiasing);
    const double y = tile.top();
    const QRectF face = tile.adjusted(0.5, 0.5, -0.5, -0.5);
    if (row == 0) {
      roundRect(p, face, 4, vertical(y, y + h, look.top, look.bottom), QPen(QColor(36, 40, 48), 1));
      p.setPen(QPen(look.top.lighter(125), 1));
      p.drawLine(QPointF(x + 4, y + 1.5), QPointF(x + w - 4, y + 1.5));
    } else {
      roundRect(p, face, 4, vertical(y, y + h, look.bottom.darker(118), look.top.darker(108)),
                QPen(QColor(24, 26, 32), 1));
      p.setPen(QPen(look.bottom.darker(150), 1));
      p.drawLine(QPointF(x + 3, y + 1.5), QPointF(x + w - 3, y + 1.5));
    }
  }
}

QImage sheet(int w, int h, std::span<const KeyLook> looks) {
  QImage img(w * static_cast<int>(looks.size()), h * 2, QImage::Format_RGB888);
  QPainter p(&img);
  for (std::size_t i = 0; i < looks.size(); ++i)
    drawKey(p, static_cast<int>(i) * w, w, h, looks[i]);
  return img;
}

const QColor plate(100, 109, 124);
const QColor face(86, 94, 108);
const QColor darkBody(50, 55, 65);

}  // namespace

QImage drawKeypadTiles() {
  const std::array looks{KeyLook{{184, 192, 206}, {132, 140, 156}, plate},   // digits
                         KeyLook{{160, 190, 194}, {104, 134, 142}, plate}};  // functions
  return sheet(50, 20, looks);
}

QImage drawWideTiles() {
  const std::array looks{KeyLook{{172, 214, 172}, {116, 166, 120}, face},       // call
                         KeyLook{{228, 166, 160}, {180, 112, 108}, face},       // hang up
                         KeyLook{{214, 190, 128}, {164, 138, 76}, darkBody},    // reception
                         KeyLook{{160, 184, 222}, {106, 130, 176}, darkBody}};  // transmission
  return sheet(70, 20, looks);
}

QImage drawSmallTiles() {
  const std::array looks{KeyLook{{150, 156, 170}, {100, 106, 120}, darkBody}};
  return sheet(20, 20, looks);
}

}  // namespace orvalis::datagen
