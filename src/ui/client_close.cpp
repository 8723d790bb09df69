// Showing, hiding to the tray, dragging, and the shutdown's close.

#include <QCloseEvent>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QScreen>

#include "ui/client.h"

namespace orvalis::ui {

void TFClient::showAtStart() {
  if (closeMode_ != 0) return;
  closeMode_ = 1;
  if (const QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->availableGeometry().center() - rect().center());
  // Without a tray, a window that starts hidden could never be shown.
  if (phone_->cnf.startUp.get() == 1 && tray_->available()) return;
  show();
}

void TFClient::shutDown() {
  closeMode_ = 2;
  close();
}

void TFClient::closeEvent(QCloseEvent* event) {
  if (closeMode_ != 2) {
    // "_", Minimize and every close request from the desktop.
    hideToTray();
    event->ignore();
    return;
  }
  if (closeCountdown_ == 0) {
    closeCountdown_ = shutdownStart;
    phone_->stopPlayback();
    phone_->stopCapture();
    actions_->disconnectUser();
    // The refresh tick waits for the logout, then closes again.
    event->ignore();
    return;
  }
  // Only the tick that saw the logout end (or the countdown run out) and
  // stopped the network lets the close through.
  if (!finished_) {
    event->ignore();
    return;
  }
  event->accept();
  emit closed();
}

void TFClient::hideToTray() {
  if (tray_->available()) hide();
  else showMinimized();  // nowhere to come back from a hidden window
}

void TFClient::restoreFromTray() {
  showNormal();
  raise();
  activateWindow();
}

void TFClient::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Alt-Tab or a click elsewhere: the release goes to another window.
  if (event->type() == QEvent::ActivationChange && !isActiveWindow()) releaseHolds();
  // The desktop's minimise also goes to the tray.
  if (event->type() == QEvent::WindowStateChange && isMinimized() && tray_->available())
    QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

void TFClient::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  // A button or key held while the window went away is released elsewhere.
  releaseHolds();
  dragActive_ = false;
}

// Dragging by the background, with any mouse button.
void TFClient::mousePressEvent(QMouseEvent* event) {
  dragActive_ = true;
  dragStart_ = event->position().toPoint();
  event->accept();
}

void TFClient::mouseMoveEvent(QMouseEvent* event) {
  if (dragActive_) {
    const QPoint at = event->position().toPoint();
    move(x() + at.x() - dragStart_.x(), y() + at.y() - dragStart_.y());
  }
  highlight_.pointerOverBackground();
  event->accept();
}

void TFClient::mouseReleaseEvent(QMouseEvent* event) {
  dragActive_ = false;
  event->accept();
}

}  // namespace orvalis::ui
