#pragma once
// Small helpers of the text files (address book, language files): blanks
// are every byte up to 0x20, numbers are whole decimal texts.

#include <charconv>
#include <cstdint>
#include <string_view>
#include <system_error>

namespace orvalis::store {

inline bool isBlank(char c) { return static_cast<unsigned char>(c) <= 0x20; }

inline std::string_view trimBlanks(std::string_view s) {
  while (!s.empty() && isBlank(s.front())) s.remove_prefix(1);
  while (!s.empty() && isBlank(s.back())) s.remove_suffix(1);
  return s;
}

// The whole text as a decimal int32; 0 when it is not one.
inline std::int32_t parseDecimal(std::string_view s) {
  std::int32_t n = 0;
  const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), n);
  return ec == std::errc{} && end == s.data() + s.size() ? n : 0;
}

}  // namespace orvalis::store
