#include "audio/far_end_ring.h"

#include <algorithm>

namespace orvalis::audio {

namespace {

constexpr std::int64_t mask = FarEndRing::capacity - 1;
static_assert((FarEndRing::capacity & (FarEndRing::capacity - 1)) == 0);
// The reader stays this far clear of where the writer is writing.
constexpr std::int64_t writerMargin = 2 * maxBlockSamples;
// The most the reader waits behind the writer for its bursts.
constexpr std::int64_t maxBurst = 4000;

}  // namespace

void FarEndRing::write(std::span<const std::int16_t> played) {
  const std::int64_t at = written_.load(std::memory_order_relaxed);
  for (std::size_t i = 0; i < played.size(); ++i)
    samples_[static_cast<std::size_t>((at + static_cast<std::int64_t>(i)) & mask)].store(
        played[i], std::memory_order_relaxed);
  if (stopped_.load(std::memory_order_relaxed)) startedAt_.store(at, std::memory_order_relaxed);
  stopped_.store(false, std::memory_order_relaxed);
  written_.store(at + static_cast<std::int64_t>(played.size()), std::memory_order_release);
}

void FarEndRing::stop() { stopped_.store(true, std::memory_order_release); }

bool FarEndRing::read(std::span<std::int16_t, frameSamples> frame, std::int64_t lag) {
  const std::int64_t written = written_.load(std::memory_order_acquire);
  if (stopped_.load(std::memory_order_acquire)) {
    std::fill(frame.begin(), frame.end(), std::int16_t{0});
    aligned_ = false;  // whatever plays next is new
    return false;
  }
  // A device takes several blocks at once and plays them over a while: a
  // reader that has caught up with the writer between its bursts waits
  // further behind from then on, by as much as it found missing.
  std::int64_t behind = written - cursor_;
  bool moved = false;
  if (aligned_ && behind < static_cast<std::int64_t>(frameSamples)) {
    const std::int64_t missing = 2 * static_cast<std::int64_t>(frameSamples) - behind;
    burst_ = std::min(burst_ + missing, maxBurst);
    cursor_ -= missing;
    moved = true;
  }
  lag = std::clamp<std::int64_t>(lag + burst_, 0,
                                 static_cast<std::int64_t>(capacity) - writerMargin - slack);
  behind = written - cursor_;
  if (!aligned_ || behind > lag + slack) {
    cursor_ = written - lag;
    moved = true;
  }
  aligned_ = true;
  const std::int64_t oldest = std::max(written - static_cast<std::int64_t>(capacity) + writerMargin,
                                      startedAt_.load(std::memory_order_relaxed));
  for (std::size_t j = 0; j < frame.size(); ++j) {
    const std::int64_t at = cursor_ + static_cast<std::int64_t>(j);
    frame[j] = at < oldest || at >= written
                   ? std::int16_t{0}
                   : samples_[static_cast<std::size_t>(at & mask)].load(std::memory_order_relaxed);
  }
  cursor_ += static_cast<std::int64_t>(frameSamples);
  return moved;
}

}  // namespace orvalis::audio
