#pragma once
// The text form of a message that the HTTP tunnel carries: each of its
// 6 + length bytes as two upper-case hexadecimal digits, high nibble first
// (a login request begins "0C0003002000").

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "net/packet.h"

namespace orvalis::net {

// The longest hex text of a request (99 bytes) and of an answer (60 bytes).
inline constexpr std::size_t maxRequestHex = 198;
inline constexpr std::size_t maxAnswerHex = 120;

// The hex text of the message as it goes on the wire; empty when its length
// is above 512 (such a message is never sent).
std::string hexEncodePacket(const CPacket& packet);

// Decodes a hex text of at most maxChars characters. Upper- and lower-case
// digits are accepted; any other character, an odd length, or a byte count
// other than 6 + the decoded length field gives nullopt.
std::optional<CPacket> hexDecodePacket(std::string_view text, std::size_t maxChars);

}  // namespace orvalis::net
