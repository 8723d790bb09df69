// The wire image of a message and the little-endian payload fields.

#include "net/packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/message_codes.h"

namespace orvalis::net {
namespace {

std::vector<std::uint8_t> encoded(const CPacket& packet) {
  std::array<std::uint8_t, headerSize + maxPayload> out{};
  const std::size_t n = encodePacket(packet, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(Packet, EncodesExactWireBytes) {
  CPacket p;
  buildPacket(p, reqTestServer, 0);
  EXPECT_EQ(encoded(p), (std::vector<std::uint8_t>{0x0C, 0, 0x0F, 0, 0, 0}));

  std::array<std::uint8_t, 4> flags{};
  writeInt32(flags, 0, 3);
  buildPacket(p, peerAccept, 4, flags);
  EXPECT_EQ(encoded(p), (std::vector<std::uint8_t>{0x0C, 0, 3, 0, 4, 0, 3, 0, 0, 0}));

  // Negative values travel as two's complement; a negative length sends no payload.
  buildPacket(p, -2, -1);
  EXPECT_EQ(encoded(p), (std::vector<std::uint8_t>{0x0C, 0, 0xFE, 0xFF, 0xFF, 0xFF}));

  p.length = 513;
  std::array<std::uint8_t, headerSize + maxPayload> out{};
  EXPECT_EQ(encodePacket(p, out), 0u);
}

TEST(Packet, ParseHeaderTakesEveryFieldAsItIs) {
  const std::array<std::uint8_t, headerSize> raw{0x07, 0x55, 0x34, 0x82, 0x00, 0x02};
  const PacketHeader h = parseHeader(raw);
  EXPECT_EQ(h.marker, 0x07);
  EXPECT_EQ(h.reserved, 0x55);
  EXPECT_EQ(h.code, static_cast<std::int16_t>(0x8234));
  EXPECT_EQ(h.length, 512);

  CPacket p;
  p.marker = 1;
  p.reserved = 2;
  p.code = -300;
  p.length = -7;
  const PacketHeader back = parseHeader(encodeHeader(p));
  EXPECT_EQ(back.marker, 1);
  EXPECT_EQ(back.reserved, 2);
  EXPECT_EQ(back.code, -300);
  EXPECT_EQ(back.length, -7);
}

TEST(Packet, BuildZeroesOldContentAndNeverCopiesPastItsSources) {
  CPacket p;
  p.reserved = 9;
  p.payload.fill(0xEE);
  const std::vector<std::uint8_t> three{1, 2, 3};

  // A length beyond the data copies only the data; the rest is zero.
  buildPacket(p, peerVoice, 40, three);
  EXPECT_EQ(p.marker, packetMarker);
  EXPECT_EQ(p.reserved, 0);
  EXPECT_EQ(p.length, 40);
  EXPECT_EQ(p.payload[2], 3);
  EXPECT_EQ(p.payload[3], 0);
  EXPECT_EQ(p.payload[maxPayload - 1], 0);

  // More data than the length, and a length beyond the payload area.
  buildPacket(p, peerVoice, 2, three);
  EXPECT_EQ(p.payload[2], 0);
  const std::vector<std::uint8_t> big(600, 0xAB);
  buildPacket(p, peerVoice, 600, big);
  EXPECT_EQ(p.payload[maxPayload - 1], 0xAB);

  buildPacket(p, peerVoice, -5, big);
  EXPECT_EQ(p.payload[0], 0);
  EXPECT_TRUE(p.body().empty());
}

TEST(Packet, LittleEndianFieldsStayInsideTheirBuffer) {
  std::array<std::uint8_t, 6> b{};
  writeInt32(b, 0, -2);
  writeUint16(b, 4, 0xBEEF);
  EXPECT_EQ(b, (std::array<std::uint8_t, 6>{0xFE, 0xFF, 0xFF, 0xFF, 0xEF, 0xBE}));
  EXPECT_EQ(readInt32(b, 0), -2);
  EXPECT_EQ(readUint16(b, 4), 0xBEEF);

  b.fill(0x11);
  writeInt32(b, 3, 7);
  writeUint16(b, 5, 7);
  writeInt32(b, static_cast<std::size_t>(-1), 7);
  EXPECT_EQ(b, (std::array<std::uint8_t, 6>{0x11, 0x11, 0x11, 0x11, 0x11, 0x11}));
  EXPECT_EQ(readInt32(b, 3), 0);
  EXPECT_EQ(readUint16(b, 5), 0);
  EXPECT_EQ(readUint16(b, static_cast<std::size_t>(-1)), 0);
  EXPECT_EQ(readUint16(b, 4), 0x1111);
}

}  // namespace
}  // namespace orvalis::net
