#include "net/privacy/call_cipher.h"

#include "net/packet.h"
#include "net/privacy/private_call_codes.h"

namespace orvalis::net {

std::vector<std::uint8_t> CallCipher::seal(std::span<const std::uint8_t> message) {
  const std::vector<std::uint8_t> sealed = send_.seal(message);
  CPacket packet;
  buildPacket(packet, peerSealed, static_cast<std::int16_t>(sealed.size()), sealed);
  std::vector<std::uint8_t> wire(headerSize + maxPayload);
  // Messages of a call are far below the limit; one above it encodes to
  // nothing, which fails its send.
  wire.resize(encodePacket(packet, std::span<std::uint8_t, headerSize + maxPayload>(wire)));
  return wire;
}

std::optional<std::vector<std::uint8_t>> CallCipher::open(std::span<const std::uint8_t> message) {
  if (message.size() < headerSize) return std::nullopt;
  const PacketHeader header = parseHeader(message.first<headerSize>());
  if (header.code != peerSealed) return std::nullopt;
  return receive_.open(message.subspan(headerSize));
}

}  // namespace orvalis::net
