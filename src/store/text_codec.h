#pragma once
// Text files are UTF-8; older files were written in the Windows Cyrillic code
// page (CP1251). A line that is not valid UTF-8 is taken as CP1251.

#include <string>
#include <string_view>

namespace orvalis::store {

// True when text is well-formed UTF-8 (no overlong forms, no surrogates,
// nothing above U+10FFFF).
bool isValidUtf8(std::string_view text);

// The longest start of text of at most maxBytes that does not end inside a
// UTF-8 character. Text that is not UTF-8 is cut at maxBytes.
std::string_view utf8Prefix(std::string_view text, std::size_t maxBytes);

// Converts CP1251 bytes to UTF-8. The one unassigned byte (0x98) becomes
// U+FFFD.
std::string cp1251ToUtf8(std::string_view text);

// A line as UTF-8: kept when already valid, else converted from CP1251.
std::string decodeLine(std::string_view line);

}  // namespace orvalis::store
