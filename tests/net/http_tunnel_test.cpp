// The HTTP tunnel: the GET it sends and the answers it accepts.

#include "net/http_tunnel.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <string>
#include <vector>

#include "net/hex_packet.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "support/socket_pair.h"

namespace orvalis::net {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

std::optional<CPacket> parse(std::string_view text) { return parseHttpAnswer(bytesOf(text)); }

using ::orvalis::testing::makeSocketPair;

const std::string okHead = "HTTP/1.0 200 OK\r\nContent-Length: 12\r\n\r\n";
const std::string loggedIn = "0C000E000000";

TEST(HttpTunnel, SendsOneGetOfAtMost99Bytes) {
  store::CnfData cnf;
  cnf.serverHost = htonl(0x7F000001);
  cnf.serverPort = 3393;
  const auto pair = makeSocketPair();
  CPacket p;
  buildPacket(p, reqTestServer, 0);
  EXPECT_EQ(httpSendRequest(*pair.near, cnf, p), 1);
  const std::string expected =
      "GET http://127.0.0.1:3393/0C000F000000 HTTP/1.0\r\nCache-Control: no-cache\r\n"
      "Proxy-Connection: keep-alive\r\n\r\n";
  Bytes got(expected.size());
  ASSERT_EQ(recvAll(*pair.far, got), static_cast<int>(expected.size()));
  EXPECT_EQ(got, bytesOf(expected));

  const std::vector<std::uint8_t> body(94, 0x11);
  buildPacket(p, reqLogin, 93, body);
  EXPECT_EQ(httpSendRequest(*pair.near, cnf, p), 1);
  buildPacket(p, reqLogin, 94, body);
  EXPECT_EQ(httpSendRequest(*pair.near, cnf, p), 0);
  pair.near->close();
  // Only the 99-byte request went out: its 198 hex characters and nothing after.
  std::string rest;
  for (int byte; (byte = recvByte(*pair.far)) >= 0;) rest.push_back(static_cast<char>(byte));
  EXPECT_EQ(rest.size(), expected.size() - 12 + 198);
  EXPECT_EQ(rest.find("0C0003005D00"), 26u);
}

TEST(HttpTunnel, AcceptsOnlyOneStatusLineOf200) {
  const auto answer = parse(okHead + loggedIn);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->code, ansLoggedIn);
  EXPECT_EQ(answer->length, 0);

  EXPECT_FALSE(parse("HTTP/1.1 200 Connection established\r\n" + okHead + loggedIn));
  EXPECT_FALSE(parse("HTTP/1.0 404 Not Found\r\nContent-Length: 12\r\n\r\n" + loggedIn));
  EXPECT_FALSE(parse("Content-Length: 12\r\n\r\n" + loggedIn));  // no status line
  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\n\r\n" + loggedIn));     // no length
  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\nContent-Length: 12\r\n" + loggedIn));  // no empty line
  EXPECT_FALSE(parse(""));
}

TEST(HttpTunnel, ReadsFirstContentLengthInAnyCase) {
  for (const char* key : {"content-length:", "CONTENT-LENGTH:", "Content-length:"}) {
    EXPECT_TRUE(parse(std::string("HTTP/1.0 200 OK\r\n") + key + "   12\r\n\r\n" + loggedIn)) << key;
  }
  // The second header would take in the trailing junk.
  EXPECT_TRUE(parse("HTTP/1.0 200 OK\r\nContent-Length: 12\r\nContent-Length: 20\r\n\r\n" +
                    loggedIn + "FFFFFFFF"));
  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\nContent-Length: 20\r\nContent-Length: 12\r\n\r\n" +
                     loggedIn + "FFFFFFFF"));
  // A key that is not at the line's start leaves its value elsewhere.
  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\nX-Content-Length: 12\r\n\r\n" + loggedIn));
}

TEST(HttpTunnel, FiltersAndTrimsTheBody) {
  // Control and high bytes vanish from header and body; blanks and line
  // ends around the text are trimmed; the data may end before the length.
  std::string noisy = "HTTP/1.0 2\x01" "00 OK\xC3\xA9\r\nContent-Length: 99\r\n\r\n";
  noisy += "\r\n  0c000e\x02\xFF" "000000 \r\n";
  const auto answer = parse(noisy);
  ASSERT_TRUE(answer);
  EXPECT_EQ(answer->code, ansLoggedIn);

  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\nContent-Length: 13\r\n\r\n0C000E 000000"));
  const std::string longest = "0C000E003600" + std::string(108, '0');
  const std::string head120 = "HTTP/1.0 200 OK\r\nContent-Length: 121\r\n\r\n";
  EXPECT_TRUE(parse(head120 + longest));
  EXPECT_FALSE(parse(head120 + longest + "0"));                                      // 121
  EXPECT_FALSE(parse("HTTP/1.0 200 OK\r\nContent-Length: 11\r\n\r\n0C000E00000"));  // odd
}

TEST(HttpTunnel, ReadsAnswerFromSocketAndStopsAtItsLength) {
  const auto pair = makeSocketPair();
  const Bytes wire = bytesOf(okHead + loggedIn + "X");
  ASSERT_EQ(pair.far->send(wire), static_cast<ssize_t>(wire.size()));
  CPacket answer;
  ASSERT_EQ(httpReadAnswer(*pair.near, answer), 1);
  EXPECT_EQ(answer.code, ansLoggedIn);
  EXPECT_EQ(recvByte(*pair.near), 'X');

  const Bytes refused = bytesOf("HTTP/1.0 403 Forbidden\r\nContent-Length: 12\r\n\r\n" + loggedIn);
  ASSERT_EQ(pair.far->send(refused), static_cast<ssize_t>(refused.size()));
  pair.far->close();
  EXPECT_EQ(httpReadAnswer(*pair.near, answer), 0);
  EXPECT_EQ(recvByte(*pair.near), -1);
}

}  // namespace
}  // namespace orvalis::net
