// Voice on its way out: the bounded queue, and its thread behind a peer
// that stops reading.

#include "net/voice_sender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "support/bounded_wait.h"
#include "support/socket_pair.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;

// A voice message of one frame whose first payload bytes carry seq.
CPacket voice(std::int16_t code, std::int32_t seq) {
  std::array<std::uint8_t, gsmFrameSize> frame{};
  writeInt32(frame, 0, seq);
  CPacket message;
  buildPacket(message, code, gsmFrameSize, frame);
  return message;
}

using Sent = std::pair<int, std::int32_t>;  // code and seq

std::vector<Sent> drain(VoiceQueue& queue) {
  std::vector<Sent> out;
  for (CPacket m; queue.pop(m);) out.emplace_back(m.code, readInt32(m.payload, 0));
  return out;
}

TEST(VoiceQueue, DropsTheOldestAndHandsTheSpurtStartOn) {
  VoiceQueue queue(3);
  EXPECT_TRUE(queue.push(voice(peerVoiceFirst, 1)));
  EXPECT_TRUE(queue.push(voice(peerVoice, 2)));
  EXPECT_TRUE(queue.push(voice(peerVoice, 3)));
  EXPECT_FALSE(queue.push(voice(peerVoice, 4)));       // 1 goes, 2 opens the spurt
  EXPECT_FALSE(queue.push(voice(peerVoiceFirst, 5)));  // 2 goes, 3 opens it
  EXPECT_FALSE(queue.push(voice(peerVoice, 6)));       // 3 goes, 4 has no spurt to open
  EXPECT_EQ(drain(queue), (std::vector<Sent>{{peerVoiceFirst, 4}, {peerVoiceFirst, 5},
                                             {peerVoice, 6}}));
  EXPECT_TRUE(queue.empty());

  VoiceQueue one(1);  // the start passes to the message that replaces it
  one.push(voice(peerVoiceFirst, 1));
  one.push(voice(peerVoice, 2));
  EXPECT_EQ(drain(one), (std::vector<Sent>{{peerVoiceFirst, 2}}));
}

TEST(VoiceSender, StalledPeerNeverHoldsUpThePosterAndTheNewestArriveInOrder) {
  const auto pair = ::orvalis::testing::makeTightLoopbackConnection();
  VoiceSender sender(pair.near, 4);
  constexpr std::int32_t posted = 2'000;  // far more than the buffers hold
  EXPECT_TRUE(::orvalis::testing::finishesWithin(
      5s,
      [&] {
        for (std::int32_t seq = 0; seq < posted; ++seq)
          sender.post(voice(seq == 0 ? peerVoiceFirst : peerVoice, seq));
      },
      [&] { pair.near->close(); }));
  EXPECT_GT(sender.dropped(), 0u);

  // Once the far end reads: whole messages, in order, up to the last one.
  pair.far->setDeadline(Socket::Clock::now() + 5s);
  std::int32_t last = -1;
  int gaps = 0;
  CPacket m;
  while (last < posted - 1 && recvPacket(*pair.far, m) != 0) {
    const std::int32_t seq = readInt32(m.payload, 0);
    ASSERT_EQ(m.length, gsmFrameSize);
    ASSERT_GT(seq, last);
    // The spurt's start, dropped or not, is marked on what arrives first.
    EXPECT_EQ(m.code, last < 0 ? peerVoiceFirst : peerVoice) << seq;
    gaps += seq != last + 1;
    last = seq;
  }
  EXPECT_EQ(last, posted - 1);
  EXPECT_GT(gaps, 0);

  // Stalled again: closing the socket lets the sender stop (a hang here
  // fails by the test's time limit).
  for (std::int32_t seq = 0; seq < posted; ++seq) sender.post(voice(peerVoice, seq));
  pair.near->close();
  sender.stop();
}

TEST(VoiceSender, BehindAStalledPeerVoiceWaitsInTheQueueNotInTheKernel) {
  const auto pair = ::orvalis::testing::makeLoopbackConnection();
  ASSERT_TRUE(pair.near->enableVoiceClass());
  VoiceSender sender(pair.near);
  // Until the far end's window is full and the queue overflows.
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (sender.dropped() < 1000 && std::chrono::steady_clock::now() < limit) {
    for (std::int32_t seq = 0; seq < 100; ++seq) sender.post(voice(peerVoice, seq));
    std::this_thread::sleep_for(1ms);
  }
  ASSERT_GE(sender.dropped(), 1000u);
  const auto unsent = pair.near->unsentBytes();
  ASSERT_TRUE(unsent);
  EXPECT_LE(*unsent, voiceUnsentLimit + static_cast<int>(headerSize + gsmFrameSize));
  pair.near->close();
}

}  // namespace
}  // namespace orvalis::net
