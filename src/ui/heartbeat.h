#pragma once
// The phone's 50 ms heartbeat: the controller's tick, its sound duties,
// and keeping a listening port the system chose in the settings file. It
// runs for the whole program, whether any window shows or not.

#include <QObject>
#include <QTimer>

#include "phone/phone.h"

namespace orvalis::ui {

class Heartbeat : public QObject {
  Q_OBJECT

 public:
  static constexpr int periodMs = 50;

  explicit Heartbeat(phone::CPhone& phone, QObject* parent = nullptr);

  void start() { timer_.start(); }
  void stop() { timer_.stop(); }
  bool running() const { return timer_.isActive(); }
  // One beat.
  void step();

 private:
  phone::CPhone& phone_;
  QTimer timer_;
};

}  // namespace orvalis::ui
