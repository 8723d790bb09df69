#pragma once
// The skin bitmaps drawn by the data generator (the icons are the window's
// own, in ui/icon_art.h).

#include <QImage>

namespace orvalis::datagen {

// The handset-shaped window face, 210 x 405, white outside the body.
QImage drawBackground();

// Tile sheets: released row over pressed row, one column per button kind.
QImage drawKeypadTiles();  // 100 x 40
QImage drawWideTiles();    // 280 x 40
QImage drawSmallTiles();   // 20 x 40

}  // namespace orvalis::datagen
