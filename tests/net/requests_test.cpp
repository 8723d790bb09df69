// Payload layouts of the server requests and of the answers the phone reads.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "net/message_codes.h"
#include "net/requests.h"

namespace orvalis::net {
namespace {

TEST(Requests, LoginCarriesNumberPasswordAddressAndPort) {
  // 123456789 = 0x075BCD15; 10.0.0.7 in network order; port 3393 = 0x0D41.
  const std::uint32_t address = 0x0700000A;
  const auto p = loginPayload(123456789, "abcdef", address, 3393);
  const std::array<std::uint8_t, 32> expected{
      0x15, 0xCD, 0x5B, 0x07, 6, 'a', 'b', 'c', 'd', 'e', 'f', 0, 0, 0, 0, 0,
      0,    0,    0,    0,    0, 0,   0,   0,   10,  0,   0,   7, 0x41, 0x0D, 0, 0};
  EXPECT_EQ(p, expected);
}

TEST(Requests, PasswordsAreCutToTheirField) {
  const std::string longPassword(40, 'x');
  const auto reg = registerPayload(100000000, longPassword);
  EXPECT_EQ(reg[4], passwdFieldSize);
  EXPECT_EQ(reg[23], 'x');

  const Ticket ticket{1, 2, 3, 4, 5, 6, 7, 8};
  const auto change = changePasswdPayload(ticket, longPassword);
  EXPECT_EQ(change[8], passwdFieldSize);
  EXPECT_EQ(change[27], 'x');
  EXPECT_TRUE(std::equal(ticket.begin(), ticket.end(), change.begin()));

  const auto empty = registerPayload(100000000, "");
  EXPECT_EQ(empty[4], 0);
  EXPECT_TRUE(std::all_of(empty.begin() + 5, empty.end(), [](auto b) { return b == 0; }));
}

TEST(Requests, FindUserAndItsAnswer) {
  const Ticket ticket{8, 7, 6, 5, 4, 3, 2, 1};
  const auto find = findUserPayload(ticket, 999999999);
  EXPECT_TRUE(std::equal(ticket.begin(), ticket.end(), find.begin()));
  EXPECT_EQ(readInt32(find, 8), 999999999);

  CPacket answer;
  const std::array<std::uint8_t, 12> body{9, 9, 9, 9, 192, 168, 1, 20, 0x41, 0x0D, 9, 9};
  buildPacket(answer, ansUserFound, 12, body);
  const FoundUser user = parseUserFound(answer);
  const std::array<std::uint8_t, 4> octets{192, 168, 1, 20};
  EXPECT_EQ(std::memcmp(&user.address, octets.data(), 4), 0);
  EXPECT_EQ(user.port, 3393);

  buildPacket(answer, ansLoggedIn, 8, ticket);
  EXPECT_EQ(parseTicket(answer), ticket);
}

TEST(Requests, KeysAfterTheUsualBodies) {
  PublicKey key{};
  key.fill(0xAB);
  const auto login = loginPayload(123456789, "abcdef", 0x0700000A, 3393, key);
  const auto plain = loginPayload(123456789, "abcdef", 0x0700000A, 3393);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), login.begin()));
  EXPECT_TRUE(std::equal(key.begin(), key.end(), login.begin() + loginSize));

  std::array<std::uint8_t, 44> body{};
  std::copy(key.begin(), key.end(), body.begin() + 12);
  CPacket answer;
  buildPacket(answer, ansUserFound, 44, body);
  EXPECT_EQ(parseFoundKey(answer), key);
  buildPacket(answer, ansUserFound, 12, body);  // a server that gives none
  EXPECT_FALSE(parseFoundKey(answer));
  buildPacket(answer, ansUserOffline, 44, body);
  EXPECT_FALSE(parseFoundKey(answer));

  writeInt32(body, 0, 200000002);
  std::copy(key.begin(), key.end(), body.begin() + 4);
  buildPacket(answer, ansUserKey, 36, body);
  EXPECT_EQ(parseUserKey(answer, 200000002), key);
  EXPECT_FALSE(parseUserKey(answer, 200000003));
  buildPacket(answer, ansUserKey, 35, body);
  EXPECT_FALSE(parseUserKey(answer, 200000002));
  buildPacket(answer, ansUserInvalid, 36, body);
  EXPECT_FALSE(parseUserKey(answer, 200000002));
}

}  // namespace
}  // namespace orvalis::net
