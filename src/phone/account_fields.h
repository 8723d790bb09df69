#pragma once
// The input rules shared by the account dialogs: what their fields keep of
// the typed text and when a number or a password is acceptable.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "store/cnf_data.h"

namespace orvalis::phone {

inline constexpr std::size_t minPasswdLength = 6;
// What the settings record can hold: a longer password would be registered
// in full but saved cut, and every later login with it would fail.
inline constexpr std::size_t maxPasswdLength = store::secretSize - 1;

// The number field keeps digits only and drops leading zeros.
std::string numberFieldText(std::string_view typed);
// Password fields drop blanks.
std::string passwdFieldText(std::string_view typed);
// The field's text as a decimal number; 0 when it is none or overflows.
std::int32_t parseNumber(std::string_view text);
// Both entries equal and of a length the settings can keep.
bool acceptablePasswd(std::string_view first, std::string_view second);

}  // namespace orvalis::phone
