#pragma once
// A user interface and a sound side that record what the controller asks.

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audio/audio_port.h"
#include "phone/phone_ui.h"

namespace orvalis::testing {

class FakeUi : public phone::PhoneUi {
 public:
  void setDisplay(std::string_view text) override { displays.emplace_back(text); }
  void setLoginCaption(std::string_view text) override { loginCaption = text; }
  void setLoginPrompt(std::string_view text) override { loginPrompt = text; }
  void setLoginSaveCaption(std::string_view text) override { loginSaveCaption = text; }
  phone::LoginOutcome runLoginDialog(const phone::LoginPrefill& prefill) override {
    ++loginShown;
    lastPrefill = prefill;
    if (duringLogin) duringLogin();
    return loginAnswer;
  }
  void setLocalHostLabel(std::string_view text) override {
    localHostLabel = text;
    ++localHostShown;
  }
  void setTestServerLabel(std::string_view text) override { testServerLabel = text; }
  void showMessage(std::string_view text) override { messages.emplace_back(text); }

  std::string display() const { return displays.empty() ? std::string() : displays.back(); }

  std::vector<std::string> displays;
  std::vector<std::string> messages;
  std::string loginCaption, loginPrompt, loginSaveCaption, localHostLabel;
  std::string testServerLabel = "unset";
  int loginShown = 0;
  int localHostShown = 0;
  phone::LoginPrefill lastPrefill;
  phone::LoginOutcome loginAnswer;    // what the "user" answers
  std::function<void()> duringLogin;  // runs while the dialog is open
};

// Records every request of the user-interface thread as one line, e.g.
// "melody 4e2" or "openPlayback 0 2"; what a call thread hands over is
// counted, not logged. The test states (through the interface) and whether
// capture is open may be read while a call thread changes them.
class FakeAudio : public audio::AudioPort {
 public:
  explicit FakeAudio(std::vector<std::string>& log) : log_(log) {}
  void setMelody(std::string_view text) override { record("melody " + std::string(text)); }
  void startMelody() override { record("startMelody"); }
  void startTone(char digit) override { record(std::string("tone ") + digit); }
  void setVolume(std::int32_t) override {}
  void openPlayback(std::int32_t device, std::int32_t frames) override {
    record("openPlayback " + std::to_string(device) + " " + std::to_string(frames));
  }
  void closePlayback() override { record("closePlayback"); }
  void openCapture(std::int32_t device, std::int32_t frames) override {
    record("openCapture " + std::to_string(device) + " " + std::to_string(frames));
    captureIsOpen = true;
  }
  void closeCapture() override {
    record("closeCapture");
    captureIsOpen = false;  // last: a reader that sees it also sees the line
  }
  bool captureOpen() const override { return captureIsOpen; }
  void standbyCapture(std::int32_t device) override { standbyDevice = device; }
  OpenFailures openFailures() const override { return failures; }
  std::vector<std::string> deviceNames(audio::Direction direction) const override {
    return direction == audio::Direction::playback ? speakers : microphones;
  }
  void stopMelody() override {}
  bool melodySounding() const override { return sounding; }
  void refreshDevices() override { ++refreshes; }
  void stopTone() override {}
  void startTest() override {
    std::lock_guard guard(testsLock_);
    tests = {audio::TestState::running, audio::TestState::running};
  }
  void stopTest() override {
    std::lock_guard guard(testsLock_);
    tests = {};
  }
  audio::TestStates testStates() const override {
    std::lock_guard guard(testsLock_);
    return tests;
  }
  void markSpurt() override {}
  void putFrame(std::span<const std::uint8_t, 33>) override {}
  void tickHold() override { ++holdTicks; }

  std::atomic<bool> captureIsOpen{false};
  std::int32_t standbyDevice = -2;  // -2: never asked
  OpenFailures failures;
  std::vector<std::string> speakers, microphones;  // the device lists
  audio::TestStates tests;  // guarded by testsLock_ while a call thread runs
  int holdTicks = 0;
  bool sounding = false;  // a melody sounds
  int refreshes = 0;      // of the device lists
  // Runs after each logged request, inside the controller's step: what
  // another thread might do at that moment.
  std::function<void(const std::string&)> onRequest;

 private:
  // A call thread asks too (it stops the microphone at the handshake).
  void record(const std::string& line) {
    {
      std::lock_guard guard(logLock_);
      log_.push_back(line);
    }
    if (onRequest) onRequest(line);
  }

  std::mutex logLock_;
  mutable std::mutex testsLock_;
  std::vector<std::string>& log_;
};

}  // namespace orvalis::testing
