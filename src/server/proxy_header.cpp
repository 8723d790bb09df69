#include "server/proxy_header.h"

#include <algorithm>
#include <array>
#include <optional>

namespace orvalis::server {

namespace {

constexpr std::array<std::uint8_t, 12> signature{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D,
                                                 0x0A, 0x51, 0x55, 0x49, 0x54, 0x0A};
constexpr std::size_t fixedLength = 16;
constexpr std::uint8_t version2 = 0x20;
constexpr std::uint8_t commandLocal = 0x0;
constexpr std::uint8_t commandProxy = 0x1;
constexpr std::uint8_t tcpOverIpv4 = 0x11;
constexpr std::size_t ipv4Block = 12;  // two addresses, two ports

// The address block a PROXY command's family needs (UNSPEC, IPv4, IPv6,
// UNIX); nothing for a family or transport the protocol does not define.
std::optional<std::size_t> addressBlock(std::uint8_t familyTransport) {
  constexpr std::array<std::size_t, 4> sizes{0, ipv4Block, 36, 216};
  const std::size_t family = familyTransport >> 4;
  if (family >= sizes.size() || (familyTransport & 0x0F) > 2) return std::nullopt;
  return sizes[family];
}

bool knownCommand(std::uint8_t versionCommand) {
  const std::uint8_t command = versionCommand & 0x0F;
  return (versionCommand & 0xF0) == version2 &&
         (command == commandLocal || command == commandProxy);
}

std::uint32_t be32(std::span<const std::uint8_t> b) {
  return std::uint32_t{b[0]} << 24 | std::uint32_t{b[1]} << 16 | std::uint32_t{b[2]} << 8 | b[3];
}
std::uint16_t be16(std::span<const std::uint8_t> b) {
  return static_cast<std::uint16_t>(b[0] << 8 | b[1]);
}

}  // namespace

ProxyHeader readProxyHeader(std::span<const std::uint8_t> bytes) {
  ProxyHeader out;
  const std::size_t compared = std::min(bytes.size(), signature.size());
  if (!std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(compared),
                  signature.begin())) {
    out.state = ProxyState::absent;
    return out;
  }
  if (bytes.size() < fixedLength) {
    // Version and command can be judged before the rest arrives.
    if (bytes.size() > signature.size() && !knownCommand(bytes[12]))
      out.state = ProxyState::malformed;
    return out;
  }
  const std::uint8_t command = bytes[12] & 0x0F;
  const std::size_t declared = be16(bytes.subspan(14, 2));
  if (!knownCommand(bytes[12]) || fixedLength + declared > maxProxyHeader) {
    out.state = ProxyState::malformed;
    return out;
  }
  // A LOCAL header's family is ignored; a PROXY header's must be one the
  // protocol defines, with all of its addresses inside the length.
  if (command == commandProxy) {
    const auto block = addressBlock(bytes[13]);
    if (!block || declared < *block) {
      out.state = ProxyState::malformed;
      return out;
    }
  }
  if (bytes.size() < fixedLength + declared) return out;
  out.length = fixedLength + declared;
  // Anything but TCP over IPv4 keeps the connection's own addresses: this
  // server speaks IPv4 only, and a balancer's check may be LOCAL or UNSPEC.
  if (command == commandLocal || bytes[13] != tcpOverIpv4) {
    out.state = ProxyState::local;
    return out;
  }
  const auto block = bytes.subspan(fixedLength, ipv4Block);
  out.source = be32(block.subspan(0, 4));
  out.destination = be32(block.subspan(4, 4));
  out.sourcePort = be16(block.subspan(8, 2));
  out.destinationPort = be16(block.subspan(10, 2));
  out.state = ProxyState::proxied;
  return out;
}

}  // namespace orvalis::server
