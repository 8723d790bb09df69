#pragma once
// The 23 skin buttons of the main window, known by their code (the number
// in the control's name, Im1..Im23), and the captions drawn on them.

#include <array>
#include <string_view>

namespace orvalis::ui {

inline constexpr int buttonCount = 23;

enum ButtonCode : int {
  btnStar = 10,
  btnZero = 11,
  btnHash = 12,
  btnIns = 13,
  btnDel = 14,
  btnEdit = 15,
  btnMenu = 16,
  btnCall = 17,
  btnHangUp = 18,
  btnTakeFloor = 19,
  btnGiveFloor = 20,
  btnMinimize = 21,
  btnShutDown = 22,
  btnSwapPanels = 23,
};

// Codes 1..12 are the keypad; only the mouse dispatches them.
inline constexpr int lastKeypadCode = btnHash;

// Built-in captions in code order (UTF-8); a language file may replace
// those of codes 17 to 20.
inline constexpr std::array<std::string_view, buttonCount> defaultCaptions = {
    "1", "2", "3", "4", "5", "6", "7", "8", "9", "*", "0", "#",
    "Ins", "Del", "Edit", "Menu",
    "Да", "Нет", "Прием", "Передача",
    "_", "X", "L",
};

}  // namespace orvalis::ui
