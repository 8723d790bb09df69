#include "audio/play.h"

#include <algorithm>

namespace orvalis::audio {

CPlay::CPlay(WaveDevices& devices, PlaybackSource& snd) : devices_(devices), snd_(snd) {}

CPlay::~CPlay() { close(); }

void CPlay::open(std::int32_t device, std::int32_t n) {
  std::lock_guard lock(openLock_);
  if (opened_.load(std::memory_order_relaxed)) return;
  const std::int32_t frames = usableFramesPerBuffer(n);
  const std::size_t blockSamples = static_cast<std::size_t>(frames) * frameSamples;
  framesPerBuffer_.store(frames, std::memory_order_release);
  deviceId_.store(device, std::memory_order_release);
  stopped.store(false, std::memory_order_release);

  handle = devices_.open(Direction::playback, device, format, [this](WaveBuffer& b) { onPlayed(b); });
  if (!handle) {
    stopped.store(true, std::memory_order_release);
    return;
  }
  // Held while the six buffers go in, so they start together; the first
  // pass through them is silence.
  handle->pause();
  buffers.fill(0);
  for (std::size_t i = 0; i < headers.size(); ++i) {
    headers[i] = WaveBuffer{std::span(buffers).subspan(i * blockSamples, blockSamples), 0};
    handle->queue(headers[i]);
  }
  snd_.playbackLatency(latencySamples(*handle));
  snd_.playerOpened();
  handle->start();
  opened_.store(true, std::memory_order_release);
}

void CPlay::close() {
  std::lock_guard lock(openLock_);
  if (!opened_.load(std::memory_order_relaxed)) return;
  stopped.store(true, std::memory_order_release);
  handle->reset();
  handle.reset();
  snd_.playerClosed();
  framesPerBuffer_.store(defaultFramesPerBuffer, std::memory_order_release);
  opened_.store(false, std::memory_order_release);
}

void CPlay::onPlayed(WaveBuffer& buffer) {
  if (stopped.load(std::memory_order_acquire)) return;
  const std::int32_t n = framesPerBuffer_.load(std::memory_order_acquire);
  const auto block = buffer.samples.first(static_cast<std::size_t>(n) * frameSamples);
  // What the device has just taken is what the microphone may hear next.
  snd_.blockPlayed(block);
  // A source that leaves part of the block alone must not replay stale sound.
  std::fill(block.begin(), block.end(), std::int16_t{0});
  snd_.playBlock(n, block);
  handle->queue(buffer);
  if (stopped.load(std::memory_order_acquire)) handle->pause();
}

}  // namespace orvalis::audio
