// The message header and the payload readers of the answers a phone takes
// from the server: whatever the bytes, a message read from them goes back
// on the wire as the same bytes.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_support.h"
#include "net/packet.h"
#include "net/requests.h"

using namespace orvalis::net;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < headerSize) return 0;
  const std::span<const std::uint8_t> bytes(data, size);
  const PacketHeader header = parseHeader(bytes.first<headerSize>());

  CPacket packet;
  const std::span<const std::uint8_t> body = bytes.subspan(headerSize);
  buildPacket(packet, header.code, header.length, body.first(std::min(body.size(), maxPayload)));
  FUZZ_CHECK(packet.payloadSize() <= static_cast<std::size_t>(std::max<int>(header.length, 0)));

  std::array<std::uint8_t, headerSize + maxPayload> wire{};
  const std::size_t count = encodePacket(packet, wire);
  if (packet.payloadSize() > maxPayload) {
    FUZZ_CHECK(count == 0);
  } else {
    FUZZ_CHECK(count == headerSize + packet.payloadSize());
    const PacketHeader again = parseHeader(std::span(wire).first<headerSize>());
    FUZZ_CHECK(again.marker == packetMarker && again.code == header.code &&
               again.length == header.length);
    const std::size_t copied = std::min(body.size(), packet.payloadSize());
    FUZZ_CHECK(std::equal(body.begin(), body.begin() + static_cast<std::ptrdiff_t>(copied),
                          wire.begin() + headerSize));
  }

  // The answer readers look at fixed offsets of the payload area.
  const FoundUser found = parseUserFound(packet);
  FUZZ_CHECK(found.port == readUint16(packet.payload, 8));
  const Ticket ticket = parseTicket(packet);
  FUZZ_CHECK(std::equal(ticket.begin(), ticket.end(), packet.payload.begin()));
  const std::uint32_t announced = loginAddress(packet);
  const std::uint16_t port = loginPort(packet);
  setLoginAddress(packet, announced);
  FUZZ_CHECK(loginAddress(packet) == announced && loginPort(packet) == port);
  for (std::size_t at = 0; at + 4 <= maxPayload; at += 97) {
    const std::int32_t v = readInt32(packet.payload, at);
    writeInt32(packet.payload, at, v);
    FUZZ_CHECK(readInt32(packet.payload, at) == v);
  }
  return 0;
}
