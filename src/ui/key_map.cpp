#include "ui/key_map.h"

#include "ui/button_codes.h"

namespace orvalis::ui {

int buttonOfKey(int key, Qt::KeyboardModifiers modifiers) {
  const bool shift = modifiers.testFlag(Qt::ShiftModifier);
  // Tested in this order; a later match replaces an earlier one, so "8"
  // with Shift is "*" and "3" with Shift is "#".
  int code = 0;
  if (key >= Qt::Key_1 && key <= Qt::Key_9) code = key - Qt::Key_1 + 1;
  if (key == Qt::Key_Asterisk || (key == Qt::Key_8 && shift)) code = btnStar;
  if (key == Qt::Key_0) code = btnZero;
  if (key == Qt::Key_NumberSign || (key == Qt::Key_3 && shift)) code = btnHash;
  if (key == Qt::Key_Return || key == Qt::Key_Enter) code = btnMenu;
  if (key == Qt::Key_Escape) code = btnCall;
  return code;
}

}  // namespace orvalis::ui
