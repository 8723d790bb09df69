#pragma once
// The number field: up to nine characters, no blanks typed, and never a
// lone "0". A nickname may be typed into it too.

#include <QLineEdit>

namespace orvalis::ui {

class NumberField : public QLineEdit {
  Q_OBJECT

 public:
  static constexpr int maxChars = 9;

  explicit NumberField(QWidget* parent);

 protected:
  void keyPressEvent(QKeyEvent* event) override;
};

}  // namespace orvalis::ui
