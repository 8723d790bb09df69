// The hex text form of a message that the HTTP tunnel carries.

#include "net/hex_packet.h"

#include <gtest/gtest.h>

#include <vector>

#include "net/message_codes.h"

namespace orvalis::net {
namespace {

TEST(HexPacket, EncodesWireBytesAsUpperCasePairs) {
  CPacket p;
  buildPacket(p, reqTestServer, 0);
  EXPECT_EQ(hexEncodePacket(p), "0C000F000000");

  const std::vector<std::uint8_t> login(32, 0xAB);
  buildPacket(p, reqLogin, 32, login);
  const std::string text = hexEncodePacket(p);
  EXPECT_EQ(text.size(), 76u);
  EXPECT_TRUE(text.starts_with("0C0003002000ABAB"));

  p.length = 513;
  EXPECT_EQ(hexEncodePacket(p), "");
}

TEST(HexPacket, DecodesWhatItEncodesInEitherCase) {
  CPacket p;
  const std::vector<std::uint8_t> body{0x00, 0x7F, 0x80, 0xFF, 0x5A};
  buildPacket(p, ansUserFound, 5, body);
  const std::string text = hexEncodePacket(p);
  for (const std::string& form : {text, std::string("0c000d000500007f80ff5a")}) {
    const auto back = hexDecodePacket(form, maxAnswerHex);
    ASSERT_TRUE(back) << form;
    EXPECT_EQ(back->marker, 12);
    EXPECT_EQ(back->code, ansUserFound);
    EXPECT_EQ(back->length, 5);
    EXPECT_EQ(std::vector<std::uint8_t>(back->payload.begin(), back->payload.begin() + 5), body);
    EXPECT_EQ(back->payload[5], 0);
  }
}

TEST(HexPacket, RefusesMalformedText) {
  // 120 characters: a 60-byte message, the largest answer the tunnel takes.
  const std::string longest = "0C000E003600" + std::string(108, '0');
  EXPECT_TRUE(hexDecodePacket(longest, maxAnswerHex));
  EXPECT_FALSE(hexDecodePacket(longest + "00", maxAnswerHex));  // over the limit

  for (const char* bad : {
           "0C000E00000",      // odd length
           "0C000E0000",       // shorter than a header
           "0C000E00000000",   // one payload byte more than announced
           "0C000E000200AA",   // one fewer
           "0C000E00FFFF",     // negative length
           "0G000E000000",     // not a hex digit
           "0C000E00000 ",     // blank
           "0C:00E000000",     // just past '9'
           "0C000E00000@",     // just before 'A'
       }) {
    EXPECT_FALSE(hexDecodePacket(bad, maxAnswerHex)) << bad;
  }
}

}  // namespace
}  // namespace orvalis::net
