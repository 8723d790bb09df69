#pragma once
// The icons, drawn in code: the data generator writes them as files, and the
// tray draws them itself when those files are missing, so that a window
// hidden to the tray can always be found again. Needs Qt Gui only.

#include <QImage>

namespace orvalis::ui {

inline constexpr int trayIconCount = 5;

// Tray icon 0..4 (16 x 16): a red handset crossed out (not logged in), a red
// handset (logged in), a blue one (in a call), and a green one in two poses
// (blinking).
QImage drawTrayIcon(int index);
// The application icon, size x size: the same drawing scaled, for the
// desktop's icon sizes.
inline constexpr int appIconSize = 128;
QImage drawAppIcon(int size = appIconSize);

}  // namespace orvalis::ui
