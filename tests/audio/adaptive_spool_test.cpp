// The automatic spool on made-up time: a sender that makes a message every
// n × 20 ms, a path that delays each message (in order, as TCP delivers),
// and a playback device that takes a block every n × 20 ms, as the sound
// engine does. Each frame carries its number, so its delay from mouth to
// playback is known.

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <random>
#include <vector>

#include "audio/frame_ring.h"
#include "store/config.h"

namespace orvalis::audio {
namespace {

using std::chrono::milliseconds;

struct Call {
  std::int32_t sendFrames = 1;  // frames per voice message
  std::int32_t readFrames = 1;  // frames per playback block
  milliseconds readPhase{7};    // the device's clock against the sender's
  // The one-way delay of message m, in ms.
  std::function<double(std::int64_t m)> delay = [](std::int64_t) { return 100.0; };
  // Messages that open a talk spurt (the first always does).
  std::function<bool(std::int64_t m)> opensSpurt = [](std::int64_t m) { return m == 0; };
};

struct Playout {
  std::vector<double> delayMs;  // by frame number; negative: never played
  std::uint64_t underruns = 0;
  std::int32_t spoolMs = 0;

  // The median delay of the frames played from `fromMs` to `toMs` of
  // speech.
  double median(double fromMs, double toMs) const {
    std::vector<double> d;
    for (std::size_t f = 0; f < delayMs.size(); ++f) {
      const double at = static_cast<double>(f) * 20;
      if (at >= fromMs && at < toMs && delayMs[f] >= 0) d.push_back(delayMs[f]);
    }
    if (d.empty()) return -1;
    std::nth_element(d.begin(), d.begin() + static_cast<std::ptrdiff_t>(d.size() / 2), d.end());
    return d[d.size() / 2];
  }
};

// Runs a call of `seconds` of speech through an automatic spool.
Playout run(const Call& call, int seconds) {
  store::CnfData cnf;
  store::setDefaults(cnf);
  EXPECT_EQ(cnf.nGsmDelay.get(), store::spoolAutomatic);  // a new user's spool
  SpoolTime now{};
  CBuf ring(cnf);
  ring.setClock([&now] { return now; });

  const std::int64_t frames = seconds * 50;
  const std::int64_t messages = frames / call.sendFrames;
  std::vector<std::int64_t> arrivalMs(static_cast<std::size_t>(messages));
  double latest = 0;
  for (std::int64_t m = 0; m < messages; ++m) {
    const double sent = static_cast<double>((m + 1) * call.sendFrames * 20);
    latest = std::max(latest, sent + call.delay(m));  // in order
    arrivalMs[static_cast<std::size_t>(m)] = static_cast<std::int64_t>(latest);
  }

  Playout p;
  p.delayMs.assign(static_cast<std::size_t>(frames), -1);
  std::int64_t next = 0;
  const std::int64_t blockMs = call.readFrames * 20;
  const std::int64_t endMs = arrivalMs.back() + 3000;
  for (std::int64_t t = 0; t < endMs; ++t) {
    now = SpoolTime(milliseconds(t));
    for (; next < messages && arrivalMs[static_cast<std::size_t>(next)] == t; ++next) {
      if (call.opensSpurt(next)) ring.markSpurt();
      for (std::int32_t k = 0; k < call.sendFrames; ++k) {
        const std::int64_t f = next * call.sendFrames + k;
        std::array<std::uint8_t, gsmBytes> frame{};
        frame[0] = static_cast<std::uint8_t>(f);
        frame[1] = static_cast<std::uint8_t>(f >> 8);
        frame[2] = static_cast<std::uint8_t>(f >> 16);
        ring.putFrame(frame);
      }
    }
    if ((t - call.readPhase.count()) % blockMs != 0) continue;
    std::int32_t got = 0;
    std::array<std::uint8_t, gsmBytes> out{};
    while (got < call.readFrames && ring.getSpooled(out)) {
      if (ring.dropToCatchUp(false)) continue;
      const std::int64_t f = out[0] | out[1] << 8 | out[2] << 16;
      // Captured until (f + 1) × 20 ms; heard from its place in the block.
      p.delayMs[static_cast<std::size_t>(f)] = static_cast<double>(t + got * 20 - (f + 1) * 20);
      ++got;
    }
    ring.blockDone(call.readFrames, got);
  }
  p.underruns = ring.underruns();
  p.spoolMs = ring.spoolMs();
  return p;
}

TEST(AdaptiveSpool, AClearPathIsSpooledForNoMoreThanItNeeds) {
  // One frame a message and a block: the least spool, 40 ms.
  Playout p = run({}, 20);
  EXPECT_EQ(p.underruns, 0U);
  EXPECT_EQ(p.spoolMs, 40);
  EXPECT_LE(p.median(1000, 20000), 100 + 40 + 20);
  EXPECT_EQ(std::count(p.delayMs.begin(), p.delayMs.end(), -1.0), 0) << "frames lost";

  // Two frames a message and a block, the default: a message more.
  p = run({.sendFrames = 2, .readFrames = 2, .readPhase = milliseconds(23)}, 20);
  EXPECT_EQ(p.underruns, 0U);
  EXPECT_EQ(p.spoolMs, 60);
  EXPECT_LE(p.median(1000, 20000), 100 + 60 + 40);
}

TEST(AdaptiveSpool, JitterIsRiddenAndABacklogIsCaughtUpWith) {
  std::mt19937 random(7);
  std::uniform_real_distribution<double> jitter(-30, 30);
  std::vector<double> delays;
  for (int m = 0; m < 60 * 25; ++m) delays.push_back(100 + jitter(random));
  // At 30 s the path stalls for 300 ms (a retransmission), then delivers
  // what it held at once.
  for (int m = 0; m < static_cast<int>(delays.size()); ++m) {
    const double sent = (m + 1) * 40.0;
    if (sent >= 30000 && sent < 30300) delays[static_cast<std::size_t>(m)] += 30300 - sent;
  }
  const Playout p = run({.sendFrames = 2,
                         .readFrames = 2,
                         .delay = [&](std::int64_t m) { return delays[static_cast<std::size_t>(m)]; }},
                        60);

  // Frames come up to 60 ms apart from their due time: the spool covers
  // most of that after its first seconds, and underruns are rare.
  const double settled = p.median(5000, 29000);
  EXPECT_LE(settled, 100 + 30 + 60 + 60);
  EXPECT_LE(p.underruns, 12U);
  // The backlog is played faster than it came until the delay is back:
  // within 2 s of the stall's end, not for the rest of the call.
  EXPECT_GE(p.median(30000, 30400), settled + 100);
  EXPECT_LE(p.median(32500, 40000), settled + 20);
  EXPECT_LE(p.median(40000, 59000), settled + 20);
}

TEST(AdaptiveSpool, EachSpurtStartsFromWhatTheLastSecondsNeeded) {
  // Spurts of 2 s; a jittery first half minute, then a calm one.
  std::mt19937 random(3);
  std::uniform_real_distribution<double> jitter(0, 120);
  const Playout p = run({.sendFrames = 1,
                         .readFrames = 1,
                         .delay = [&](std::int64_t m) { return m < 1500 ? 100 + jitter(random) : 100.0; },
                         .opensSpurt = [](std::int64_t m) { return m % 100 == 0; }},
                        60);
  EXPECT_GE(p.median(20000, 30000), 100 + 60);
  EXPECT_LE(p.median(50000, 60000), 100 + 40 + 20);
  EXPECT_EQ(p.spoolMs, 40);
}

}  // namespace
}  // namespace orvalis::audio
