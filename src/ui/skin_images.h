#pragma once
// The skin: button images built at run time from tile bitmaps and
// captions, the window's outline cut from the background bitmap, and the
// backgrounds of the window and its panels.

#include <QFont>
#include <QImage>
#include <QRegion>
#include <QString>
#include <QStringList>

#include <array>
#include <vector>

namespace orvalis::ui {

// Highlight states of a skin button, also the image's offset in its set.
enum class ButtonLook : int { normal = 0, hover = 1, pressed = 2 };

// Builds one button image set: 3 images (normal, hover, pressed) per button.
class CButDraw {
 public:
  explicit CButDraw(std::vector<QImage>& list) : list_(list) {}
  // n buttons of W x H from the first n captions; s: first button taking
  // its tile from source column 1; c: number of source columns. A file that
  // cannot be read gives plain tiles.
  void BuildImages(const QStringList& captions, int w, int h, int n, int s, const QString& file,
                   int c, const QFont& font);

 private:
  std::vector<QImage>& list_;
};

// The source column of button i's tile.
int tileColumn(int i, int n, int s, int c);

// The 69 images of the 23 buttons, image (code - 1) * 3 + look.
struct ButtonImages {
  std::array<std::vector<QImage>, 3> sets;
  const QImage& image(int code, ButtonLook look) const;
};

// Builds the three sets from appDir + "Skins/...": captions of buttons 1..23.
ButtonImages LoadSkins(const QString& appDir, const QStringList& captions, const QFont& font);

// The region of the pixels that differ from the key colour, scanned as runs.
QRegion ShapeWindow(const QImage& bitmap, QRgb key);

// The window's background (with the display area painted on it) and the
// backgrounds of the keypad, address-book and push-to-talk panels.
struct Backgrounds {
  QImage window;   // Image1
  QImage keypad;   // Image3
  QImage list;     // Image2
  QImage talk;     // Image4
  QRegion shape;   // the window's outline
};
Backgrounds ApplyBackground(const QString& appDir);

// A small sans-serif face with Cyrillic glyphs at 8 points.
QFont skinFont();

}  // namespace orvalis::ui
