#include "ui/heartbeat.h"

namespace orvalis::ui {

Heartbeat::Heartbeat(phone::CPhone& phone, QObject* parent) : QObject(parent), phone_(phone) {
  timer_.setInterval(periodMs);
  connect(&timer_, &QTimer::timeout, this, &Heartbeat::step);
}

void Heartbeat::step() {
  phone_.tick();
  phone_.soundTick();
  // The listener took a port from the system: the next start should
  // announce the same one.
  if (phone_.callState.refreshLocalPort.exchange(false)) phone_.config.save();
}

}  // namespace orvalis::ui
