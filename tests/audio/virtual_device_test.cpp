#include "audio/virtual_device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <numeric>
#include <stdexcept>
#include <thread>

#include "audio/wav_file.h"
#include "support/temp_dir.h"

namespace orvalis::audio {
namespace {

using Clock = VirtualDevices::Clock;
using Samples = std::vector<std::int16_t>;
using namespace std::chrono_literals;

// Buffers lent to one stream; each must come back exactly once per
// queuing. The vectors are read only once the stream has been reset.
struct Lender {
  Lender(std::size_t count, std::size_t size, std::int16_t fill = 0)
      : storage(count * size, fill), buffers(count), out(count) {
    for (std::size_t i = 0; i < count; ++i) buffers[i].samples = std::span(storage).subspan(i * size, size);
  }
  WaveStream::Done done() {
    return [this](WaveBuffer& b) {
      const auto i = static_cast<std::size_t>(&b - buffers.data());
      if (out[i].fetch_sub(1) != 1) ++faults;
      returned.push_back(i);
      recorded.push_back(b.recorded);
      ++back;
      if (requeue) lend(i);
    };
  }
  void lend(std::size_t i) {
    ++out[i];
    if (!stream->queue(buffers[i])) ++faults;
  }
  void lendAll(WaveStream* s) {
    stream = s;
    for (std::size_t i = 0; i < buffers.size(); ++i) lend(i);
  }
  int outstanding() const {
    return std::accumulate(out.begin(), out.end(), 0, [](int s, const std::atomic<int>& o) { return s + o; });
  }

  Samples storage;
  std::vector<WaveBuffer> buffers;
  std::vector<std::atomic<int>> out;
  std::atomic<int> faults{0};
  std::atomic<int> back{0};
  std::atomic<bool> requeue{false};
  WaveStream* stream = nullptr;
  std::vector<std::size_t> returned;
  std::vector<std::size_t> recorded;
};

Samples ramp(std::size_t n, int from = 1) {
  Samples r(n);
  std::iota(r.begin(), r.end(), static_cast<std::int16_t>(from));
  return r;
}

VirtualDevices::Options withClock(Clock clock) {
  VirtualDevices::Options o;
  o.clock = clock;
  return o;
}

TEST(VirtualDevices, ListsOneDeviceEachWayOpenAtMostOnce) {
  VirtualDevices devices;
  EXPECT_EQ(devices.names(Direction::capture), std::vector<std::string>{"Virtual microphone"});
  EXPECT_EQ(devices.names(Direction::playback), std::vector<std::string>{"Virtual speaker"});
  const auto ignore = [](WaveBuffer&) {};
  EXPECT_EQ(devices.open(Direction::capture, 1, {}, ignore), nullptr);
  WaveFormat stereo;
  stereo.channels = 2;
  EXPECT_EQ(devices.open(Direction::playback, 0, stereo, ignore), nullptr);
  auto first = devices.open(Direction::playback, 0, {}, ignore);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(devices.open(Direction::playback, 0, {}, ignore), nullptr);
  EXPECT_NE(devices.open(Direction::capture, 0, {}, ignore), nullptr);
  first.reset();
  EXPECT_NE(devices.open(Direction::playback, 0, {}, ignore), nullptr);
}

TEST(VirtualDevices, ResetHandsEveryQueuedBufferBackOnce) {
  VirtualDevices::Options o = withClock(Clock::manual);
  o.microphone = ramp(1000);
  VirtualDevices devices(o);
  Lender mic(6, 100);
  auto capture = devices.open(Direction::capture, 0, {}, mic.done());
  mic.lendAll(capture.get());
  EXPECT_EQ(devices.pump(Direction::capture, 10), 0u) << "capture starts stopped";
  capture->start();
  EXPECT_EQ(devices.pump(Direction::capture, 2), 2u);
  EXPECT_EQ(Samples(mic.storage.begin(), mic.storage.begin() + 200), ramp(200));
  capture->reset();
  capture->reset();
  EXPECT_EQ(mic.returned, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(mic.recorded, (std::vector<std::size_t>{100, 100, 0, 0, 0, 0}));
  EXPECT_EQ(devices.pump(Direction::capture, 10), 0u);

  // Paused playback holds its queue; destroying the stream returns all of it.
  Lender spk(6, 50);
  auto playback = devices.open(Direction::playback, 0, {}, spk.done());
  playback->pause();
  spk.lendAll(playback.get());
  EXPECT_EQ(devices.pump(Direction::playback, 10), 0u);
  playback->start();
  EXPECT_EQ(devices.pump(Direction::playback, 1), 1u);
  playback.reset();
  EXPECT_EQ(spk.returned.size(), 6u);
  EXPECT_EQ(mic.outstanding() + spk.outstanding() + mic.faults + spk.faults, 0);
}

TEST(VirtualDevices, MicrophoneTapeRunsOnlyWhileRecording) {
  orvalis::testing::TempDir dir;
  ASSERT_EQ(saveWav(dir.file("mic.wav"), ramp(1000)), "");
  VirtualDevices::Options o = withClock(Clock::manual);
  o.microphoneFile = dir.file("mic.wav");
  VirtualDevices devices(o);
  {
    Lender mic(3, 300);
    auto capture = devices.open(Direction::capture, 0, {}, mic.done());
    mic.lendAll(capture.get());
    capture->start();
    EXPECT_EQ(devices.pump(Direction::capture, 5), 3u);
    EXPECT_EQ(mic.storage, ramp(900));
  }
  Lender mic(2, 300, 99);
  auto capture = devices.open(Direction::capture, 0, {}, mic.done());
  mic.lendAll(capture.get());
  capture->start();
  devices.setCaptureChunk(250);
  EXPECT_EQ(devices.pump(Direction::capture, 2), 2u);
  EXPECT_EQ(mic.recorded, (std::vector<std::size_t>{250, 250}));
  EXPECT_EQ(Samples(mic.storage.begin(), mic.storage.begin() + 100), ramp(100, 901));
  EXPECT_EQ(std::count(mic.storage.begin(), mic.storage.end(), 0), 400) << "silence past the end";
  EXPECT_EQ(devices.microphonePosition(), 1000u);

  o.microphoneFile = dir.file("none.wav");
  EXPECT_THROW(VirtualDevices{o}, std::runtime_error);
}

TEST(VirtualDevices, SpeakerFileHoldsThePlaybackWithHeaderKeptRight) {
  orvalis::testing::TempDir dir;
  VirtualDevices::Options o = withClock(Clock::manual);
  o.speakerFile = dir.file("out.wav");
  {
    VirtualDevices devices(o);
    for (int round = 0; round < 2; ++round) {
      Lender spk(4, 100);
      std::iota(spk.storage.begin(), spk.storage.end(), static_cast<std::int16_t>(1000 * round));
      auto playback = devices.open(Direction::playback, 0, {}, spk.done());
      spk.lendAll(playback.get());
      EXPECT_EQ(devices.pump(Direction::playback, 3), 3u);
      playback.reset();
      EXPECT_EQ(loadWav(o.speakerFile).samples, devices.played());  // right while the devices live on
    }
    EXPECT_EQ(devices.played().size(), 600u);
  }
  EXPECT_EQ(loadWav(o.speakerFile).samples.size(), 600u);
}

TEST(VirtualDevices, RealtimeClockPlaysAtAboutTheRateAndFillsPausesInTheFile) {
  orvalis::testing::TempDir dir;
  VirtualDevices::Options o = withClock(Clock::realtime);
  o.speakerFile = dir.file("out.wav");
  const auto begin = std::chrono::steady_clock::now();
  std::size_t played = 0;
  {
    VirtualDevices devices(o);
    for (int round = 0; round < 2; ++round) {
      Lender spk(6, 80, 7);  // 10 ms buffers
      spk.requeue = true;
      auto playback = devices.open(Direction::playback, 0, {}, spk.done());
      spk.lendAll(playback.get());
      while (spk.back < 8) std::this_thread::sleep_for(2ms);
      spk.requeue = false;
      playback.reset();
      EXPECT_EQ(spk.outstanding() + spk.faults, 0);
      std::this_thread::sleep_for(50ms);
    }
    played = devices.played().size();
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  const Samples file = loadWav(o.speakerFile).samples;
  EXPECT_GE(played, 16u * 80);
  EXPECT_LE(file.size(), static_cast<std::size_t>(seconds * 8000) + 160) << "faster than the clock";
  EXPECT_GE(file.size(), played + 50 * 8) << "the pause is in the file";
  EXPECT_EQ(static_cast<std::size_t>(std::count(file.begin(), file.end(), 7)), played);
  EXPECT_EQ(file.front(), 7);
  EXPECT_EQ(file.back(), 7);
}

}  // namespace
}  // namespace orvalis::audio
