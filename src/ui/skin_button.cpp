#include "ui/skin_button.h"

#include <QMouseEvent>

namespace orvalis::ui {

SkinButton::SkinButton(int code, SkinButtonEvents& events, QWidget* parent)
    : QLabel(parent), code_(code), events_(events) {
  setObjectName(QStringLiteral("Im%1").arg(code));
  setCursor(Qt::PointingHandCursor);
  setMouseTracking(true);
  setAttribute(Qt::WA_TranslucentBackground);
}

void SkinButton::mouseMoveEvent(QMouseEvent* event) {
  events_.buttonPointerOver(code_);
  event->accept();
}

// Other buttons than the left one are taken too, so that they neither act
// nor start dragging the window.
void SkinButton::mousePressEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) events_.buttonMouseDown(code_);
  event->accept();
}

void SkinButton::mouseReleaseEvent(QMouseEvent* event) {
  if (event->button() == Qt::LeftButton) events_.buttonMouseUp(code_);
  event->accept();
}

}  // namespace orvalis::ui
