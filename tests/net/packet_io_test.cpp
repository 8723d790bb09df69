// Whole messages over real sockets: framing, odd headers, slow and vanishing
// peers, and several threads sending on one connection.

#include "net/packet_io.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "support/bounded_wait.h"
#include "support/socket_pair.h"

namespace orvalis::net {
namespace {

using Bytes = std::vector<std::uint8_t>;
using namespace std::chrono_literals;

using ::orvalis::testing::makeSocketPair;
using ::orvalis::testing::makeTightLoopbackConnection;

void sendRaw(Socket& s, const Bytes& bytes) {
  ASSERT_EQ(s.send(bytes), static_cast<ssize_t>(bytes.size()));
}

Bytes recvRaw(Socket& s, std::size_t n) {
  Bytes b(n);
  EXPECT_EQ(recvAll(s, b), static_cast<int>(n));
  return b;
}

TEST(PacketIo, SendsExactWireBytesInOneMessage) {
  const auto pair = makeSocketPair();
  Socket& near = *pair.near;
  Socket& far = *pair.far;
  CPacket p;
  buildPacket(p, reqTestServer, 0);
  EXPECT_EQ(sendPacket(near, p), reqTestServer);
  buildPacket(p, peerFloorRequest, 0);
  EXPECT_EQ(sendPacket(near, p), peerFloorRequest);
  Bytes flags(4);
  writeInt32(flags, 0, callModePushToTalk | callModeDetector);
  buildPacket(p, peerAccept, 4, flags);
  EXPECT_EQ(sendPacket(near, p), peerAccept);

  EXPECT_EQ(recvRaw(far, 6), (Bytes{0x0C, 0, 0x0F, 0, 0, 0}));
  EXPECT_EQ(recvRaw(far, 6), (Bytes{0x0C, 0, 0x09, 0, 0, 0}));
  EXPECT_EQ(recvRaw(far, 10), (Bytes{0x0C, 0, 0x03, 0, 0x04, 0, 0x03, 0, 0, 0}));

  // An oversized length is never sent, and the connection stays usable.
  p.length = 513;
  EXPECT_EQ(sendPacket(near, p), 0);
  EXPECT_TRUE(near.isOpen());
  buildPacket(p, peerHangUp, 0);
  EXPECT_EQ(sendPacket(near, p), peerHangUp);
  EXPECT_EQ(recvRaw(far, 6), (Bytes{0x0C, 0, 0x02, 0, 0, 0}));
}

TEST(PacketIo, ReceivesOddHeadersAndLimitsLength) {
  const auto pair = makeSocketPair();
  Socket& near = *pair.near;
  Socket& far = *pair.far;
  Bytes full{0x0C, 0, 0x08, 0, 0x00, 0x02};  // code 8, 512 bytes
  for (int i = 0; i < 512; ++i) full.push_back(static_cast<std::uint8_t>(i));
  sendRaw(far, full);
  sendRaw(far, {0x63, 0x7F, 0x0D, 0, 0xFF, 0xFF});  // odd marker and reserved, length -1
  sendRaw(far, {0x0C, 0, 0x01, 0x80, 0x03, 0, 'a', 'b', 'c'});  // code -32767
  sendRaw(far, {0x0C, 0, 0x08, 0, 0x01, 0x02, 'x', 'y', 'z'});  // 513 bytes announced

  CPacket p;
  ASSERT_EQ(recvPacket(near, p), ansFailed);
  EXPECT_EQ(p.length, 512);
  EXPECT_EQ(p.payload[511], 511 % 256);

  EXPECT_EQ(recvPacket(near, p), ansUserFound);
  EXPECT_EQ(p.marker, 0x63);
  EXPECT_EQ(p.reserved, 0x7F);
  EXPECT_TRUE(p.body().empty());
  EXPECT_EQ(p.payload[0], 0);  // the previous 512 bytes were cleared

  p.payload.fill(0xEE);
  EXPECT_EQ(recvPacket(near, p), -32767);
  EXPECT_EQ(p.payload[2], 'c');
  EXPECT_EQ(p.payload[3], 0);
  EXPECT_EQ(p.payload[maxPayload - 1], 0);

  // Refused without reading on: the rest stays queued and the socket open.
  EXPECT_EQ(recvPacket(near, p), 0);
  EXPECT_TRUE(near.isOpen());
  EXPECT_EQ(recvRaw(near, 3), (Bytes{'x', 'y', 'z'}));
}

TEST(PacketIo, SlowPeerYieldsOneMessageAndVanishingPeerFails) {
  const auto pair = makeSocketPair();
  Socket& near = *pair.near;
  Socket& far = *pair.far;
  const Bytes wire{0x0C, 0, 0x08, 0, 0x05, 0, 1, 2, 3, 4, 5};
  std::thread dribbler([&] {
    for (std::uint8_t b : wire) {
      sendRaw(far, {b});
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    sendRaw(far, {0x0C, 0, 0x08, 0, 0x05, 0, 1, 2});
    far.close();
  });
  CPacket p;
  EXPECT_EQ(recvPacket(near, p), peerVoice);
  EXPECT_EQ(p.length, 5);
  EXPECT_EQ(p.payload[4], 5);

  // The peer closes three bytes short of the payload.
  EXPECT_EQ(recvPacket(near, p), 0);
  EXPECT_FALSE(near.isOpen());
  dribbler.join();
  EXPECT_EQ(recvPacket(near, p), 0);
  EXPECT_EQ(sendPacket(near, p), 0);
}

TEST(PacketIo, ConcurrentSendersKeepMessagesWhole) {
  const auto pair = makeTightLoopbackConnection();
  Socket& near = *pair.near;
  Socket& far = *pair.far;
  constexpr int senders = 3;
  constexpr int perSender = 3000;
  auto lengthOf = [](int i) { return static_cast<std::int16_t>(33 + (i * 7) % 133); };
  auto byteOf = [](int t, int i, int j) { return static_cast<std::uint8_t>(t * 85 + i + j); };

  std::vector<std::thread> threads;
  for (int t = 0; t < senders; ++t) {
    threads.emplace_back([&, t] {
      CPacket p;
      Bytes data(maxPayload);
      for (int i = 0; i < perSender; ++i) {
        for (int j = 0; j < lengthOf(i); ++j) data[static_cast<std::size_t>(j)] = byteOf(t, i, j);
        buildPacket(p, static_cast<std::int16_t>(100 + t), lengthOf(i), data);
        if (sendPacket(near, p) != 100 + t) return;
      }
    });
  }

  std::array<int, senders> next{};
  int bad = 0;
  CPacket p;
  for (int n = 0; n < senders * perSender && bad == 0; ++n) {
    const int code = recvPacket(far, p);
    const int t = code - 100;
    if (p.marker != packetMarker || t < 0 || t >= senders) {
      ++bad;
      break;
    }
    const int i = next[static_cast<std::size_t>(t)]++;
    bad += p.length != lengthOf(i);
    for (int j = 0; j < p.length; ++j) bad += p.payload[static_cast<std::size_t>(j)] != byteOf(t, i, j);
  }
  if (bad != 0) near.close();  // unblocks the senders so they can be joined
  for (auto& th : threads) th.join();
  EXPECT_EQ(bad, 0);
  EXPECT_EQ(next, (std::array<int, senders>{perSender, perSender, perSender}));
}

TEST(PacketIo, TimedSendGivesUpBehindAStalledPeerAndBreaksTheStream) {
  CPacket p;
  buildPacket(p, peerVoice, maxPayload, Bytes(maxPayload, 1));
  auto timed = [&](Socket& s) { return sendPacketBy(s, p, Socket::Clock::now() + 100ms); };

  // The far end does not read: once the buffers are full a timed send gives
  // up, and the socket, possibly holding part of a message, is closed.
  auto pair = makeTightLoopbackConnection();
  int whole = 0;
  while (whole < 10'000 && timed(*pair.near) == peerVoice) ++whole;
  EXPECT_FALSE(pair.near->isOpen());
  CPacket got;
  for (int i = 0; i < whole; ++i) ASSERT_EQ(recvPacket(*pair.far, got), peerVoice) << i;
  EXPECT_EQ(recvPacket(*pair.far, got), 0);

  // Another thread waits in an untimed send, holding the send lock.
  pair = makeTightLoopbackConnection();
  Socket& near = *pair.near;
  std::thread stalled([&] {
    while (sendPacket(near, p) != 0) {
    }
  });
  bool gaveUp = false;
  EXPECT_TRUE(::orvalis::testing::finishesWithin(
      5s,
      [&] {
        for (int i = 0; i < 10'000 && !gaveUp; ++i) gaveUp = timed(near) == 0;
      },
      [&] { near.close(); }));
  EXPECT_TRUE(gaveUp);
  EXPECT_FALSE(near.isOpen());
  stalled.join();  // woken by the close
}

TEST(PacketIo, ConnectTcpReachesListenerAndReportsRefusal) {
  const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
  auto listener = Socket::createTcp();
  ASSERT_TRUE(listener && listener->listen(loopback, 0));
  const std::uint16_t port = listener->localPort();
  ASSERT_NE(port, 0);

  SocketPtr client;
  ASSERT_EQ(connectTcp(client, loopback, port), ConnectResult::ok);
  std::uint32_t peerAddress = 0;
  std::uint16_t peerPort = 0;
  auto served = listener->accept(&peerAddress, &peerPort);
  ASSERT_TRUE(served);
  EXPECT_EQ(peerAddress, loopback);
  EXPECT_EQ(peerPort, client->localPort());

  CPacket p;
  buildPacket(p, reqLogin, 3, Bytes{7, 8, 9});
  EXPECT_EQ(sendPacket(*client, p), reqLogin);
  EXPECT_EQ(recvPacket(*served, p), reqLogin);
  EXPECT_EQ(p.payload[2], 9);

  // Nobody listens on the port any more: refused, the socket still handed out.
  listener->close();
  SharedSocket shared;
  EXPECT_EQ(connectTcp(shared, loopback, port), ConnectResult::failed);
  EXPECT_TRUE(shared.get());
  SocketPtr plain;
  EXPECT_EQ(connectTcp(plain, loopback, port), ConnectResult::failed);
  EXPECT_TRUE(plain);
}

}  // namespace
}  // namespace orvalis::net
