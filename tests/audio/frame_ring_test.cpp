#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <thread>

#include "audio/frame_ring.h"
#include "store/config.h"

namespace orvalis::audio {
namespace {

using Bytes = std::array<std::uint8_t, gsmBytes>;

// Frame k: k in its first two bytes, k's low byte in all others, so that a
// torn or misplaced frame shows.
Bytes frameOf(int k) {
  Bytes f;
  f.fill(static_cast<std::uint8_t>(k));
  f[1] = static_cast<std::uint8_t>(k >> 8);
  return f;
}

int numberOf(const Bytes& f) {
  for (std::size_t i = 2; i < f.size(); ++i) EXPECT_EQ(f[i], f[0]) << "torn frame";
  return f[0] | f[1] << 8;
}

struct Ring {
  Ring() { store::setDefaults(cnf); }
  // Frames the spool lets go now, checked to continue from `first`.
  int drain(int first) {
    Bytes out;
    int got = 0;
    while (ring.getSpooled(out)) EXPECT_EQ(numberOf(out), first + got++);
    return got;
  }
  void spurt(int first, int count) {
    ring.markSpurt();
    for (int k = first; k < first + count; ++k) ring.putFrame(frameOf(k));
  }
  store::CnfData cnf;
  int switchesToPlayback = 0;
  CBuf ring{cnf, [this] { ++switchesToPlayback; }};
};

TEST(FrameRing, SpoolHoldsTheStartOfEachSpurt) {
  Ring r;
  r.cnf.nGsmDelay = 4;  // 50 frames, 21 ticks
  r.spurt(0, 30);
  for (int tick = 0; tick < 23; ++tick, r.ring.tickHold()) EXPECT_EQ(r.drain(0), 0) << tick;
  EXPECT_EQ(r.drain(0), 30);  // released by the 23rd tick
  r.spurt(30, 50);            // fills the spool: plays at once
  EXPECT_EQ(r.drain(30), 50);

  // A second spurt cancels the hold; the reader holds again at its start.
  r.spurt(80, 5);
  EXPECT_EQ(r.drain(80), 0);
  r.spurt(85, 3);
  EXPECT_EQ(r.drain(80), 5);
  EXPECT_TRUE(r.ring.holding());
  r.ring.resetReader();  // the speaker reopens: queued speech is dropped
  EXPECT_EQ(r.ring.readyState(), SlotState::empty);
  EXPECT_EQ(r.ring.queued(), 0);

  r.cnf.nGsmDelay = 0;
  r.spurt(90, 1);
  EXPECT_EQ(r.drain(90), 1);
}

// Any value but full duplex (0) is half duplex, a damaged one too: the test
// records first, then hands the card back to playback and plays.
TEST(FrameRing, HalfDuplexTestRecordsThenSwitchesToPlayback) {
  for (const std::int32_t system : {1, 7}) {
    Ring r;
    r.cnf.soundSystem = system;
    r.ring.startTest();
    EXPECT_EQ(r.ring.testPlay.load(), TestState::idle) << system;
    for (int k = 0; k < testFrames; ++k) ASSERT_TRUE(r.ring.putTest(frameOf(k))) << k;
    EXPECT_FALSE(r.ring.putTest(frameOf(0)));
    EXPECT_EQ(r.ring.testRec.load(), TestState::done);
    EXPECT_EQ(r.switchesToPlayback, 1) << system;
    Bytes out;
    for (int k = 0; k < testFrames; ++k) {
      ASSERT_TRUE(r.ring.getTest(out)) << k;
      EXPECT_EQ(numberOf(out), k);
    }
    EXPECT_EQ(r.ring.testPlay.load(), TestState::done) << system;
  }
}

// A writer thread and a reader thread: every frame arrives once, whole and
// in order.
TEST(FrameRing, ThreadsHandOverEveryFrame) {
  constexpr int total = 20000;
  Ring r;
  r.cnf.nGsmDelay = 0;
  std::atomic<bool> done{false};
  std::thread writer([&] {
    for (int k = 0; k < total; ++k) {
      // Stay a lap behind the reader: an overwritten frame would be lost.
      while (r.ring.queued() > 200 && !done) std::this_thread::yield();
      if (k % 40 == 0) r.ring.markSpurt();
      r.ring.putFrame(frameOf(k));
    }
  });
  Bytes out;
  int got = 0;
  while (got < total) {
    if (!r.ring.getSpooled(out))
      std::this_thread::yield();
    else if (numberOf(out) == got)
      ++got;
    else
      break;
  }
  done = true;
  writer.join();
  EXPECT_EQ(got, total);
}

}  // namespace
}  // namespace orvalis::audio
