#pragma once
// CRecord: the microphone. While open it keeps six buffers of one block in
// flight on the capture device, collects what comes back into blocks of
// exactly framesPerBuffer frames, and hands each block to the sound engine
// (its CaptureSink).

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

#include "audio/audio_format.h"
#include "audio/block_handlers.h"
#include "audio/wave_device.h"

namespace orvalis::audio {

inline constexpr std::int32_t deviceBufferCount = 6;

// A stream's latency in samples at the phone's rate (at most a second).
std::int32_t latencySamples(const WaveStream& stream);

class CRecord {
 public:
  CRecord(WaveDevices& devices, CaptureSink& snd);
  ~CRecord();
  CRecord(const CRecord&) = delete;
  CRecord& operator=(const CRecord&) = delete;

  // Opens capture device `device` with blocks of n frames (1..5, else 2);
  // a device that cannot be opened leaves the recorder closed. Both do
  // nothing when already in the requested state; any thread but a device's.
  void open(std::int32_t device, std::int32_t n);
  void close();

  bool opened() const { return opened_.load(std::memory_order_acquire); }
  std::int32_t framesPerBuffer() const { return framesPerBuffer_.load(std::memory_order_acquire); }
  std::int32_t deviceId() const { return deviceId_.load(std::memory_order_acquire); }

 private:
  void onCapture(WaveBuffer& buffer);

  WaveDevices& devices_;
  CaptureSink& snd_;
  const WaveFormat format{};
  std::mutex openLock_;  // open and close may come from the call thread and the UI
  std::unique_ptr<WaveStream> handle;
  std::array<WaveBuffer, deviceBufferCount> headers{};
  std::array<std::int16_t, deviceBufferCount * maxBlockSamples> buffers{};
  std::atomic<std::int32_t> deviceId_{0};
  std::atomic<std::int32_t> framesPerBuffer_{defaultFramesPerBuffer};
  // One block being collected; only the capture callback touches it.
  std::array<std::int16_t, maxBlockSamples> assembly{};
  std::size_t assemblyPos = 0;
  std::atomic<bool> opened_{false};
  // While set, callbacks leave everything alone: set before the device is
  // reset, so buffers handed back by the reset are not queued again.
  std::atomic<bool> stopped{true};
};

}  // namespace orvalis::audio
