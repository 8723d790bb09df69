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
  // The microphone was opened (not on a device thread); its sound reaches
  // captureBlock this many samples after it was heard.
  virtual void captureOpened(std::int32_t latencySamples) { (void)latencySamples; }
};

class PlaybackSource {
 public:
  virtual ~PlaybackSource() = default;
  // The speaker is being opened (not on a device thread): drop stale input.
  virtual void playerOpened() = 0;
  // Fill a block of 160 n samples that is about to be queued for playing.
  virtual void playBlock(std::int32_t n, std::span<std::int16_t> block) = 0;
  // The device has taken a block to play (its thread); it sounds this many
  // samples later, as told to playbackLatency when the speaker opened.
  virtual void blockPlayed(std::span<const std::int16_t> block) { (void)block; }
  virtual void playbackLatency(std::int32_t latencySamples) { (void)latencySamples; }
  // The speaker is closed (not on a device thread).
  virtual void playerClosed() {}
};

}  // namespace orvalis::audio
