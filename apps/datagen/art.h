#pragma once
// Pictures drawn by the data generator: the skin bitmaps and the icons.

#include <QImage>

namespace orvalis::datagen {

// The handset-shaped window face, 210 x 405, white outside the body.
QImage drawBackground();

// Tile sheets: released row over pressed row, one column per button kind.
QImage drawKeypadTiles();  // 100 x 40
QImage drawWideTiles();    // 280 x 40
QImage drawSmallTiles();   // 20 x 40

// Tray icon 0..4 (16 x 16) and the application icon (128 x 128).
QImage drawTrayIcon(int index);
QImage drawAppIcon();

}  // namespace orvalis::datagen
