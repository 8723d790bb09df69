// Button images, the window outline and the backgrounds, built from small
// test bitmaps and from the generated skin in the data directory.

#include <gtest/gtest.h>

#include <QPainter>

#include "support/temp_dir.h"
#include "ui/skin_images.h"
#include "ui/tray.h"

namespace orvalis::ui {
namespace {

constexpr QRgb white = 0xFFFFFFFF;
const QString dataDir = QStringLiteral(ORVALIS_DATA_DIR "/");

QImage filled(int w, int h, QColor c) {
  QImage img(w, h, QImage::Format_RGB32);
  img.fill(c);
  return img;
}

// Tile (column, row) is filled with colour fill(column, row); its first and
// last pixels carry markers so a shifted or stretched copy shows.
QRgb fill(int col, int row) { return qRgb(40 + 30 * col, 100 + 100 * row, 7); }
QRgb firstMark(int col, int row) { return qRgb(10 + col, 20 + row, 250); }
QRgb lastMark(int col, int row) { return qRgb(200 + col, 20 + row, 60); }

QString tileSheet(const testing::TempDir& dir, const char* name, int w, int h, int columns) {
  QImage img(w * columns, 2 * h, QImage::Format_RGB888);
  for (int col = 0; col < columns; ++col)
    for (int row = 0; row < 2; ++row) {
      for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) img.setPixel(col * w + x, row * h + y, fill(col, row));
      img.setPixel(col * w, row * h, firstMark(col, row));
      img.setPixel(col * w + w - 1, row * h + h - 1, lastMark(col, row));
    }
  const QString path = QString::fromStdString(dir.file(name).string());
  EXPECT_TRUE(img.save(path, "BMP"));
  return path;
}

std::vector<QImage> build(const QStringList& captions, int w, int h, int n, int s,
                          const QString& file, int c) {
  std::vector<QImage> list;
  CButDraw(list).BuildImages(captions, w, h, n, s, file, c, skinFont());
  return list;
}

// The box around the pixels that differ from the tile under them.
QRect ink(const QImage& img) {
  QRect box;
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x) {
      const QRgb c = img.pixel(x, y);
      if (c != fill(0, 0) && c != firstMark(0, 0) && c != lastMark(0, 0)) box |= QRect(x, y, 1, 1);
    }
  return box;
}

TEST(SkinShape, RegionIsExactlyTheBody) {
  QImage img = filled(24, 14, Qt::white);
  QPainter p(&img);
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(254, 255, 255));  // nearly white still belongs to the body
  p.drawEllipse(2, 1, 19, 12);
  p.fillRect(8, 5, 5, 2, QColor(30, 30, 30));
  p.fillRect(14, 6, 2, 2, Qt::white);  // a see-through hole inside
  p.end();
  const QRegion region = ShapeWindow(img, white);
  for (int y = 0; y < img.height(); ++y)
    for (int x = 0; x < img.width(); ++x)
      EXPECT_EQ(region.contains(QPoint(x, y)), img.pixel(x, y) != white) << x << "," << y;
}

TEST(SkinShape, RunsReachingTheRightEdgeEndWithTheirRow) {
  QImage img = filled(10, 4, Qt::white);
  for (int x = 6; x < 10; ++x) img.setPixel(x, 0, qRgb(50, 50, 50));
  img.setPixel(3, 2, qRgb(50, 50, 50));
  for (int x = 0; x < 10; ++x) img.setPixel(x, 3, qRgb(50, 50, 50));  // whole last row
  const QRegion region = ShapeWindow(img, white);
  QRegion expected = QRegion(6, 0, 4, 1) + QRegion(3, 2, 1, 1) + QRegion(0, 3, 10, 1);
  EXPECT_EQ(region, expected);
}

TEST(SkinButtons, TilesComeFromTheirColumnsAndRows) {
  testing::TempDir dir;
  struct Set {
    int w, n, s, c;
    const char* columns;  // expected source column of each button
  };
  const std::array sets{Set{50, 16, 12, 2, "0000000000001111"}, Set{70, 4, 1, 4, "0123"},
                        Set{20, 3, 1, 1, "000"}};
  for (const Set& set : sets) {
    const QString file = tileSheet(dir, "tiles.bmp", set.w, 20, set.c);
    const auto list = build({}, set.w, 20, set.n, set.s, file, set.c);
    ASSERT_EQ(list.size(), static_cast<std::size_t>(3 * set.n));
    for (int i = 0; i < set.n; ++i)
      for (int j = 0; j < 3; ++j) {
        const QImage& img = list[static_cast<std::size_t>(3 * i + j)];
        const int col = set.columns[i] - '0', row = j == 2 ? 1 : 0;
        SCOPED_TRACE(::testing::Message() << "w " << set.w << " button " << i << " state " << j);
        EXPECT_EQ(img.size(), QSize(set.w, 20));
        EXPECT_EQ(img.pixel(0, 0), firstMark(col, row));
        EXPECT_EQ(img.pixel(set.w - 1, 19), lastMark(col, row));
        EXPECT_EQ(img.pixel(1, 0), fill(col, row));
      }
  }
}

TEST(SkinButtons, StatesDifferInCaptionColourAndPressedTile) {
  testing::TempDir dir;
  const QString file = tileSheet(dir, "tiles.bmp", 50, 20, 2);
  const auto list = build({"8"}, 50, 20, 1, 12, file, 2);
  const QImage &normal = list[0], &hover = list[1], &pressed = list[2];
  int blue = 0, silver = 0, black = 0;
  for (int y = 0; y < 20; ++y)
    for (int x = 0; x < 50; ++x) {
      const QRgb n = normal.pixel(x, y), h = hover.pixel(x, y), p = pressed.pixel(x, y);
      if (n == qRgb(0, 0, 255)) {
        ++blue;
        EXPECT_EQ(h, qRgb(255, 255, 0));
        EXPECT_EQ(p, qRgb(0, 255, 0));
      } else {
        EXPECT_EQ(h, n);
        silver += n == qRgb(192, 192, 192);
        black += n == qRgb(0, 0, 0);
        if (n == fill(0, 0)) {
          EXPECT_EQ(p, fill(0, 1));
        } else if (n != firstMark(0, 0) && n != lastMark(0, 0)) {
          EXPECT_EQ(p, n);
        }
      }
    }
  EXPECT_GT(blue, 5);
  EXPECT_GT(silver, 0);
  EXPECT_GT(black, 0);
}

TEST(SkinButtons, CaptionsAreCentred) {
  testing::TempDir dir;
  const QString narrow = tileSheet(dir, "narrow.bmp", 50, 20, 1);
  const QRect one = ink(build({"1"}, 50, 20, 1, 1, narrow, 1)[0]);
  EXPECT_NEAR(one.center().x() + 0.5, 25, 1.5);
  EXPECT_NEAR(one.center().y() + 0.5, 10, 2.5);

  const QString wide = tileSheet(dir, "wide.bmp", 70, 20, 1);
  const QRect word = ink(build({"Передача"}, 70, 20, 1, 1, wide, 1)[0]);
  EXPECT_GT(word.width(), 30);
  EXPECT_NEAR(word.center().x() + 0.5, 35, 1.5);

  // Wider than its button: starts left of it and is cut on both sides.
  const QString small = tileSheet(dir, "small.bmp", 20, 20, 1);
  const QRect over = ink(build({"MMMMMMMM"}, 20, 20, 1, 1, small, 1)[0]);
  EXPECT_LE(over.left(), 1);
  EXPECT_GE(over.right(), 18);
}

TEST(SkinButtons, LoadSkinsBuildsThreeSetsEvenWithoutFiles) {
  const QStringList captions{"1",  "2",   "3",     "4",        "5",   "6",   "7",    "8",
                             "9",  "*",   "0",     "#",        "Ins", "Del", "Edit", "Menu",
                             "Да", "Нет", "Прием", "Передача", "_",   "X",   "L"};
  testing::TempDir empty;
  for (const QString& base : {dataDir, QString::fromStdString(empty.dir())}) {
    const ButtonImages images = LoadSkins(base, captions, skinFont());
    ASSERT_EQ(images.sets[0].size(), 48u);
    ASSERT_EQ(images.sets[1].size(), 12u);
    ASSERT_EQ(images.sets[2].size(), 9u);
    EXPECT_EQ(images.image(16, ButtonLook::pressed).size(), QSize(50, 20));
    EXPECT_EQ(images.image(20, ButtonLook::hover).size(), QSize(70, 20));
    EXPECT_EQ(&images.image(23, ButtonLook::pressed), &images.sets[2][8]);
    EXPECT_EQ(&images.image(18, ButtonLook::hover), &images.sets[1][4]);
    EXPECT_THROW(images.image(24, ButtonLook::normal), std::out_of_range);
  }
}

TEST(SkinBackground, PanelsShapeAndDisplayEvenWithoutFile) {
  testing::TempDir empty;
  for (const QString& base : {dataDir, QString::fromStdString(empty.dir())}) {
    const Backgrounds bg = ApplyBackground(base);
    EXPECT_EQ(bg.window.size(), QSize(210, 405));
    EXPECT_EQ(bg.keypad.size(), QSize(180, 140));
    EXPECT_EQ(bg.list, bg.keypad);
    EXPECT_EQ(bg.talk.size(), QSize(140, 43));
    EXPECT_EQ(bg.window.pixel(100, 100), qRgb(192, 220, 192));
    EXPECT_EQ(bg.keypad.pixel(0, 0), bg.window.pixel(15, 192));
    EXPECT_EQ(bg.keypad.pixel(179, 139), bg.window.pixel(194, 331));
    EXPECT_FALSE(bg.shape.contains(QPoint(0, 0)));
    EXPECT_FALSE(bg.shape.contains(QPoint(209, 404)));
    EXPECT_TRUE(bg.shape.contains(QPoint(105, 200)));
    EXPECT_TRUE(bg.shape.contains(QPoint(22, 383)));  // the list button's place
  }
}

TEST(SkinBackground, TalkStripIsStretchedAndDisplayHasRoundedCorners) {
  testing::TempDir dir;
  std::filesystem::create_directory(dir.file("Skins"));
  QImage img = filled(210, 405, QColor(90, 90, 90));
  for (int x = 0; x < 210; ++x)
    for (int y = 340; y < 383; ++y) img.setPixel(x, y, qRgb(x, 7, 7));
  ASSERT_TRUE(img.save(QString::fromStdString(dir.file("Skins/BackGr.bmp").string()), "BMP"));
  const Backgrounds bg = ApplyBackground(QString::fromStdString(dir.dir()));
  EXPECT_EQ(qRed(bg.talk.pixel(0, 0)), 35);
  EXPECT_NEAR(qRed(bg.talk.pixel(139, 42)), 35 + 139 * 135 / 150, 1);
  EXPECT_EQ(bg.shape, QRegion(0, 0, 210, 405));

  const QRgb display = qRgb(192, 220, 192);
  EXPECT_NE(bg.window.pixel(25, 40), display);
  EXPECT_EQ(bg.window.pixel(30, 45), display);
  EXPECT_EQ(bg.window.pixel(185, 150), display);
  EXPECT_NE(bg.window.pixel(186, 100), display);
  EXPECT_NE(bg.window.pixel(100, 156), display);
  EXPECT_NE(bg.window.pixel(185, 155), display);
}

TEST(TrayIcons, AreDrawnWhenTheirFilesAreMissing) {
  testing::TempDir empty;
  Tray tray(QString::fromStdString(empty.dir()), nullptr);
  for (int i = 0; i < Tray::iconCount; ++i) {
    tray.setIcon(i);
    EXPECT_FALSE(tray.icon.icon().isNull()) << i;
  }
}

}  // namespace
}  // namespace orvalis::ui
