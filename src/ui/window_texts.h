#pragma once
// The main window's replaceable texts (language codes 10 to 99): the
// captions of the four wide buttons and of the menu items.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "ui/button_codes.h"

namespace orvalis::ui {

enum WindowText : std::int32_t {
  txtCallCaption = 10,  // 10..13: buttons 17..20
  txtConfig = 20,
  txtLanguage = 21,
  txtAdmin = 22,
  txtDeleteUser = 30,
  txtChangePasswd = 31,
  txtOpenWindow = 40,
  txtShutDown = 41,
};

class WindowTexts {
 public:
  static constexpr std::int32_t firstCode = 10;
  static constexpr std::int32_t lastCode = 99;

  WindowTexts();

  // Takes a text of the window's range; true when the code is in the
  // range (the button images are then built again, known code or not).
  bool set(std::int32_t code, std::string_view text);

  const std::string& caption(int buttonCode) const;
  // The text of a menu code (20..41); empty for others.
  std::string menuText(std::int32_t code) const;

 private:
  std::array<std::string, buttonCount + 1> captions_;  // by button code
  std::array<std::string, lastCode + 1> menu_;         // by language code
};

}  // namespace orvalis::ui
