#include "audio/adaptive_spool.h"

#include <algorithm>
#include <cstdlib>

namespace orvalis::audio {

namespace {

using std::chrono::duration_cast;
using std::chrono::microseconds;
using std::chrono::milliseconds;

// A frame this much later than the earliest is not jitter but a gap (a
// muted sender, messages the sender dropped behind a stalled link): the
// timeline starts anew there.
constexpr std::int64_t gapUs = 1'000'000;
// Frames before a restarted timeline's own estimate counts alone.
constexpr std::size_t settledFrames = 50;
// The share of frames the spool is sized to wait for.
constexpr double coveredShare = 0.9;
// A dry spell longer than this is a pause in speech, not an underrun.
constexpr milliseconds pauseLimit{1000};
// Underruns shorter than this make the spool grow.
constexpr milliseconds growLimit{150};
// Seconds without an underrun after which the spool shrinks by a frame.
constexpr milliseconds calmPeriod{8000};
constexpr std::int32_t maxBoost = 25;
// Frames are dropped once they are heard this much later than the spool
// needs, until they are within the second.
constexpr milliseconds catchUpAbove{20};
constexpr milliseconds caughtUpWithin{5};
// Behind a backlog of speech, one frame in this many is dropped.
constexpr std::int32_t speechDropEvery = 3;
// Mean absolute sample value below which a frame counts as silence.
constexpr std::int64_t quietLevel = 200;

// Rounded up, but a few ms over a whole frame (the scheduling of the
// threads on the way) do not make one more.
std::int32_t framesFor(std::int32_t ms) { return (ms + frameMs - 6) / frameMs; }

}  // namespace

bool quietFrame(std::span<const std::int16_t> samples) {
  if (samples.empty()) return true;
  std::int64_t sum = 0;
  for (const std::int16_t s : samples) sum += std::abs(static_cast<std::int32_t>(s));
  return sum < quietLevel * static_cast<std::int64_t>(samples.size());
}

void ArrivalJitter::restartAt(SpoolTime now) {
  base_ = now;
  frames_ = 0;
  count_ = 0;
  next_ = 0;
  carriedMs_ = jitterMs();
  restart_ = false;
}

SpoolTime ArrivalJitter::frame(SpoolTime now) {
  if (restart_) restartAt(now);
  std::int64_t offset =
      duration_cast<microseconds>(now - base_).count() - frames_ * frameMs * 1000;
  if (count_ > 0) {
    const auto filled = offsets_.begin() + static_cast<std::ptrdiff_t>(count_);
    if (offset - *std::min_element(offsets_.begin(), filled) > gapUs) {
      restartAt(now);
      offset = 0;
    }
  }
  ++frames_;
  offsets_[next_] = offset;
  next_ = (next_ + 1) % window;
  count_ = std::min(count_ + 1, window);

  // How late the frames of the window came against the earliest of them.
  std::array<std::int64_t, window> late{};
  const auto end = late.begin() + static_cast<std::ptrdiff_t>(count_);
  std::copy_n(offsets_.begin(), count_, late.begin());
  const std::int64_t earliest = *std::min_element(late.begin(), end);
  const auto at = late.begin() + static_cast<std::ptrdiff_t>(coveredShare * static_cast<double>(count_ - 1));
  std::nth_element(late.begin(), at, end);
  std::int32_t ms = static_cast<std::int32_t>((*at - earliest + 999) / 1000);
  if (count_ < settledFrames) ms = std::max(ms, carriedMs_);
  jitterMs_.store(ms, std::memory_order_relaxed);
  return now - microseconds(offset - earliest);
}

std::int32_t PlayoutControl::targetFor(std::int32_t jitterMs) const {
  // The device takes a block at a time: that much must be there besides.
  return std::clamp(framesFor(jitterMs) + blockFrames_ + boost_, minAdaptiveFrames,
                    maxAdaptiveFrames);
}

void PlayoutControl::hold(SpoolTime now, std::int32_t jitterMs) {
  holdStart_ = now;
  holdFrames_ = targetFor(jitterMs);
  target_.store(holdFrames_, std::memory_order_relaxed);
  dry_ = false;
}

void PlayoutControl::spurtStarts(SpoolTime now, std::int32_t jitterMs) {
  // Shrinks between spurts unless the last one ran dry.
  if (started_ && !underrunInSpurt_ && boost_ > 0) --boost_;
  if (!started_) calmSince_ = now;
  started_ = true;
  underrunInSpurt_ = false;
  hold(now, jitterMs);
}

void PlayoutControl::resumed(SpoolTime now, std::int32_t jitterMs) {
  const auto gap = now - dryAt_;
  if (gap < pauseLimit) {
    underruns_.fetch_add(1, std::memory_order_relaxed);
    // A longer gap is a retransmission on the way: no bearable spool rides
    // it out, and growing for it would only add delay to the rest.
    if (gap < growLimit) boost_ = std::min(boost_ + 1, maxBoost);
    underrunInSpurt_ = true;
    calmSince_ = now;
  }
  hold(now, jitterMs);
}

bool PlayoutControl::mayRelease(SpoolTime now, std::int32_t queued) const {
  return queued >= holdFrames_ || now - holdStart_ >= milliseconds(holdFrames_ * frameMs);
}

bool PlayoutControl::dropToCatchUp(SpoolTime now, SpoolTime due, std::int32_t jitterMs,
                                   bool quiet) {
  const auto heard = now + milliseconds(playedInBlock_ * frameMs);
  const auto over = heard - due - milliseconds(targetFor(jitterMs) * frameMs);
  if (over > catchUpAbove) catchingUp_ = true;
  if (over <= caughtUpWithin) catchingUp_ = false;
  if (catchingUp_ && (quiet || ++playedSinceSpeechDrop_ >= speechDropEvery)) {
    playedSinceSpeechDrop_ = 0;
    return true;
  }
  ++playedInBlock_;
  return false;
}

void PlayoutControl::blockDone(SpoolTime now, std::int32_t wanted, std::int32_t got, bool holding,
                               std::int32_t jitterMs) {
  blockFrames_ = std::max(wanted, 1);
  playedInBlock_ = 0;
  target_.store(targetFor(jitterMs), std::memory_order_relaxed);
  if (!started_ || holding || dry_) return;
  if (got < wanted) {
    dry_ = true;
    dryAt_ = now;
    return;
  }
  if (boost_ > 0 && now - calmSince_ >= calmPeriod) {
    --boost_;
    calmSince_ = now;
  }
}

void PlayoutControl::reset() {
  boost_ = 0;
  started_ = false;
  dry_ = false;
  underrunInSpurt_ = false;
  catchingUp_ = false;
  playedInBlock_ = 0;
  target_.store(minAdaptiveFrames, std::memory_order_relaxed);
}

}  // namespace orvalis::audio
