#include "phone/account_fields.h"

#include <charconv>

namespace orvalis::phone {

std::string numberFieldText(std::string_view typed) {
  std::string kept;
  for (const char c : typed)
    if (c >= '0' && c <= '9' && !(kept.empty() && c == '0')) kept.push_back(c);
  return kept;
}

std::string passwdFieldText(std::string_view typed) {
  std::string kept;
  for (const char c : typed)
    if (c != ' ') kept.push_back(c);
  return kept;
}

std::int32_t parseNumber(std::string_view text) {
  std::int32_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

bool acceptablePasswd(std::string_view first, std::string_view second) {
  return first == second && first.size() >= minPasswdLength && first.size() <= maxPasswdLength;
}

}  // namespace orvalis::phone
