// The phone's sound devices: opening and closing them, the devices
// remembered by name, the microphone test and the heartbeat's sound duties.

#include <algorithm>

#include "phone/phone.h"
#include "store/gsm_frames.h"

namespace orvalis::phone {

namespace {

// The directions of the remembered devices, loudspeaker first.
constexpr std::array<audio::Direction, 2> soundDirections = {audio::Direction::playback,
                                                            audio::Direction::capture};

}  // namespace

void CPhone::startPlayback() {
  audio_->openPlayback(cnf.soundSp, store::gsmFramesPerBuffer(cnf.nGsm));
}
void CPhone::stopPlayback() { audio_->closePlayback(); }
void CPhone::startCapture() {
  audio_->openCapture(cnf.soundMc, store::gsmFramesPerBuffer(cnf.nGsm));
}
void CPhone::stopCapture() { audio_->closeCapture(); }

void CPhone::rememberDevices() {
  for (std::size_t i = 0; i < soundDirections.size(); ++i) {
    const auto names = audio_->deviceNames(soundDirections[i]);
    const std::int32_t position = i == 0 ? cnf.soundSp.get() : cnf.soundMc.get();
    if (position >= 0 && static_cast<std::size_t>(position) < names.size()) {
      savedDevices_[i] = names[static_cast<std::size_t>(position)];
      missingTold_[i] = false;
    }
  }
  store::saveDeviceNames(devicesPath_, savedDevices_);
}

void CPhone::setSoundProcessing(bool on) {
  soundProcessing_ = on;
  audio_->setSoundProcessing(on);
  store::saveSoundProcessing(devicesPath_, on);
}

void CPhone::resolveDevices() {
  bool moved = false, learned = false;
  for (std::size_t i = 0; i < soundDirections.size(); ++i) {
    const auto names = audio_->deviceNames(soundDirections[i]);
    if (names.empty()) continue;  // no sound card: nothing to choose
    store::LeInt32& live = i == 0 ? cnf.soundSp : cnf.soundMc;
    store::LeInt32& edited = i == 0 ? cnfEdit.soundSp : cnfEdit.soundMc;
    const std::int32_t position = live.get();
    if (savedDevices_[i].empty()) {
      if (position >= 0 && static_cast<std::size_t>(position) < names.size()) {
        savedDevices_[i] = names[static_cast<std::size_t>(position)];
        learned = true;
      }
      continue;
    }
    const auto found = std::find(names.begin(), names.end(), savedDevices_[i]);
    const auto now = found != names.end() ? static_cast<std::int32_t>(found - names.begin()) : 0;
    if (found == names.end() && !missingTold_[i]) {
      missingTold_[i] = true;
      display_.showMessage(std::string(i == 0 ? "The loudspeaker \"" : "The microphone \"") +
                           savedDevices_[i] + "\" is missing: the default device is used.");
    }
    if (found != names.end()) missingTold_[i] = false;
    if (now != position) {
      live = now;
      edited = now;
      moved = true;
    }
  }
  if (learned) store::saveDeviceNames(devicesPath_, savedDevices_);
  if (moved) config.save();
}

bool CPhone::refreshDevices() {
  if (callUp() || audio_->testStates() != audio::TestStates{} || audio_->melodySounding())
    return false;
  audio_->refreshDevices();
  return true;
}

void CPhone::standbyMicrophone() {
  // In full duplex the microphone stays ready between calls, so that a call
  // is heard from its first word; in half duplex the card cannot do both.
  audio_->standbyCapture(halfDuplex() ? -1 : cnf.soundMc.get());
}

bool CPhone::startMicTest() {
  if (audio_->testStates().rec == audio::TestState::running ||
      callState.stateClient.load() != net::ClientState::clientIdle) {
    return false;
  }
  audio_->startTest();
  switchToCapture();
  return true;
}

void CPhone::stopMicTest() {
  if (!callUp()) endMicTest();
}

void CPhone::endMicTest() {
  const bool running = audio_->testStates() != audio::TestStates{};
  audio_->stopTest();
  if (!running) return;
  // Closing is safe from any thread; the half-duplex reopening of playback
  // is left to the tick.
  if (halfDuplex()) switchToPlayback();
  else stopCapture();
}

void CPhone::soundTick() {
  std::int32_t hold = voiceHold.load();
  while (hold > 0 && !voiceHold.compare_exchange_weak(hold, hold - 1)) {
  }
  if (!audio_->captureOpen()) {
    voiceActive = 0;
    voiceHold = 0;
  }
  audio_->tickHold();
}

}  // namespace orvalis::phone
