#pragma once
// The adaptive receive spool ("Automatic"): a jitter buffer that sizes
// itself from how unevenly speech arrives, instead of holding every talk
// spurt for a fixed time.
//
// ArrivalJitter, on the call thread, compares each frame's arrival with its
// place on the sender's 20 ms clock and keeps a high quantile of how late
// frames come. PlayoutControl, on the playback thread, holds the start of
// each talk spurt until that much (at least 40 ms) has queued, holds again
// and grows after the ring ran dry in the middle of a spurt (an underrun),
// shrinks again between spurts and after calm seconds, and drops frames,
// silent ones first, while frames are heard later after their due time
// (their arrival had they come as early as the earliest) than the spool
// needs: a retransmission that delivers a backlog at once is caught up
// with instead of being carried for the rest of the call.
//
// Time is passed in, so that the logic runs as well on made-up time.

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <span>

#include "audio/audio_format.h"

namespace orvalis::audio {

using SpoolClock = std::chrono::steady_clock;
using SpoolTime = SpoolClock::time_point;

inline constexpr std::int32_t frameMs = 20;
// The least an automatic spool holds: two frames.
inline constexpr std::int32_t minAdaptiveFrames = 2;
// The most: one second.
inline constexpr std::int32_t maxAdaptiveFrames = 50;

// Whether a decoded frame is as good as silence, so that dropping it to
// catch up is not heard.
bool quietFrame(std::span<const std::int16_t> samples);

// The call thread's half. Only jitterMs may be read by other threads.
class ArrivalJitter {
 public:
  // The next frame opens a talk spurt: the sender's clock starts anew.
  void spurt() { restart_ = true; }
  // A frame arrived now; the moment it would have arrived had it come as
  // early as the earliest of the last seconds (its due time).
  SpoolTime frame(SpoolTime now);
  // How late frames come (the 90th percentile of the last 5 s), in ms.
  std::int32_t jitterMs() const { return jitterMs_.load(std::memory_order_relaxed); }

 private:
  void restartAt(SpoolTime now);

  static constexpr std::size_t window = 256;  // frames: about 5 s
  // Each frame's arrival less its place on the sender's clock, in µs.
  std::array<std::int64_t, window> offsets_{};
  std::size_t count_ = 0;
  std::size_t next_ = 0;
  bool restart_ = true;
  SpoolTime base_{};
  std::int64_t frames_ = 0;
  // The estimate from before the timeline restarted: kept as a floor until
  // the new one has a second of frames behind it.
  std::int32_t carriedMs_ = 0;
  std::atomic<std::int32_t> jitterMs_{0};
};

// The playback thread's half; targetFrames and underruns may be read by
// any thread.
class PlayoutControl {
 public:
  // The first frame of a talk spurt is next: hold it.
  void spurtStarts(SpoolTime now, std::int32_t jitterMs);
  // Frames came again, with no new spurt, after the ring ran dry: hold again.
  void resumed(SpoolTime now, std::int32_t jitterMs);
  // While holding: whether enough has queued, or the hold has lasted as
  // long as the spool (a spurt shorter than the spool must still play).
  bool mayRelease(SpoolTime now, std::int32_t queued) const;
  // For each frame taken, with its due time: true when it is to be
  // dropped to catch up, because it would be heard later after its due
  // time than the spool needs.
  bool dropToCatchUp(SpoolTime now, SpoolTime due, std::int32_t jitterMs, bool quiet);
  // After each played block: `wanted` frames were asked for, `got` played.
  void blockDone(SpoolTime now, std::int32_t wanted, std::int32_t got, bool holding,
                 std::int32_t jitterMs);
  // The ring ran dry in the middle of a spurt.
  bool dry() const { return dry_; }
  void reset();

  std::int32_t targetFrames() const { return target_.load(std::memory_order_relaxed); }
  std::uint64_t underruns() const { return underruns_.load(std::memory_order_relaxed); }

 private:
  void hold(SpoolTime now, std::int32_t jitterMs);
  std::int32_t targetFor(std::int32_t jitterMs) const;

  std::int32_t blockFrames_ = 1;  // frames the device takes at a time
  std::int32_t boost_ = 0;        // frames added after underruns
  bool started_ = false;          // a spurt has begun since the reset
  bool dry_ = false;
  bool underrunInSpurt_ = false;
  SpoolTime dryAt_{};
  SpoolTime calmSince_{};  // the last underrun, or the last shrink since
  SpoolTime holdStart_{};
  std::int32_t holdFrames_ = minAdaptiveFrames;
  std::int32_t playedInBlock_ = 0;
  bool catchingUp_ = false;
  std::int32_t playedSinceSpeechDrop_ = 0;
  std::atomic<std::int32_t> target_{minAdaptiveFrames};
  std::atomic<std::uint64_t> underruns_{0};
};

}  // namespace orvalis::audio
