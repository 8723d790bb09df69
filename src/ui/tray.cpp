#include "ui/tray.h"

#include <QApplication>
#include <QImage>
#include <QPixmap>

#include "ui/icon_art.h"

namespace orvalis::ui {

Tray::Tray(const QString& appDir, QObject* parent)
    : icon(parent),
      open(menu.addAction(QStringLiteral("Open Orvalis"))),
      shutDown(menu.addAction(QStringLiteral("Shut Down"))),
      available_(QSystemTrayIcon::isSystemTrayAvailable()) {
  for (int i = 0; i < iconCount; ++i) {
    QImage image(appDir + QStringLiteral("icons/tray%1.png").arg(i));
    // Without its files the tray still shows something to click on.
    if (image.isNull()) image = drawTrayIcon(i);
    icons_[static_cast<std::size_t>(i)] = QIcon(QPixmap::fromImage(image));
  }
  icon.setContextMenu(&menu);
  icon.setToolTip(QStringLiteral("Orvalis"));
  setIcon(0);
  if (available_) icon.show();
}

void Tray::setIcon(int index) {
  if (index < 0 || index >= iconCount) return;
  const QIcon& shown = icons_[static_cast<std::size_t>(index)];
  icon.setIcon(shown);
  QApplication::setWindowIcon(shown);
}

}  // namespace orvalis::ui
