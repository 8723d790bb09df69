#include "ui/tray.h"

#include <QApplication>

namespace orvalis::ui {

Tray::Tray(const QString& appDir, QObject* parent)
    : icon(parent),
      open(menu.addAction(QStringLiteral("Open Orvalis"))),
      shutDown(menu.addAction(QStringLiteral("Shut Down"))),
      available_(QSystemTrayIcon::isSystemTrayAvailable()) {
  for (int i = 0; i < iconCount; ++i)
    icons_[static_cast<std::size_t>(i)] = QIcon(appDir + QStringLiteral("icons/tray%1.png").arg(i));
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
