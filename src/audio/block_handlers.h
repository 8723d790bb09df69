#pragma once
// What the device wrappers hand their blocks to: the sound engine, or a
// test's stand-in. A block is n frames of 160 samples; both run on a
// device's thread and must not allocate or block for long.

#include <cstdint>
#include <span>

namespace orvalis::audio {

class CaptureSink {
 public:
  virtual ~CaptureSink() = default;
  // One captured block, exactly 160 n samples.
  virtual void captureBlock(std::int32_t n, std::span<const std::int16_t> block) = 0;
};

class PlaybackSource {
 public:
  virtual ~PlaybackSource() = default;
  // The speaker is being opened (not on a device thread): drop stale input.
  virtual void playerOpened() = 0;
  // Fill a block of 160 n samples that is about to be queued for playing.
  virtual void playBlock(std::int32_t n, std::span<std::int16_t> block) = 0;
};

}  // namespace orvalis::audio
