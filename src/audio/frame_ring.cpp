#include "audio/frame_ring.h"

#include <utility>

namespace orvalis::audio {

namespace {

constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;
constexpr auto relaxed = std::memory_order_relaxed;

bool halfDuplex(const store::CnfData& cnf) { return store::isHalfDuplex(cnf.soundSystem.get()); }

}  // namespace

CBuf::CBuf(const store::CnfData& cnf, std::function<void()> switchToPlayback)
    : cnf_(cnf), switchToPlayback_(std::move(switchToPlayback)) {
  for (std::int32_t i = 0; i < ringCapacity; ++i)
    slotNext_[static_cast<std::size_t>(i)] = static_cast<std::int16_t>((i + 1) % ringCapacity);
  resetReader();
  stopTest();
}

std::int32_t CBuf::spoolFrames(std::int32_t index) {
  switch (index) {
    case 0: return 0;
    case 1: return 5;
    case 2: return 10;
    case 3: return 25;
    case 4: return 50;
    case 5: return 100;
    default: return 150;
  }
}

std::int32_t CBuf::holdLimit(std::int32_t index) {
  switch (index) {
    case 0: return 0;
    case 1: return 3;
    case 2: return 5;
    case 3: return 11;
    case 4: return 21;
    case 5: return 41;
    default: return 61;
  }
}

void CBuf::storeSlot(std::int32_t slot, Frame frame) {
  const auto base = static_cast<std::size_t>(slot) * gsmBytes;
  for (std::size_t i = 0; i < gsmBytes; ++i) slotBytes_[base + i].store(frame[i], relaxed);
}

void CBuf::loadSlot(std::int32_t slot, FrameOut out) const {
  const auto base = static_cast<std::size_t>(slot) * gsmBytes;
  for (std::size_t i = 0; i < gsmBytes; ++i) out[i] = slotBytes_[base + i].load(relaxed);
}

void CBuf::advanceWriter() {
  const auto w = writeIdx_.load(acquire);
  const auto m = slotNext_[static_cast<std::size_t>(w)];
  // The slot after the writer stays empty, so the reader stops there.
  slotState_[static_cast<std::size_t>(m)].store(SlotState::empty, release);
  if (spurtMark_.exchange(false, std::memory_order_acq_rel)) {
    slotState_[static_cast<std::size_t>(w)].store(SlotState::spurtStart, release);
    // A new spurt ends whatever hold is still running.
    holding_.store(false, release);
  } else {
    slotState_[static_cast<std::size_t>(w)].store(SlotState::full, release);
  }
  writeIdx_.store(m, release);
}

void CBuf::markSpurt() {
  arrivals_.spurt();
  spurtMark_.store(true, release);
}

void CBuf::putFrame(Frame frame) {
  // Measured whatever the spool, so that a switch to automatic finds it.
  const SpoolTime due = arrivals_.frame(clock_());
  const auto w = writeIdx_.load(acquire);
  slotDue_[static_cast<std::size_t>(w)].store(due.time_since_epoch().count(), relaxed);
  storeSlot(w, frame);
  advanceWriter();
  queued_.fetch_add(1, std::memory_order_acq_rel);
}

bool CBuf::automatic() const { return cnf_.nGsmDelay.get() == store::spoolAutomatic; }

void CBuf::takeSlot(std::int32_t r, FrameOut out) {
  queued_.fetch_sub(1, std::memory_order_acq_rel);
  loadSlot(r, out);
  slotState_[static_cast<std::size_t>(r)].store(SlotState::empty, release);
  readIdx_.store(slotNext_[static_cast<std::size_t>(r)], release);
}

void CBuf::takeReset() {
  if (playoutReset_.exchange(false, std::memory_order_acq_rel)) playout_.reset();
}

bool CBuf::getAdaptive(FrameOut out) {
  takeReset();
  const auto r = readIdx_.load(acquire);
  auto& state = slotState_[static_cast<std::size_t>(r)];
  auto s = state.load(acquire);
  if (s == SlotState::empty) return false;
  const auto now = clock_();
  if (s == SlotState::spurtStart) {
    state.compare_exchange_strong(s, SlotState::full, std::memory_order_acq_rel);
    playout_.spurtStarts(now, arrivals_.jitterMs());
    holding_.store(true, release);
  } else if (playout_.dry()) {
    playout_.resumed(now, arrivals_.jitterMs());
    holding_.store(true, release);
  }
  if (holding_.load(acquire) && playout_.mayRelease(now, queued_.load(acquire)))
    holding_.store(false, release);
  if (holding_.load(acquire)) return false;
  takenDue_ = SpoolTime(SpoolClock::duration(slotDue_[static_cast<std::size_t>(r)].load(relaxed)));
  takeSlot(r, out);
  return true;
}

void CBuf::blockDone(std::int32_t wanted, std::int32_t got) {
  takeReset();
  if (!automatic()) return;
  playout_.blockDone(clock_(), wanted, got, holding_.load(acquire), arrivals_.jitterMs());
}

bool CBuf::dropToCatchUp(bool quiet) {
  return automatic() && playout_.dropToCatchUp(clock_(), takenDue_, arrivals_.jitterMs(), quiet);
}

std::int32_t CBuf::spoolMs() const {
  if (automatic()) return playout_.targetFrames() * frameMs;
  return spoolFrames(cnf_.nGsmDelay.get()) * frameMs;
}

bool CBuf::getSpooled(FrameOut out) {
  if (automatic()) return getAdaptive(out);
  const auto r = readIdx_.load(acquire);
  auto& state = slotState_[static_cast<std::size_t>(r)];
  auto s = state.load(acquire);
  if (s == SlotState::empty) return false;
  if (s == SlotState::spurtStart) {
    // Compare, so that a slot the writer has just cleared stays clear.
    state.compare_exchange_strong(s, SlotState::full, std::memory_order_acq_rel);
    holdTicks_.store(0, release);
    holding_.store(true, release);
  }
  if (queued_.load(acquire) >= spoolFrames(cnf_.nGsmDelay.get())) holding_.store(false, release);
  if (holding_.load(acquire)) return false;
  takeSlot(r, out);
  return true;
}

void CBuf::tickHold() {
  // The automatic spool keeps its own time.
  if (!holding_.load(acquire) || automatic()) return;
  const auto ticks = holdTicks_.load(acquire);
  if (ticks > holdLimit(cnf_.nGsmDelay.get()))
    holding_.store(false, release);
  else
    holdTicks_.store(ticks + 1, release);
}

void CBuf::resetReader() {
  readIdx_.store(writeIdx_.load(acquire), release);
  spurtMark_.store(false, release);
  queued_.store(0, release);
  holding_.store(false, release);
  holdTicks_.store(0, release);
  playoutReset_.store(true, release);
}

SlotState CBuf::readyState() const {
  return slotState_[static_cast<std::size_t>(readIdx_.load(acquire))].load(acquire);
}

bool CBuf::putTest(Frame frame) {
  if (testRec.load(acquire) != TestState::running) return false;
  storeSlot(writeIdx_.load(acquire), frame);
  advanceWriter();
  if (halfDuplex(cnf_) && writeIdx_.load(acquire) >= testFrames) {
    testRec.store(TestState::done, release);
    testPlay.store(TestState::running, release);
    if (switchToPlayback_) switchToPlayback_();
  }
  return true;
}

bool CBuf::getTest(FrameOut out) {
  if (testPlay.load(acquire) != TestState::running) return false;
  const auto r = readIdx_.load(acquire);
  auto& state = slotState_[static_cast<std::size_t>(r)];
  if (state.load(acquire) == SlotState::empty) return false;
  loadSlot(r, out);
  state.store(SlotState::empty, release);
  const auto next = slotNext_[static_cast<std::size_t>(r)];
  readIdx_.store(next, release);
  if (halfDuplex(cnf_) && next >= testFrames) testPlay.store(TestState::done, release);
  return true;
}

void CBuf::startTest() {
  stopTest();
  testRec.store(TestState::running, release);
  if (!halfDuplex(cnf_)) testPlay.store(TestState::running, release);
}

void CBuf::stopTest() {
  testPlay.store(TestState::idle, release);
  testRec.store(TestState::idle, release);
  // Frames left from an earlier test must not be played by the next one.
  for (auto& state : slotState_) state.store(SlotState::empty, release);
  readIdx_.store(0, release);
  writeIdx_.store(0, release);
}

}  // namespace orvalis::audio
