#include "net/hex_packet.h"

#include <algorithm>
#include <array>

namespace orvalis::net {

namespace {

constexpr std::string_view hexDigits = "0123456789ABCDEF";

int nibble(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

}  // namespace

std::string hexEncodePacket(const CPacket& packet) {
  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  const std::size_t count = encodePacket(packet, wire);
  std::string text;
  text.reserve(2 * count);
  for (std::size_t i = 0; i < count; ++i) {
    text.push_back(hexDigits[wire[i] >> 4]);
    text.push_back(hexDigits[wire[i] & 0x0F]);
  }
  return text;
}

std::optional<CPacket> hexDecodePacket(std::string_view text, std::size_t maxChars) {
  if (text.size() % 2 != 0 || text.size() > maxChars) return std::nullopt;
  const std::size_t count = text.size() / 2;
  if (count < headerSize || count > headerSize + maxPayload) return std::nullopt;
  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  for (std::size_t i = 0; i < count; ++i) {
    const int high = nibble(text[2 * i]);
    const int low = nibble(text[2 * i + 1]);
    if (high < 0 || low < 0) return std::nullopt;
    wire[i] = static_cast<std::uint8_t>(high << 4 | low);
  }
  const PacketHeader header = parseHeader(std::span<const std::uint8_t, headerSize>(wire.data(), headerSize));
  if (header.length < 0 || count != headerSize + static_cast<std::size_t>(header.length)) {
    return std::nullopt;
  }
  CPacket packet;
  packet.marker = header.marker;
  packet.reserved = header.reserved;
  packet.code = header.code;
  packet.length = header.length;
  std::copy_n(wire.begin() + headerSize, count - headerSize, packet.payload.begin());
  return packet;
}

}  // namespace orvalis::net
