#include "ui/skin_images.h"

#include <QFontMetrics>
#include <QPainter>
#include <QPainterPath>
#include <stdexcept>

namespace orvalis::ui {
namespace {

constexpr int windowWidth = 210;
constexpr int windowHeight = 405;
constexpr QRgb white = 0xFFFFFFFF;
constexpr QColor displayColour{192, 220, 192};

// A skin file that cannot be read still leaves a usable window: released
// tiles are a plain grey, pressed ones a darker grey.
QImage plainTiles(int w, int h, int columns) {
  QImage img(w * columns, h * 2, QImage::Format_RGB32);
  QPainter p(&img);
  p.fillRect(0, 0, img.width(), h, QColor(168, 168, 168));
  p.fillRect(0, h, img.width(), h, QColor(128, 128, 128));
  return img;
}

QImage loadTiles(const QString& file, int w, int h, int columns) {
  QImage img(file);
  if (img.isNull()) return plainTiles(w, h, columns);
  return img.convertToFormat(QImage::Format_RGB32);
}

// The same outline as a real skin, so the window keeps its shape.
QImage plainBackground() {
  QImage img(windowWidth, windowHeight, QImage::Format_RGB32);
  img.fill(white);
  QPainter p(&img);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(96, 100, 108));
  p.drawRoundedRect(QRect(4, 2, windowWidth - 8, windowHeight - 4), 16, 16);
  return img;
}

// Always 210 x 405, so the panel copies and the outline stay in bounds; a
// bitmap of another size is cropped or padded with the key colour.
QImage loadBackground(const QString& file) {
  QImage img(file);
  if (img.isNull()) return plainBackground();
  img = img.convertToFormat(QImage::Format_RGB32);
  if (img.size() == QSize(windowWidth, windowHeight)) return img;
  QImage fitted(windowWidth, windowHeight, QImage::Format_RGB32);
  fitted.fill(white);
  QPainter(&fitted).drawImage(0, 0, img);
  return fitted;
}

}  // namespace

int tileColumn(int i, int n, int s, int c) {
  if (c < 2) return 0;
  if (n == c) return i;
  return i < s ? 0 : 1;
}

void CButDraw::BuildImages(const QStringList& captions, int w, int h, int n, int s,
                           const QString& file, int c, const QFont& font) {
  list_.clear();
  const QImage source = loadTiles(file, w, h, c < 2 ? 1 : c);
  QImage work(w, h, QImage::Format_RGB32);
  const QFontMetrics metrics(font, &work);
  constexpr std::array<QColor, 3> stateColours{QColor(0, 0, 255), QColor(255, 255, 0),
                                               QColor(0, 255, 0)};
  const QColor silver(192, 192, 192);
  for (int i = 0; i < n; ++i) {
    const QString caption = i < captions.size() ? captions[i] : QString();
    const int tw = metrics.horizontalAdvance(caption);
    const int th = metrics.height();
    // Text is placed by its top-left corner; Qt draws from the baseline.
    const int xc = (w - tw) / 2;
    const int yc = (h - th) / 2 + metrics.ascent();
    for (int j = 0; j < 3; ++j) {
      const QRect tile(tileColumn(i, n, s, c) * w, (j == 2 ? 1 : 0) * h, w, h);
      // Grey first: a tile sheet smaller than expected leaves no garbage.
      work.fill(QColor(168, 168, 168));
      QPainter p(&work);
      p.drawImage(QRect(0, 0, w, h), source, tile);
      p.setFont(font);
      p.setBackgroundMode(Qt::TransparentMode);
      p.setPen(silver);
      p.drawText(xc, yc - 1, caption);
      p.drawText(xc - 1, yc, caption);
      p.drawText(xc - 1, yc - 1, caption);
      p.setPen(Qt::black);
      p.drawText(xc, yc + 1, caption);
      p.drawText(xc + 1, yc, caption);
      p.drawText(xc + 1, yc + 1, caption);
      p.setPen(stateColours[static_cast<std::size_t>(j)]);
      p.drawText(xc, yc, caption);
      p.end();
      list_.push_back(work.copy());
    }
  }
}

const QImage& ButtonImages::image(int code, ButtonLook look) const {
  if (code < 1 || code > 23) throw std::out_of_range("button code");
  const auto offset = static_cast<int>(look);
  if (code <= 16) return sets[0].at(static_cast<std::size_t>((code - 1) * 3 + offset));
  if (code <= 20) return sets[1].at(static_cast<std::size_t>((code - 17) * 3 + offset));
  return sets[2].at(static_cast<std::size_t>((code - 21) * 3 + offset));
}

ButtonImages LoadSkins(const QString& appDir, const QStringList& captions, const QFont& font) {
  ButtonImages images;
  CButDraw(images.sets[0])
      .BuildImages(captions.mid(0, 16), 50, 20, 16, 12, appDir + "Skins/Buttom.bmp", 2, font);
  CButDraw(images.sets[1])
      .BuildImages(captions.mid(16, 4), 70, 20, 4, 1, appDir + "Skins/Buttom3.bmp", 4, font);
  CButDraw(images.sets[2])
      .BuildImages(captions.mid(20, 3), 20, 20, 3, 1, appDir + "Skins/ButBook.bmp", 1, font);
  return images;
}

QRegion ShapeWindow(const QImage& bitmap, QRgb key) {
  const QImage img = bitmap.convertToFormat(QImage::Format_RGB32);
  const QRgb keyColour = key | 0xFF000000;
  QRegion region;
  for (int y = 0; y < img.height(); ++y) {
    const auto* row = reinterpret_cast<const QRgb*>(img.constScanLine(y));
    int start = -1;
    for (int x = 0; x < img.width(); ++x) {
      const bool outside = row[x] == keyColour;
      if (!outside && start < 0) {
        start = x;
      } else if (outside && start >= 0) {
        region += QRect(start, y, x - start, 1);
        start = -1;
      }
    }
    // A run reaching the right edge ends with its row; carried on, it
    // would cover the left of the next rows up to their first key pixel.
    if (start >= 0) region += QRect(start, y, img.width() - start, 1);
  }
  return region;
}

Backgrounds ApplyBackground(const QString& appDir) {
  const QImage bg = loadBackground(appDir + "Skins/BackGr.bmp");
  Backgrounds out;
  out.shape = ShapeWindow(bg, white);
  out.window = bg.copy();
  out.keypad = bg.copy(QRect(15, 192, 180, 140));
  out.list = out.keypad.copy();
  // The strip under the push-to-talk panel is 135 wide, stretched to 150;
  // the 140-wide panel shows the left 140 of it.
  out.talk = bg.copy(QRect(35, 340, 135, 43))
                 .scaled(150, 43, Qt::IgnoreAspectRatio, Qt::FastTransformation)
                 .copy(0, 0, 140, 43);

  QPainter p(&out.window);
  p.setPen(Qt::NoPen);
  p.setBrush(displayColour);
  QPainterPath display;
  display.addRoundedRect(QRectF(25, 40, 186 - 25, 156 - 40), 5, 5);
  p.drawPath(display);
  return out;
}

QFont skinFont() {
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setStyleHint(QFont::SansSerif);
  font.setPointSize(8);
  // Crisp glyphs: the embossed caption is built from one-pixel offsets.
  font.setStyleStrategy(QFont::NoAntialias);
  return font;
}

}  // namespace orvalis::ui
