#include <gtest/gtest.h>

#include <array>
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
  std::thread writer([&] {
    std::array<std::int16_t, 320> block{};
    for (int k = 0; k < 2000; ++k) {
      block.fill(static_cast<std::int16_t>(k));
      ring.write(block);
    }
  });
  Frame f{};
  for (int k = 0; k < 2000; ++k) {
    ring.read(f, 640);
    // A frame is never torn across the writer's blocks by more than one step.
    EXPECT_LE(f[159] - f[0], 1);
  }
  writer.join();
}

}  // namespace
}  // namespace orvalis::audio
