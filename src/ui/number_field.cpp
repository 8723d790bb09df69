#include "ui/number_field.h"

#include <QKeyEvent>

namespace orvalis::ui {

NumberField::NumberField(QWidget* parent) : QLineEdit(parent) {
  setObjectName(QStringLiteral("ENumber"));
  setMaxLength(maxChars);
  setFrame(false);
  QFont f = font();
  f.setBold(true);
  f.setPixelSize(13);
  setFont(f);
  QPalette p = palette();
  p.setColor(QPalette::Base, QColor(192, 220, 192));
  setPalette(p);
  // A number never starts with a lone 0.
  connect(this, &QLineEdit::textChanged, this, [this](const QString& text) {
    if (text == QStringLiteral("0")) clear();
  });
}

void NumberField::keyPressEvent(QKeyEvent* event) {
  if (event->text() == QStringLiteral(" ")) {
    event->accept();  // a typed blank is dropped
    return;
  }
  QLineEdit::keyPressEvent(event);
}

}  // namespace orvalis::ui
