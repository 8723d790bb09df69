#include "audio/record.h"

#include <algorithm>
#include <cmath>

namespace orvalis::audio {

CRecord::CRecord(WaveDevices& devices, CaptureSink& snd) : devices_(devices), snd_(snd) {}

CRecord::~CRecord() { close(); }

void CRecord::open(std::int32_t device, std::int32_t n) {
  std::lock_guard lock(openLock_);
  if (opened_.load(std::memory_order_relaxed)) return;
  const std::int32_t frames = usableFramesPerBuffer(n);
  const std::size_t blockSamples = static_cast<std::size_t>(frames) * frameSamples;
  // No stream is open, so no callback can see these until the device starts.
  framesPerBuffer_.store(frames, std::memory_order_release);
  deviceId_.store(device, std::memory_order_release);
  assemblyPos = 0;
  stopped.store(false, std::memory_order_release);

  handle = devices_.open(Direction::capture, device, format, [this](WaveBuffer& b) { onCapture(b); });
  if (!handle) {
    stopped.store(true, std::memory_order_release);
    return;
  }
  for (std::size_t i = 0; i < headers.size(); ++i) {
    headers[i] = WaveBuffer{std::span(buffers).subspan(i * blockSamples, blockSamples), 0};
    handle->queue(headers[i]);
  }
  snd_.captureOpened(latencySamples(*handle));
  handle->start();
  opened_.store(true, std::memory_order_release);
}

std::int32_t latencySamples(const WaveStream& stream) {
  return static_cast<std::int32_t>(std::lround(std::clamp(stream.latency(), 0.0, 1.0) * sampleRate));
}

void CRecord::close() {
  std::lock_guard lock(openLock_);
  if (!opened_.load(std::memory_order_relaxed)) return;
  // First, so that the buffers the reset hands back are not queued again.
  stopped.store(true, std::memory_order_release);
  handle->reset();
  handle.reset();
  // Only now that no callback can run: one still collecting a block reads both.
  framesPerBuffer_.store(defaultFramesPerBuffer, std::memory_order_release);
  assemblyPos = 0;
  opened_.store(false, std::memory_order_release);
}

void CRecord::onCapture(WaveBuffer& buffer) {
  if (stopped.load(std::memory_order_acquire)) return;
  const std::int32_t n = framesPerBuffer_.load(std::memory_order_acquire);
  const std::size_t blockSamples = static_cast<std::size_t>(n) * frameSamples;
  auto recorded = buffer.samples.first(std::min(buffer.recorded, buffer.samples.size()));
  while (!recorded.empty()) {
    const std::size_t take = std::min(recorded.size(), blockSamples - assemblyPos);
    std::copy_n(recorded.begin(), take, assembly.begin() + static_cast<std::ptrdiff_t>(assemblyPos));
    assemblyPos += take;
    recorded = recorded.subspan(take);
    if (assemblyPos == blockSamples) {
      assemblyPos = 0;
      snd_.captureBlock(n, std::span<const std::int16_t>(assembly).first(blockSamples));
    }
  }
  handle->queue(buffer);
}

}  // namespace orvalis::audio
