#pragma once
// Which skin button a key stands for: the keypad digits, "*" and "#",
// Enter for the menu and Escape for the call key.

#include <QtCore/qnamespace.h>

namespace orvalis::ui {

// The button code of a key with its modifiers; 0 when it has none.
int buttonOfKey(int key, Qt::KeyboardModifiers modifiers);

}  // namespace orvalis::ui
