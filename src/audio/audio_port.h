#pragma once
// What the phone's controller asks of its sound side: melodies for its
// status texts, key tones, opening and closing the speaker and the
// microphone, the microphone test, and what a call hands over. SoundSystem
// is the real one; SilentAudio is a phone without sound. The call thread
// calls stopMelody, stopTone, stopTest, markSpurt and putFrame, and may
// open or close a device.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "audio/frame_ring.h"
#include "audio/wave_device.h"

namespace orvalis::audio {

struct TestStates {
  TestState rec = TestState::idle;
  TestState play = TestState::idle;
  bool operator==(const TestStates&) const = default;
};

// The receive spool as it stands, for status lines.
struct SpoolState {
  std::int32_t spoolMs = 0;     // what the start of a spurt is held for
  std::uint64_t underruns = 0;  // of the automatic spool
};

class AudioPort {
 public:
  virtual ~AudioPort() = default;

  virtual void setMelody(std::string_view text) = 0;
  virtual void startMelody() = 0;
  virtual void stopMelody() = 0;
  // Whether a melody sounds from the open speaker now.
  virtual bool melodySounding() const { return false; }
  virtual void startTone(char digit) = 0;
  virtual void stopTone() = 0;
  virtual void setVolume(std::int32_t volume) = 0;

  // framesPerBuffer: 20 ms GSM frames per device buffer (nGsm + 1).
  virtual void openPlayback(std::int32_t device, std::int32_t framesPerBuffer) = 0;
  virtual void closePlayback() = 0;
  virtual void openCapture(std::int32_t device, std::int32_t framesPerBuffer) = 0;
  virtual void closeCapture() = 0;
  virtual bool captureOpen() const = 0;
  virtual std::vector<std::string> deviceNames(Direction direction) const = 0;
  // Keeps the microphone `device` (none: -1) running between opens, so that
  // a call's first words are not lost to its start-up (WaveDevices::standby).
  virtual void standbyCapture(std::int32_t device) { (void)device; }
  // Reads the device lists afresh (WaveDevices::refresh), unless a device
  // is held by a call or the microphone test.
  virtual void refreshDevices() {}
  // Whether the latest open of each device failed, on a machine that has
  // devices in that direction (one without any is not a failure).
  struct OpenFailures {
    bool playback = false;
    bool capture = false;
  };
  virtual OpenFailures openFailures() const { return {}; }

  // The microphone test's ring: start (its states become running) and stop.
  virtual void startTest() = 0;
  virtual void stopTest() = 0;
  virtual TestStates testStates() const = 0;

  // Received speech: the start of a talk spurt, and one 33-byte GSM frame.
  virtual void markSpurt() = 0;
  virtual void putFrame(std::span<const std::uint8_t, 33> frame) = 0;
  // The heartbeat's part of the spool, every 50 ms.
  virtual void tickHold() = 0;
  // Echo cancellation and noise suppression in full duplex.
  virtual void setSoundProcessing(bool on) { (void)on; }
  virtual SpoolState spool() const { return {}; }
};

// No sound at all: every request is accepted and nothing sounds.
class SilentAudio final : public AudioPort {
 public:
  void setMelody(std::string_view) override {}
  void startMelody() override {}
  void stopMelody() override {}
  void startTone(char) override {}
  void stopTone() override {}
  void setVolume(std::int32_t) override {}
  void openPlayback(std::int32_t, std::int32_t) override {}
  void closePlayback() override {}
  void openCapture(std::int32_t, std::int32_t) override {}
  void closeCapture() override {}
  bool captureOpen() const override { return false; }
  std::vector<std::string> deviceNames(Direction) const override { return {}; }
  void startTest() override {}
  void stopTest() override {}
  TestStates testStates() const override { return {}; }
  void markSpurt() override {}
  void putFrame(std::span<const std::uint8_t, 33>) override {}
  void tickHold() override {}
};

}  // namespace orvalis::audio
