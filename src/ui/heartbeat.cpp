#include "ui/heartbeat.h"

namespace orvalis::ui {

Heartbeat::Heartbeat(phone::CPhone& phone, phone::ServerTest& serverTest, HeartbeatView& view,
                     QObject* parent)
    : QObject(parent), phone_(phone), serverTest_(serverTest), view_(view) {
  timer_.setInterval(periodMs);
  connect(&timer_, &QTimer::timeout, this, &Heartbeat::step);
}

void Heartbeat::step() {
  if (busy_) return;
  busy_ = true;
  showTestStates();
  // The voice hold countdown, the meter's reset while the microphone is
  // closed, and the spool's start-up delay.
  phone_.soundTick();
  showMeter();
  phone_.tick();
  // The listener took a port from the system: show it, and the next start
  // announces the same one.
  if (phone_.callState.refreshLocalPort.exchange(false)) {
    view_.showUserPort(phone_.cnf.userPort.get());
    phone_.config.save();
  }
  serverTest_.poll();
  view_.showServerTestButton(serverTest_.buttonEnabled());
  busy_ = false;
}

void Heartbeat::showTestStates() {
  const audio::TestStates states = phone_.audio().testStates();
  if (states.rec != recState_) {
    recState_ = states.rec;
    view_.showRecording(recState_);
  }
  if (states.play != playState_) {
    playState_ = states.play;
    view_.showPlaying(playState_);
  }
}

void Heartbeat::showMeter() {
  const bool active = phone_.voiceActive.load() == 1;
  const int width = phone_.audio().captureOpen() ? meterScale * phone_.voiceLevel.load()
                                                 : meterIdleWidth;
  view_.showVoiceMeter(active, width);
}

}  // namespace orvalis::ui
