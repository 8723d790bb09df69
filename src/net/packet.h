#pragma once
// CPacket: the framed message of every server and call connection. On the
// wire: marker (12), reserved (0), int16 code, int16 length, then length
// payload bytes; integers little-endian.

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace orvalis::net {

inline constexpr std::size_t headerSize = 6;
inline constexpr std::size_t maxPayload = 512;
inline constexpr std::uint8_t packetMarker = 12;

struct CPacket {
  std::uint8_t marker = 0;
  std::uint8_t reserved = 0;
  std::int16_t code = 0;
  std::int16_t length = 0;
  std::array<std::uint8_t, maxPayload> payload{};

  // Payload length as it travels: a negative length is an empty payload.
  std::size_t payloadSize() const { return length > 0 ? static_cast<std::size_t>(length) : 0; }
  std::span<const std::uint8_t> body() const { return {payload.data(), payloadSize()}; }
};
static_assert(sizeof(CPacket) == headerSize + maxPayload);

struct PacketHeader {
  std::uint8_t marker = 0;
  std::uint8_t reserved = 0;
  std::int16_t code = 0;
  std::int16_t length = 0;
};

// Reads a received header. Marker and reserved byte are taken as they are.
PacketHeader parseHeader(std::span<const std::uint8_t, headerSize> bytes);
// The header of a packet as it goes on the wire.
std::array<std::uint8_t, headerSize> encodeHeader(const CPacket& packet);

// Zeroes the whole packet, then sets marker 12, code, length and copies
// length bytes of data. length is not checked against the payload area
// beyond what data holds: at most data.size() bytes are copied.
void buildPacket(CPacket& packet, std::int16_t code, std::int16_t length,
                 std::span<const std::uint8_t> data = {});

// Writes the 6 + length bytes of a packet as it goes on the wire and
// returns their count; 0 when the length is above 512 (never sent).
std::size_t encodePacket(const CPacket& packet,
                         std::span<std::uint8_t, headerSize + maxPayload> out);

// Little-endian helpers for payload fields.
std::int32_t readInt32(std::span<const std::uint8_t> bytes, std::size_t offset);
std::uint16_t readUint16(std::span<const std::uint8_t> bytes, std::size_t offset);
void writeInt32(std::span<std::uint8_t> bytes, std::size_t offset, std::int32_t value);
void writeUint16(std::span<std::uint8_t> bytes, std::size_t offset, std::uint16_t value);

}  // namespace orvalis::net
