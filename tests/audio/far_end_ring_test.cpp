#include <gtest/gtest.h>

#include <array>
#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "audio/far_end_ring.h"

namespace orvalis::audio {
namespace {

using Frame = std::array<std::int16_t, frameSamples>;

// Blocks of two frames numbered by their sample count, so where a read
// lands shows in its first sample.
struct Played {
  FarEndRing ring;
  std::int16_t next = 1;
  void play(std::size_t samples) {
    std::vector<std::int16_t> block(samples);
    std::iota(block.begin(), block.end(), next);
    next = static_cast<std::int16_t>(next + static_cast<std::int16_t>(samples));
    ring.write(block);
  }
};

TEST(FarEndRing, ReadsTheLagBehindTheNewestAndKeepsStep) {
  Played p;
  p.play(2000);
  Frame f{};
  EXPECT_TRUE(p.ring.read(f, 800));
  EXPECT_EQ(f[0], 2000 - 800 + 1);
  EXPECT_EQ(f[159], 2000 - 800 + 160);
  // Writes in bursts move the newest; the reader goes on from where it was.
  p.play(320);
  EXPECT_FALSE(p.ring.read(f, 800));
  EXPECT_EQ(f[0], 2000 - 800 + 161);
  // Far out of step (the reader was away): back to the lag.
  p.play(4000);
  EXPECT_TRUE(p.ring.read(f, 800));
  EXPECT_EQ(f[0], 6320 - 800 + 1);
}

TEST(FarEndRing, AWriterInBurstsIsWaitedForFurtherBehind) {
  Played p;
  p.play(960);
  Frame f{};
  EXPECT_TRUE(p.ring.read(f, 480));
  EXPECT_EQ(f[0], 481);
  for (int k = 0; k < 2; ++k) EXPECT_FALSE(p.ring.read(f, 480));
  EXPECT_EQ(f[159], 960);  // caught up with the writer
  // Before the next burst: never the silence of samples not yet written,
  // but a step back, and the same distance behind from then on.
  EXPECT_TRUE(p.ring.read(f, 480));
  EXPECT_EQ(f[0], 960 - 320 + 1);
  for (int burst = 0; burst < 4; ++burst) {
    p.play(960);
    for (int k = 0; k < 6; ++k) {
      EXPECT_FALSE(p.ring.read(f, 480));
      EXPECT_NE(f[159], 0);
    }
  }
}

TEST(FarEndRing, NothingPlayedIsSilence) {
  Played p;
  Frame f{};
  f.fill(7);
  p.ring.read(f, 0);
  EXPECT_EQ(f, Frame{});  // nothing written yet
  p.play(1000);
  p.ring.stop();
  f.fill(7);
  p.ring.read(f, 400);
  EXPECT_EQ(f, Frame{});  // the loudspeaker is closed
  // Started again: what played before the stop is not heard any more.
  p.play(200);
  p.ring.read(f, 400);
  EXPECT_EQ(f[0], 0);
  EXPECT_EQ(f[159], 0);
  p.ring.read(f, 400);
  EXPECT_EQ(f[39], 0);
  EXPECT_EQ(f[40], 1001);
}

TEST(FarEndRing, OneWriterAndOneReaderOnTheirOwnThreads) {
  FarEndRing ring;
  // Paced as a device is (a block far quicker than its 40 ms, though): a
  // reader is never held up long enough for the writer to lap the ring.
  std::atomic<bool> done{false};
  std::thread writer([&] {
    std::array<std::int16_t, 320> block{};
    for (int k = 0; k < 500; ++k) {
      block.fill(static_cast<std::int16_t>(k));
      ring.write(block);
      std::this_thread::sleep_for(std::chrono::microseconds(500));
    }
    done = true;
  });
  Frame f{};
  while (!done) {
    ring.read(f, 640);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    // A frame is never torn across the writer's blocks by more than one step.
    EXPECT_LE(f[159] - f[0], 1);
  }
  writer.join();
}

}  // namespace
}  // namespace orvalis::audio
