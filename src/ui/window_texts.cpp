#include "ui/window_texts.h"

namespace orvalis::ui {

namespace {

constexpr std::array<std::pair<std::int32_t, std::string_view>, 7> defaultMenuTexts = {{
    {txtConfig, "Config"},
    {txtLanguage, "Language"},
    {txtAdmin, "Admin"},
    {txtDeleteUser, "Delete User"},
    {txtChangePasswd, "Change Passwd"},
    {txtOpenWindow, "Open Orvalis"},
    {txtShutDown, "Shut Down"},
}};

bool isMenuCode(std::int32_t code) {
  for (const auto& [c, text] : defaultMenuTexts)
    if (c == code) return true;
  return false;
}

}  // namespace

WindowTexts::WindowTexts() {
  for (int code = 1; code <= buttonCount; ++code) captions_[code] = defaultCaptions[code - 1];
  for (const auto& [code, text] : defaultMenuTexts) menu_[code] = text;
}

bool WindowTexts::set(std::int32_t code, std::string_view text) {
  if (code < firstCode || code > lastCode) return false;
  if (code >= txtCallCaption && code < txtCallCaption + 4)
    captions_[btnCall + code - txtCallCaption] = text;
  else if (isMenuCode(code))
    menu_[code] = text;
  return true;
}

const std::string& WindowTexts::caption(int buttonCode) const {
  static const std::string none;
  return buttonCode >= 1 && buttonCode <= buttonCount ? captions_[buttonCode] : none;
}

std::string WindowTexts::menuText(std::int32_t code) const {
  return isMenuCode(code) ? menu_[code] : std::string();
}

}  // namespace orvalis::ui
