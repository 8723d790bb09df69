#pragma once
// The tray presence: the icon that tells the phone's state, its menu, and
// a double click that brings the window back. Desktops without a tray get
// the icon as the application's icon only.

#include <QAction>
#include <QIcon>
#include <QMenu>
#include <QSystemTrayIcon>

#include <array>

#include "ui/icon_art.h"

namespace orvalis::ui {

class Tray {
 public:
  static constexpr int iconCount = trayIconCount;

  // Icons from appDir + "icons/tray0.png" .. "tray4.png"; the missing ones
  // are drawn in code.
  Tray(const QString& appDir, QObject* parent);

  bool available() const { return available_; }
  // Shows icon index (0..4) in the tray and as the application's icon.
  void setIcon(int index);

  QSystemTrayIcon icon;
  QMenu menu;
  QAction* open;
  QAction* shutDown;

 private:
  std::array<QIcon, iconCount> icons_;
  bool available_;
};

}  // namespace orvalis::ui
