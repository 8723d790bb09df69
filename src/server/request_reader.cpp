#include "server/request_reader.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "net/hex_packet.h"

namespace orvalis::server {

namespace {

constexpr std::string_view getPrefix = "GET ";

ReadResult readBinary(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < net::headerSize) return {};
  const net::PacketHeader header = net::parseHeader(
      std::span<const std::uint8_t, net::headerSize>(bytes.data(), net::headerSize));
  if (header.length > static_cast<std::int16_t>(net::maxPayload)) return {ReadState::malformed, {}};
  const std::size_t length = header.length > 0 ? static_cast<std::size_t>(header.length) : 0;
  if (bytes.size() < net::headerSize + length) return {};
  ReadResult out{ReadState::binary, {}};
  out.request.marker = header.marker;
  out.request.reserved = header.reserved;
  out.request.code = header.code;
  out.request.length = header.length;
  std::copy_n(bytes.begin() + net::headerSize, length, out.request.payload.begin());
  return out;
}

// The hex text in a request target: "/HEX" or "http://host:port/HEX".
std::string_view hexOfTarget(std::string_view target) {
  constexpr std::string_view scheme = "http://";
  if (target.size() >= scheme.size() &&
      std::equal(scheme.begin(), scheme.end(), target.begin(),
                 [](char a, char b) { return a == (b | 0x20); })) {
    target.remove_prefix(scheme.size());
    const std::size_t slash = target.find('/');
    if (slash == std::string_view::npos) return {};
    target.remove_prefix(slash);
  }
  if (!target.starts_with('/')) return {};
  return target.substr(1);
}

ReadResult readHttp(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  // The head ends with an empty line; bare LF line ends are taken too.
  std::size_t headEnd = std::string_view::npos;  // just past the empty line
  for (std::size_t at = text.find('\n'); at != std::string_view::npos;
       at = text.find('\n', at + 1)) {
    const std::string_view rest = text.substr(at + 1);
    if (rest.starts_with("\n") || rest.starts_with("\r\n")) {
      headEnd = at + 1 + (rest[0] == '\n' ? 1 : 2);
      break;
    }
  }
  // One rule, however TCP split the request: the whole head, empty line
  // included, lies within the limit.
  if (headEnd == std::string_view::npos) {
    return {text.size() > maxHttpHead ? ReadState::malformed : ReadState::needMore, {}};
  }
  if (headEnd > maxHttpHead) return {ReadState::malformed, {}};
  std::string_view line = text.substr(0, text.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  line.remove_prefix(getPrefix.size());
  const std::size_t space = line.find(' ');
  if (space == std::string_view::npos || !line.substr(space + 1).starts_with("HTTP/")) {
    return {ReadState::malformed, {}};
  }
  const std::string_view target = line.substr(0, space);
  if (target == "/health") return {ReadState::health, {}};
  const auto packet = net::hexDecodePacket(hexOfTarget(target), net::maxRequestHex);
  if (!packet) return {ReadState::malformed, {}};
  return {ReadState::http, *packet};
}

}  // namespace

ReadResult readRequest(std::span<const std::uint8_t> bytes) {
  if (bytes.empty()) return {};
  const std::size_t n = std::min(bytes.size(), getPrefix.size());
  if (std::equal(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(n),
                 getPrefix.begin())) {
    return n < getPrefix.size() ? ReadResult{} : readHttp(bytes);
  }
  if (bytes[0] != net::packetMarker) return {ReadState::malformed, {}};
  return readBinary(bytes);
}

std::vector<std::uint8_t> encodeAnswer(const net::CPacket& answer, ReadState form) {
  if (form == ReadState::http) {
    const std::string hex = net::hexEncodePacket(answer);
    const std::string text = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\nContent-Length: " +
                             std::to_string(hex.size()) + "\r\nConnection: close\r\n\r\n" + hex;
    return {text.begin(), text.end()};
  }
  std::array<std::uint8_t, net::headerSize + net::maxPayload> wire{};
  const std::size_t count = net::encodePacket(answer, wire);
  return {wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(count)};
}

std::vector<std::uint8_t> encodeHealth(bool healthy) {
  const std::string text = healthy ? "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n"
                                     "Content-Length: 3\r\nConnection: close\r\n\r\nok\n"
                                   : "HTTP/1.0 503 Service Unavailable\r\nContent-Type: text/plain\r\n"
                                     "Content-Length: 20\r\nConnection: close\r\n\r\n"
                                     "store not answering\n";
  return {text.begin(), text.end()};
}

}  // namespace orvalis::server
