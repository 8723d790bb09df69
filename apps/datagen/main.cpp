// orvalis-datagen OUTDIR: writes the skin bitmaps, the icons and the sample
// melodies the window and the phone read from their data directory.

#include <QDir>
#include <QFile>
#include <QImage>
#include <QString>
#include <array>
#include <cstdio>
#include <string_view>

#include "art.h"
#include "ui/icon_art.h"

namespace {

struct Melody {
  const char* name;
  std::string_view text;  // ends with a blank (repeats) or "!" (plays once)
};

constexpr std::array melodies{
    Melody{"sunrise.txt",
           "8c2 8e2 8g2 4c3 8b2 8g2 4e2 8f2 8a2 4g2 8e2 8c2 4d2 2- "
           "8c2 8e2 8g2 4c3 8d3 8c3 4b2 8a2 8f2 4g2 4c2 2- 1- "},
    Melody{"stroll.txt",
           "4c2 8e2 8g2 4a2 8g2 8e2 4f2 8a2 8c3 4d3 8c3 8a2 4g2 4e2 4d2 4- "
           "4c2 8e2 8g2 4a2 8g2 8e2 4f2 8d2 8b1 2c2 2- 1- "},
    Melody{"bounce.txt",
           "16g2 16- 16g2 16- 8b2 8d3 16c3 16- 16c3 16- 8e3 8g2 "
           "16f2 16e2 16d2 16c2 8b1 8g1 4c2 4- 1- "},
    Melody{"chime.txt", "8e3 8c3 8g2 4c3 !"},
    Melody{"knock.txt", "16a2 16- 16a2 8- 4e3 !"},
};
static_assert(melodies.size() >= 4);

// Besides the large icon (icons/orvalis.png) for the desktop menu.
constexpr std::array desktopIconSizes{16, 32, 48};

bool saveImage(const QImage& img, const QString& path, const char* format) {
  if (img.save(path, format)) return true;
  std::fprintf(stderr, "orvalis-datagen: cannot write %s\n", qPrintable(path));
  return false;
}

bool saveText(std::string_view text, const QString& path) {
  QFile f(path);
  if (f.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
      f.write(text.data(), static_cast<qint64>(text.size())) == static_cast<qint64>(text.size()))
    return true;
  std::fprintf(stderr, "orvalis-datagen: cannot write %s\n", qPrintable(path));
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: orvalis-datagen OUTDIR\n");
    return 2;
  }
  using namespace orvalis::datagen;
  const QDir out(QString::fromLocal8Bit(argv[1]));
  for (const char* sub : {"Skins", "icons", "nokia"}) {
    if (!out.mkpath(sub)) {
      std::fprintf(stderr, "orvalis-datagen: cannot create %s/%s\n", argv[1], sub);
      return 1;
    }
  }
  bool ok = saveImage(drawBackground(), out.filePath("Skins/BackGr.bmp"), "BMP");
  ok = saveImage(drawKeypadTiles(), out.filePath("Skins/Buttom.bmp"), "BMP") && ok;
  ok = saveImage(drawWideTiles(), out.filePath("Skins/Buttom3.bmp"), "BMP") && ok;
  ok = saveImage(drawSmallTiles(), out.filePath("Skins/ButBook.bmp"), "BMP") && ok;
  for (int i = 0; i < orvalis::ui::trayIconCount; ++i) {
    const QString path = out.filePath(QString("icons/tray%1.png").arg(i));
    ok = saveImage(orvalis::ui::drawTrayIcon(i), path, "PNG") && ok;
  }
  ok = saveImage(orvalis::ui::drawAppIcon(), out.filePath("icons/orvalis.png"), "PNG") && ok;
  // The desktop's smaller sizes, drawn rather than shrunk from the large one.
  for (const int size : desktopIconSizes) {
    const QString path = out.filePath(QString("icons/orvalis-%1.png").arg(size));
    ok = saveImage(orvalis::ui::drawAppIcon(size), path, "PNG") && ok;
  }
  for (const Melody& m : melodies)
    ok = saveText(m.text, out.filePath(QString("nokia/") + m.name)) && ok;
  return ok ? 0 : 1;
}
