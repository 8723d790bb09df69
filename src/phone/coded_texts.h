#pragma once
// A dialog's replaceable texts, each known by the code a language file uses
// for it. Codes without a default are not the dialog's and are refused.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace orvalis::phone {

template <std::int32_t First, std::size_t Count>
class CodedTexts {
 public:
  explicit CodedTexts(const std::array<std::string_view, Count>& defaults) {
    for (std::size_t i = 0; i < Count; ++i) texts_[i] = defaults[i];
  }

  static constexpr bool inRange(std::int32_t code) {
    return code >= First && code < First + static_cast<std::int32_t>(Count);
  }

  // Replaces the text of a known code; false for any other code.
  bool set(std::int32_t code, std::string_view text) {
    if (!inRange(code) || texts_[index(code)].empty()) return false;
    texts_[index(code)] = text;
    return true;
  }
  // The text of a code; empty for a code that is not ours.
  std::string get(std::int32_t code) const {
    return inRange(code) ? texts_[index(code)] : std::string();
  }

 private:
  static constexpr std::size_t index(std::int32_t code) {
    return static_cast<std::size_t>(code - First);
  }

  std::array<std::string, Count> texts_;
};

}  // namespace orvalis::phone
