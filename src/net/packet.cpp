// The wire image of a CPacket and little-endian payload fields.

#include "net/packet.h"

#include <algorithm>

namespace orvalis::net {

namespace {

// True when [offset, offset + count) lies inside a buffer of size bytes.
bool fits(std::size_t size, std::size_t offset, std::size_t count) {
  return offset <= size && size - offset >= count;
}

std::int16_t readInt16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  return static_cast<std::int16_t>(readUint16(bytes, offset));
}

}  // namespace

PacketHeader parseHeader(std::span<const std::uint8_t, headerSize> bytes) {
  return PacketHeader{
      .marker = bytes[0],
      .reserved = bytes[1],
      .code = readInt16(bytes, 2),
      .length = readInt16(bytes, 4),
  };
}

std::array<std::uint8_t, headerSize> encodeHeader(const CPacket& packet) {
  std::array<std::uint8_t, headerSize> out{};
  out[0] = packet.marker;
  out[1] = packet.reserved;
  writeUint16(out, 2, static_cast<std::uint16_t>(packet.code));
  writeUint16(out, 4, static_cast<std::uint16_t>(packet.length));
  return out;
}

void buildPacket(CPacket& packet, std::int16_t code, std::int16_t length,
                 std::span<const std::uint8_t> data) {
  packet = CPacket{};
  packet.marker = packetMarker;
  packet.code = code;
  packet.length = length;
  const std::size_t count = std::min({packet.payloadSize(), data.size(), maxPayload});
  std::copy_n(data.begin(), count, packet.payload.begin());
}

std::size_t encodePacket(const CPacket& packet,
                         std::span<std::uint8_t, headerSize + maxPayload> out) {
  if (packet.payloadSize() > maxPayload) return 0;
  const auto header = encodeHeader(packet);
  std::copy(header.begin(), header.end(), out.begin());
  const auto body = packet.body();
  std::copy(body.begin(), body.end(), out.begin() + headerSize);
  return headerSize + body.size();
}

// Fields that do not lie inside the buffer read as 0 and are not written,
// so a short or hostile payload can never reach outside its bytes.
std::int32_t readInt32(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (!fits(bytes.size(), offset, 4)) return 0;
  std::uint32_t v = 0;
  for (std::size_t i = 0; i < 4; ++i) v |= std::uint32_t{bytes[offset + i]} << (8 * i);
  return static_cast<std::int32_t>(v);
}

std::uint16_t readUint16(std::span<const std::uint8_t> bytes, std::size_t offset) {
  if (!fits(bytes.size(), offset, 2)) return 0;
  return static_cast<std::uint16_t>(bytes[offset] | (bytes[offset + 1] << 8));
}

void writeInt32(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value) {
  if (!fits(bytes.size(), offset, 4)) return;
  const auto v = static_cast<std::uint32_t>(value);
  for (std::size_t i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

void writeUint16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value) {
  if (!fits(bytes.size(), offset, 2)) return;
  bytes[offset] = static_cast<std::uint8_t>(value);
  bytes[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

}  // namespace orvalis::net
