#pragma once
// SoundSystem: the sound side of one phone. It owns the two frame rings,
// the engine and the two device wrappers, built in this order on a set of
// wave devices, and is what the controller talks to.

#include <atomic>
#include <memory>

#include "audio/audio_port.h"
#include "audio/frame_ring.h"
#include "audio/play.h"
#include "audio/record.h"
#include "audio/sound_engine.h"
#include "audio/sound_links.h"
#include "audio/wave_device.h"

namespace orvalis::audio {

class SoundSystem final : public AudioPort {
 public:
  SoundSystem(const SoundLinks& links, std::shared_ptr<WaveDevices> devices);
  ~SoundSystem() override;

  void setMelody(std::string_view text) override { snd.setMelody(text); }
  void startMelody() override { snd.startMelody(); }
  void stopMelody() override { snd.stopMelody(); }
  bool melodySounding() const override { return playing.opened() && snd.melodyOn(); }
  void startTone(char digit) override { snd.startTone(digit); }
  void stopTone() override { snd.stopTone(); }
  void setVolume(std::int32_t volume) override { snd.setVolume(volume); }

  void openPlayback(std::int32_t device, std::int32_t n) override {
    playing.open(device, n);
    playbackFailed_ = !playing.opened() && !devices_->names(Direction::playback).empty();
  }
  void closePlayback() override { playing.close(); }
  void openCapture(std::int32_t device, std::int32_t n) override {
    recording.open(device, n);
    captureFailed_ = !recording.opened() && !devices_->names(Direction::capture).empty();
  }
  OpenFailures openFailures() const override { return {playbackFailed_.load(), captureFailed_.load()}; }
  void closeCapture() override { recording.close(); }
  bool captureOpen() const override { return recording.opened(); }
  void standbyCapture(std::int32_t device) override { devices_->standby(device, WaveFormat{}); }
  std::vector<std::string> deviceNames(Direction direction) const override {
    return devices_->names(direction);
  }
  void refreshDevices() override {
    // The card restarts with no stream open: the speaker, open between
    // calls in half duplex, is closed around it.
    if (recording.opened()) return;
    const bool speaker = playing.opened();
    const std::int32_t device = playing.deviceId(), n = playing.framesPerBuffer();
    playing.close();
    devices_->refresh();
    if (speaker) openPlayback(device, n);
  }

  void startTest() override { testBuf.startTest(); }
  void stopTest() override { testBuf.stopTest(); }
  TestStates testStates() const override { return {testBuf.testRec.load(), testBuf.testPlay.load()}; }

  void markSpurt() override { clientBuf.markSpurt(); }
  void putFrame(std::span<const std::uint8_t, 33> frame) override { clientBuf.putFrame(frame); }
  void tickHold() override { clientBuf.tickHold(); }
  void setSoundProcessing(bool on) override { snd.setProcessing(on); }
  SpoolState spool() const override { return {clientBuf.spoolMs(), clientBuf.underruns()}; }

 private:
  std::shared_ptr<WaveDevices> devices_;  // outlives the wrappers' streams
  std::atomic<bool> playbackFailed_{false};
  std::atomic<bool> captureFailed_{false};

 public:
  CBuf testBuf;
  CBuf clientBuf;
  CSnd snd;
  CRecord recording;
  CPlay playing;
};

}  // namespace orvalis::audio
