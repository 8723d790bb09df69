#pragma once
// FarEndRing: what the loudspeaker played, kept for the echo canceller on
// the capture thread. The playback thread writes each block as the device
// takes it; the capture thread reads it a frame at a time, a fixed number
// of samples behind the newest written (the two devices' latencies: the
// sound being captured now left the loudspeaker that long ago), and
// further behind when the writer turns out to write in bursts. Neither
// side waits for the other; a reader that drifts out of step, or finds the
// writer stopped and started again, steps back into place at once.
//
// One writer thread, one reader thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <span>

#include "audio/audio_format.h"

namespace orvalis::audio {

class FarEndRing {
 public:
  // Two seconds: far more than any lag plus the writer's largest step.
  static constexpr std::size_t capacity = 16384;
  // How far the reader may wander from its lag before it is put back: the
  // two threads' blocks arrive in bursts.
  static constexpr std::int64_t slack = 1200;

  // Playback thread.
  void write(std::span<const std::int16_t> played);
  // Playback thread, when the loudspeaker stops: nothing plays until the
  // next write.
  void stop();

  // Capture thread: the next frame of what was played, `lag` samples behind
  // the newest; silence where nothing was played. True when the reader was
  // put back into place for it.
  bool read(std::span<std::int16_t, frameSamples> frame, std::int64_t lag);

 private:
  std::array<std::atomic<std::int16_t>, capacity> samples_{};
  std::atomic<std::int64_t> written_{0};
  // Where the latest run of the loudspeaker began: what came before it is
  // not playing any more.
  std::atomic<std::int64_t> startedAt_{0};
  std::atomic<bool> stopped_{true};
  // The reader's alone.
  std::int64_t cursor_ = 0;
  bool aligned_ = false;
  std::int64_t burst_ = 0;  // learnt: how far the writer's bursts leave it behind
};

}  // namespace orvalis::audio
