#pragma once
// CPlay: the speaker. While open it keeps six buffers of one block queued
// on the playback device; each buffer the device has played is cleared,
// mixed again by the sound engine (its PlaybackSource) and queued behind
// the others, so a block
// sounds about five blocks after it was mixed.

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/audio_format.h"
#include "audio/block_handlers.h"
#include "audio/record.h"
#include "audio/wave_device.h"

namespace orvalis::audio {

class CPlay {
 public:
  CPlay(WaveDevices& devices, PlaybackSource& snd);
  ~CPlay();
  CPlay(const CPlay&) = delete;
  CPlay& operator=(const CPlay&) = delete;

  // Both do nothing when already in the requested state.
  void open(std::int32_t device, std::int32_t n);
  void close();

  bool opened() const { return opened_.load(std::memory_order_acquire); }
  std::int32_t framesPerBuffer() const { return framesPerBuffer_.load(std::memory_order_acquire); }
  std::int32_t deviceId() const { return deviceId_.load(std::memory_order_acquire); }

 private:
  void onPlayed(WaveBuffer& buffer);

  WaveDevices& devices_;
  PlaybackSource& snd_;
  const WaveFormat format{};
  std::mutex openLock_;
  std::unique_ptr<WaveStream> handle;
  std::array<WaveBuffer, deviceBufferCount> headers{};
  std::array<std::int16_t, deviceBufferCount * maxBlockSamples> buffers{};
  std::atomic<std::int32_t> deviceId_{0};
  std::atomic<std::int32_t> framesPerBuffer_{defaultFramesPerBuffer};
  std::atomic<bool> opened_{false};
  std::atomic<bool> stopped{true};
};

}  // namespace orvalis::audio
