#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "audio/play.h"
#include "audio/portaudio_device.h"
#include "audio/record.h"
#include "audio/virtual_device.h"

namespace orvalis::audio {
namespace {

using Clock = VirtualDevices::Clock;
using namespace std::chrono_literals;

class Sink final : public CaptureSink {
 public:
  void captureBlock(std::int32_t n, std::span<const std::int16_t> block) override {
    std::lock_guard lock(m_);
    sizes_.push_back(static_cast<std::size_t>(n) * frameSamples == block.size() ? block.size() : 0);
    samples_.insert(samples_.end(), block.begin(), block.end());
  }
  std::vector<std::size_t> sizes() const {  // 0 for a block whose n and size disagree
    std::lock_guard lock(m_);
    return sizes_;
  }
  std::vector<std::int16_t> samples() const {
    std::lock_guard lock(m_);
    return samples_;
  }

 private:
  mutable std::mutex m_;
  std::vector<std::size_t> sizes_;
  std::vector<std::int16_t> samples_;
};

// Fills each block with a running count, so order and loss show.
class Source final : public PlaybackSource {
 public:
  void playerOpened() override { ++opened; }
  void playBlock(std::int32_t n, std::span<std::int16_t> block) override {
    if (block.size() != static_cast<std::size_t>(n) * frameSamples) ++badBlocks;
    for (auto& s : block) s = static_cast<std::int16_t>(1 + next++ % 30000);
    ++blocks;
  }
  std::atomic<int> opened{0};
  std::atomic<int> blocks{0};
  std::atomic<int> badBlocks{0};
  int next = 0;  // playback thread only
};

// What Source plays, and the microphone's tape.
std::vector<std::int16_t> counting(std::size_t from, std::size_t n) {
  std::vector<std::int16_t> c(n);
  for (std::size_t i = 0; i < n; ++i) c[i] = static_cast<std::int16_t>(1 + (from + i) % 30000);
  return c;
}

VirtualDevices::Options manual(std::size_t tapeSamples = 0, std::size_t chunk = 0) {
  VirtualDevices::Options o;
  o.microphone = counting(0, tapeSamples);
  o.captureChunk = chunk;
  return o;
}

TEST(DeviceWrappers, FramesPerBufferOutsideOneToFiveFallBackToTwo) {
  for (const auto& [asked, used] : std::initializer_list<std::pair<int, int>>{{0, 2}, {6, 2}, {-3, 2}, {1, 1}, {5, 5}}) {
    VirtualDevices devices(manual(4000));
    Sink sink;
    Source source;
    CRecord rec(devices, sink);
    CPlay play(devices, source);
    rec.open(0, asked);
    play.open(0, asked);
    EXPECT_EQ(rec.framesPerBuffer(), used);
    EXPECT_EQ(play.framesPerBuffer(), used);
    EXPECT_EQ(devices.pump(Direction::capture, 1), 1u);
    EXPECT_EQ(devices.pump(Direction::playback, 1), 1u);
    const std::size_t block = static_cast<std::size_t>(used) * frameSamples;
    EXPECT_EQ(sink.sizes(), std::vector<std::size_t>{block});
    EXPECT_EQ(devices.played().size(), block);
    rec.close();
    play.close();
    EXPECT_EQ(rec.framesPerBuffer(), defaultFramesPerBuffer);
  }
}

TEST(CRecord, ShortBuffersStillYieldWholeBlocksInOrder) {
  for (const std::size_t chunk : {0, 1, 70, 333, 479, 2000}) {
    VirtualDevices devices(manual(30000, chunk));
    Sink sink;
    CRecord rec(devices, sink);
    rec.open(0, 3);
    ASSERT_TRUE(rec.opened());
    const std::size_t pumped = devices.pump(Direction::capture, 50);
    ASSERT_EQ(pumped, 50u);
    const std::size_t delivered = 50 * (chunk == 0 ? 480 : std::min<std::size_t>(chunk, 480));
    EXPECT_EQ(sink.sizes(), std::vector<std::size_t>(delivered / 480, 480)) << "chunk " << chunk;
    const auto expected = counting(0, delivered - delivered % 480);
    EXPECT_EQ(sink.samples(), expected) << "chunk " << chunk;
  }
}

TEST(CRecord, ReopenDropsThePartBlockAndContinuesTheTape) {
  VirtualDevices devices(manual(5000, 100));
  Sink sink;
  CRecord rec(devices, sink);
  rec.open(0, 2);
  rec.open(0, 5);  // already open: no change
  EXPECT_EQ(rec.framesPerBuffer(), 2);
  EXPECT_EQ(devices.pump(Direction::capture, 5), 5u);  // 500 samples: one block and 180 over
  rec.close();
  rec.close();
  EXPECT_FALSE(rec.opened());
  EXPECT_EQ(devices.pump(Direction::capture, 5), 0u);
  rec.open(0, 2);
  EXPECT_EQ(devices.pump(Direction::capture, 4), 4u);
  const auto all = counting(0, 900);
  std::vector<std::int16_t> expected(all.begin(), all.begin() + 320);
  expected.insert(expected.end(), all.begin() + 500, all.begin() + 820);
  EXPECT_EQ(sink.samples(), expected);
}

TEST(CPlay, PlaysSixSilentBuffersThenTheSourceInOrderAgainAfterReopen) {
  VirtualDevices devices(manual());
  Source source;
  CPlay play(devices, source);
  play.open(0, 2);
  EXPECT_EQ(source.opened, 1);
  EXPECT_EQ(devices.pump(Direction::playback, 10), 10u);
  std::vector<std::int16_t> expected(6 * 320, 0);
  const auto first = counting(0, 4 * 320);
  expected.insert(expected.end(), first.begin(), first.end());
  EXPECT_EQ(devices.played(), expected);

  play.close();
  EXPECT_EQ(devices.pump(Direction::playback, 10), 0u);
  const int blocks = source.blocks;
  EXPECT_EQ(blocks, 10) << "each played buffer is refilled once";
  play.open(0, 1);
  EXPECT_EQ(source.opened, 2);
  EXPECT_EQ(devices.pump(Direction::playback, 7), 7u);
  expected.insert(expected.end(), 6 * 160, 0);
  const auto second = counting(10 * 320, 160);
  expected.insert(expected.end(), second.begin(), second.end());
  EXPECT_EQ(devices.played(), expected);
  EXPECT_EQ(source.badBlocks, 0);
}

TEST(DeviceWrappers, DeviceThatCannotOpenLeavesTheWrapperClosed) {
  VirtualDevices devices(manual());
  NoDevices none;
  PortAudioDevices card;
  Sink sink;
  Source source;
  CRecord onNothing(none, sink), onCard(card, sink);
  CPlay badNumber(devices, source), negative(card, source);
  onNothing.open(0, 2);
  badNumber.open(1, 2);
  onCard.open(static_cast<std::int32_t>(card.names(Direction::capture).size()), 2);
  negative.open(-1, 2);
  badNumber.close();
  EXPECT_FALSE(onNothing.opened() || badNumber.opened() || onCard.opened() || negative.opened());
  EXPECT_EQ(source.opened, 0);

  // The card's lists are whatever the machine has; asking must be harmless.
  const bool any = !card.names(Direction::capture).empty() || !card.names(Direction::playback).empty();
  EXPECT_EQ(card.available(), any);
  EXPECT_EQ(card.open(Direction::playback, 1 << 20, {}, [](WaveBuffer&) {}), nullptr);
}

TEST(PortAudioQueue, CardPeriodsSpreadOverLentBuffersInOrder) {
  std::array<std::int16_t, 300> store{};
  std::array<WaveBuffer, 3> b;
  CallbackQueue q;
  for (std::size_t i = 0; i < b.size(); ++i) {
    b[i].samples = std::span(store).subspan(100 * i, 100);
    ASSERT_TRUE(q.push(b[i]));
  }
  CallbackQueue::Finished done{};
  const auto in = counting(0, 400);
  EXPECT_EQ(q.capture(in.data(), 70, done), 0u);
  EXPECT_EQ(q.capture(in.data() + 70, 70, done), 1u);
  EXPECT_EQ(done[0], &b[0]);
  EXPECT_EQ(q.capture(in.data() + 140, 260, done), 2u) << "the rest is dropped";
  EXPECT_TRUE(done[0] == &b[1] && done[1] == &b[2] && b[2].recorded == 100);
  EXPECT_EQ(std::vector<std::int16_t>(store.begin(), store.end()), counting(0, 300));

  q.push(b[0]);
  EXPECT_EQ(q.capture(nullptr, 30, done), 0u);
  std::size_t headDone = 0;
  EXPECT_EQ(q.drain(done, headDone), 1u);
  EXPECT_EQ(headDone, 30u);
  EXPECT_EQ(store[29], 0);
  EXPECT_EQ(store[30], 31);

  std::array<std::int16_t, 250> out;
  out.fill(-1);
  q.push(b[1]);
  q.push(b[2]);
  EXPECT_EQ(q.play(out.data(), 150, done), 1u);
  EXPECT_EQ(q.play(out.data() + 150, 100, done), 1u);
  EXPECT_EQ(std::vector<std::int16_t>(out.begin(), out.begin() + 200), counting(100, 200));
  EXPECT_TRUE(std::all_of(out.begin() + 200, out.end(), [](auto s) { return s == 0; }));
  for (std::size_t i = 0; i < CallbackQueue::capacity; ++i) EXPECT_TRUE(q.push(b[0]));
  EXPECT_FALSE(q.push(b[0]));
}

TEST(DeviceWrappers, NothingReachesTheEngineAfterCloseOnRealtimeDevices) {
  VirtualDevices::Options o = manual(2000);
  o.clock = Clock::realtime;
  VirtualDevices devices(o);
  Sink sink;
  Source source;
  CRecord rec(devices, sink);
  CPlay play(devices, source);
  rec.open(0, 1);
  play.open(0, 1);
  const auto deadline = std::chrono::steady_clock::now() + 10s;
  while ((sink.sizes().size() < 3 || source.blocks < 3) && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(5ms);
  rec.close();
  play.close();
  const auto captured = sink.sizes().size();
  const int played = source.blocks;
  EXPECT_GE(captured, 3u);
  EXPECT_GE(played, 3);
  std::this_thread::sleep_for(60ms);
  EXPECT_EQ(sink.sizes().size(), captured);
  EXPECT_EQ(source.blocks, played);

  // The call thread and the UI may open and close at the same time.
  std::atomic<bool> go{true};
  std::thread other([&] {
    while (go) {
      rec.open(0, 2);
      play.close();
    }
  });
  for (int i = 0; i < 200; ++i) {
    rec.close();
    play.open(0, 2);
  }
  go = false;
  other.join();
  const auto sizes = sink.sizes();
  EXPECT_EQ(std::count(sizes.begin(), sizes.end(), 0), 0);
  EXPECT_EQ(source.badBlocks, 0);
}

}  // namespace
}  // namespace orvalis::audio
