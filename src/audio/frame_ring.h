#pragma once
// CBuf: a fixed ring of 250 slots of one 33-byte GSM frame. The phone has
// two: clientBuf carries received speech from the call thread to the
// playback callback through the spool (jitter buffer), and testBuf carries
// the microphone test from the capture callback to the playback callback.
//
// With the spool at "Automatic" the start of a spurt is held by the
// adaptive spool beside the ring (adaptive_spool.h) instead of by the fixed
// size and the heartbeat's limit.
//
// One writer and one reader, no lock: the writer stores a slot's bytes
// before it marks the slot, the reader copies them before it clears the
// mark, so the slot state alone hands each frame over. The slot after the
// writer is always empty, so the reader always stops in front of it.

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <span>

#include "audio/adaptive_spool.h"
#include "audio/audio_format.h"
#include "store/cnf_data.h"

namespace orvalis::audio {

inline constexpr std::int32_t ringCapacity = 250;
inline constexpr std::int32_t ringSlotSize = static_cast<std::int32_t>(gsmBytes);
// The half-duplex microphone test records and plays this many frames.
inline constexpr std::int32_t testFrames = 248;

enum class SlotState : std::int16_t { empty = 0, full = 1, spurtStart = 2 };
// States of the microphone test's recording and playback.
enum class TestState : std::int32_t { running = 0, idle = 1, done = 2 };

using Frame = std::span<const std::uint8_t, gsmBytes>;
using FrameOut = std::span<std::uint8_t, gsmBytes>;

class CBuf {
 public:
  // switchToPlayback: called by putTest when a half-duplex test recording
  // is complete.
  explicit CBuf(const store::CnfData& cnf, std::function<void()> switchToPlayback = {});
  CBuf(const CBuf&) = delete;
  CBuf& operator=(const CBuf&) = delete;

  // Spool size in frames and holding limit in ticks for cnf.nGsmDelay.
  static std::int32_t spoolFrames(std::int32_t index);
  static std::int32_t holdLimit(std::int32_t index);

  // Received speech (clientBuf): the call thread's side.
  void markSpurt();  // the next frame written opens a talk spurt
  void putFrame(Frame frame);
  // The playback side: a frame when the spool lets one go.
  bool getSpooled(FrameOut out);
  // After each block the playback side filled: `wanted` frames asked for,
  // `got` played. The automatic spool learns from it.
  void blockDone(std::int32_t wanted, std::int32_t got);
  // For a frame getSpooled gave and the playback side decoded: true when
  // the automatic spool drops it to catch up (then it is not played).
  bool dropToCatchUp(bool quiet);
  // The 50 ms heartbeat's part of the spool.
  void tickHold();
  // The spool at the start of a spurt now, in ms, and the underruns of the
  // automatic spool so far.
  std::int32_t spoolMs() const;
  std::uint64_t underruns() const { return playout_.underruns(); }
  // Where the time comes from (tests run the spool on made-up time).
  void setClock(std::function<SpoolTime()> clock) { clock_ = std::move(clock); }
  // Drops what is queued: the reader jumps to the writer.
  void resetReader();
  SlotState readyState() const;

  // Microphone test (testBuf).
  bool putTest(Frame frame);
  bool getTest(FrameOut out);
  void startTest();
  void stopTest();

  // Read by the heartbeat, the engine and tests.
  std::atomic<TestState> testPlay{TestState::idle};
  std::atomic<TestState> testRec{TestState::idle};
  std::int32_t readIdx() const { return readIdx_.load(std::memory_order_acquire); }
  std::int32_t writeIdx() const { return writeIdx_.load(std::memory_order_acquire); }
  std::int32_t queued() const { return queued_.load(std::memory_order_acquire); }
  bool holding() const { return holding_.load(std::memory_order_acquire); }
  std::int32_t holdTicks() const { return holdTicks_.load(std::memory_order_acquire); }

 private:
  void advanceWriter();
  void storeSlot(std::int32_t slot, Frame frame);
  void loadSlot(std::int32_t slot, FrameOut out) const;
  bool automatic() const;
  bool getAdaptive(FrameOut out);
  void takeSlot(std::int32_t slot, FrameOut out);
  // A reset asked for by another thread is done by the reader itself.
  void takeReset();

  const store::CnfData& cnf_;
  std::function<void()> switchToPlayback_;
  std::array<std::int16_t, ringCapacity> slotNext_{};
  std::array<std::atomic<SlotState>, ringCapacity> slotState_{};
  // Bytes are atomic too: a writer that laps the reader may overwrite a
  // slot being read; that frame is lost, but never undefined.
  std::array<std::atomic<std::uint8_t>, ringCapacity * gsmBytes> slotBytes_{};
  std::atomic<std::int32_t> readIdx_{0};
  std::atomic<std::int32_t> writeIdx_{0};
  std::atomic<bool> spurtMark_{false};
  std::atomic<std::int32_t> queued_{0};
  std::atomic<bool> holding_{false};
  std::atomic<std::int32_t> holdTicks_{0};
  std::function<SpoolTime()> clock_ = [] { return SpoolClock::now(); };
  ArrivalJitter arrivals_;   // the writer's
  PlayoutControl playout_;   // the reader's
  std::atomic<bool> playoutReset_{false};
  // Each slot's due time (SpoolTime ticks), stored before the slot is marked.
  std::array<std::atomic<SpoolClock::rep>, ringCapacity> slotDue_{};
  SpoolTime takenDue_{};  // the reader's: of the frame it took last
};

}  // namespace orvalis::audio
