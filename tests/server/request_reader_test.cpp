// Framing of a request from the bytes received so far, and the answer's
// bytes in both forms.

#include "server/request_reader.h"

#include <gtest/gtest.h>

#include <random>
#include <string>

#include "net/hex_packet.h"
#include "net/message_codes.h"
#include "net/requests.h"

namespace orvalis::server {
namespace {

std::vector<std::uint8_t> bytesOf(std::string_view text) { return {text.begin(), text.end()}; }

std::vector<std::uint8_t> wire(const net::CPacket& p) {
  std::array<std::uint8_t, net::headerSize + net::maxPayload> out{};
  const std::size_t n = net::encodePacket(p, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

net::CPacket loginRequest() {
  net::CPacket p;
  const auto payload = net::loginPayload(200000001, "secret", 0x0100007F, 5000);
  net::buildPacket(p, net::reqLogin, static_cast<std::int16_t>(payload.size()), payload);
  return p;
}

TEST(RequestReader, BinaryMessageSplitAtEveryByte) {
  const net::CPacket login = loginRequest();
  const auto bytes = wire(login);
  for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
    const auto r = readRequest(std::span(bytes).first(cut));
    EXPECT_EQ(r.state, ReadState::needMore) << cut;
  }
  const auto r = readRequest(bytes);
  ASSERT_EQ(r.state, ReadState::binary);
  EXPECT_EQ(r.request.code, net::reqLogin);
  EXPECT_EQ(r.request.length, 32);
  EXPECT_TRUE(std::equal(login.payload.begin(), login.payload.end(), r.request.payload.begin()));

  // Empty and negative-length messages are complete with the header.
  EXPECT_EQ(readRequest(std::vector<std::uint8_t>{0x0C, 0, 0x0F, 0, 0, 0}).state,
            ReadState::binary);
  const auto negative = readRequest(std::vector<std::uint8_t>{0x0C, 0, 0x0F, 0, 0xFF, 0xFF});
  ASSERT_EQ(negative.state, ReadState::binary);
  EXPECT_EQ(negative.request.payloadSize(), 0u);
}

TEST(RequestReader, RefusesOversizeLengthsAndForeignFirstBytes) {
  std::vector<std::uint8_t> big{0x0C, 0, 1, 0, 0x00, 0x02};  // 512: read whole
  EXPECT_EQ(readRequest(big).state, ReadState::needMore);
  big.resize(6 + 512);
  EXPECT_EQ(readRequest(big).state, ReadState::binary);
  EXPECT_EQ(readRequest(std::vector<std::uint8_t>{0x0C, 0, 1, 0, 0x01, 0x02}).state,
            ReadState::malformed);  // 513
  EXPECT_EQ(readRequest(std::vector<std::uint8_t>{0x0C, 0, 1, 0, 0xFF, 0x7F}).state,
            ReadState::malformed);
  EXPECT_EQ(readRequest(bytesOf("POST / HTTP/1.0\r\n\r\n")).state, ReadState::malformed);
  EXPECT_EQ(readRequest(bytesOf("GEX ")).state, ReadState::malformed);
  EXPECT_EQ(readRequest(bytesOf("GE")).state, ReadState::needMore);
  EXPECT_EQ(readRequest({}).state, ReadState::needMore);
}

TEST(RequestReader, HttpOriginAndAbsoluteForms) {
  const std::string hex = net::hexEncodePacket(loginRequest());
  const std::string lower = [&] {
    std::string s = hex;
    for (char& c : s) c = static_cast<char>(std::tolower(c));
    return s;
  }();
  for (const std::string& text : {"GET /" + hex + " HTTP/1.0\r\nHost: server\r\n\r\n",
                                  "GET http://127.0.0.1:3393/" + hex +
                                      " HTTP/1.0\r\nCache-Control: no-cache\r\n"
                                      "Proxy-Connection: keep-alive\r\n\r\n",
                                  "GET HTTP://10.0.0.1/" + lower + " HTTP/1.1\nHost: a\n\n",
                                  "GET /" + hex + " HTTP/1.0\r\n\r\n"}) {
    const auto bytes = bytesOf(text);
    for (std::size_t cut = 0; cut < bytes.size(); ++cut) {
      ASSERT_EQ(readRequest(std::span(bytes).first(cut)).state, ReadState::needMore) << text;
    }
    const auto r = readRequest(bytes);
    ASSERT_EQ(r.state, ReadState::http) << text;
    EXPECT_EQ(r.request.code, net::reqLogin);
    EXPECT_EQ(r.request.payload[5], 's');
  }
  // A load balancer's check is not a request, and a target merely starting
  // like it is not a check.
  EXPECT_EQ(readRequest(bytesOf("GET /health HTTP/1.0\r\n\r\n")).state, ReadState::health);
  EXPECT_EQ(readRequest(bytesOf("GET /healthz HTTP/1.0\r\n\r\n")).state, ReadState::malformed);
}

TEST(RequestReader, RefusesBadHttpRequests) {
  const std::string hex = net::hexEncodePacket(loginRequest());
  for (const std::string& text : {
           "GET /" + hex + "\r\n\r\n",                             // no version
           "GET " + hex + " HTTP/1.0\r\n\r\n",                     // no slash
           "GET http://host" + hex + " HTTP/1.0\r\n\r\n",          // no path
           "GET /" + hex + "0 HTTP/1.0\r\n\r\n",                   // odd length
           "GET /" + hex + "00 HTTP/1.0\r\n\r\n",                  // count and length differ
           std::string("GET /0C000F00000G HTTP/1.0\r\n\r\n"),      // not hex
           "GET /" + std::string(200, '0') + " HTTP/1.0\r\n\r\n",  // over 99 bytes
       }) {
    EXPECT_EQ(readRequest(bytesOf(text)).state, ReadState::malformed) << text;
  }
  // A head that never ends is cut off at the limit.
  std::string endless = "GET /0C000F000000 HTTP/1.0\r\n";
  while (endless.size() <= maxHttpHead) endless += "X-Filler: aaaaaaaaaaaaaaaa\r\n";
  EXPECT_EQ(readRequest(bytesOf(endless)).state, ReadState::malformed);
  EXPECT_EQ(readRequest(bytesOf(endless.substr(0, maxHttpHead))).state, ReadState::needMore);
}

// A head whose empty line ends at the limit is taken, one byte more is
// refused, and no part of either, however the bytes arrive, says otherwise.
TEST(RequestReader, HeadLimitHoldsHoweverTheRequestIsSplit) {
  for (const std::size_t size : {maxHttpHead, maxHttpHead + 1}) {
    std::string text = "GET /0C000F000000 HTTP/1.0\r\nX-Pad: ";
    text += std::string(size - text.size() - 4, 'a') + "\r\n\r\n";
    ASSERT_EQ(text.size(), size);
    const auto bytes = bytesOf(text);
    const ReadState whole = size <= maxHttpHead ? ReadState::http : ReadState::malformed;
    EXPECT_EQ(readRequest(bytes).state, whole) << size;
    for (std::size_t cut = 1; cut < bytes.size(); ++cut) {
      const ReadState part = readRequest(std::span(bytes).first(cut)).state;
      if (part != ReadState::needMore) {
        ASSERT_EQ(part, whole) << size << " cut " << cut;
      }
    }
  }
}

TEST(RequestReader, RandomBytesNeverBreakIt) {
  std::mt19937 random(1234);
  std::uniform_int_distribution<int> byte(0, 255), size(0, 700);
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(size(random)));
    for (auto& b : bytes) b = static_cast<std::uint8_t>(byte(random));
    // Half the inputs look like the start of one of the two forms.
    if (round % 4 == 1 && !bytes.empty()) bytes[0] = 0x0C;
    if (round % 4 == 2 && bytes.size() >= 5) std::copy_n("GET /", 5, bytes.begin());
    const auto r = readRequest(bytes);
    if (r.state == ReadState::binary) {
      EXPECT_LE(r.request.payloadSize(), net::maxPayload);
      EXPECT_GE(bytes.size(), net::headerSize + r.request.payloadSize());
    }
  }
}

TEST(RequestReader, EncodesAnswersInTheRequestsForm) {
  net::CPacket found;
  std::array<std::uint8_t, 12> payload{};
  payload[4] = 127;
  payload[7] = 1;
  net::writeUint16(payload, 8, 5002);
  net::buildPacket(found, net::ansUserFound, 12, payload);

  const auto binary = encodeAnswer(found, ReadState::binary);
  EXPECT_EQ(binary, wire(found));

  const auto http = encodeAnswer(found, ReadState::http);
  const std::string text(http.begin(), http.end());
  const std::string body = "0C000D000C00000000007F0000018A130000";
  EXPECT_TRUE(text.starts_with("HTTP/1.0 200 OK\r\n")) << text;
  EXPECT_NE(text.find("\r\nContent-Length: 36\r\n"), std::string::npos) << text;
  EXPECT_TRUE(text.ends_with("\r\n\r\n" + body)) << text;
}

}  // namespace
}  // namespace orvalis::server
