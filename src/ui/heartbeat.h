#pragma once
// The phone's 50 ms heartbeat, kept by the configuration dialog: the
// microphone test's labels, the voice meter, the controller's tick, a
// listening port the system chose, the server test's outcome and the
// receive spool. It runs for the whole program, whether the dialog shows or
// not.

#include <QObject>
#include <QTimer>

#include <cstdint>

#include "audio/frame_ring.h"
#include "phone/phone.h"
#include "phone/server_test.h"

namespace orvalis::ui {

// What the heartbeat shows; the dialog implements it.
class HeartbeatView {
 public:
  virtual ~HeartbeatView() = default;
  virtual void showRecording(audio::TestState state) = 0;
  virtual void showPlaying(audio::TestState state) = 0;
  virtual void showVoiceMeter(bool active, int width) = 0;
  virtual void showUserPort(std::uint16_t port) = 0;
  virtual void showServerTestButton(bool enabled) = 0;
};

class Heartbeat : public QObject {
  Q_OBJECT

 public:
  static constexpr int periodMs = 50;
  static constexpr int meterScale = 7;     // pixels per voice level step
  static constexpr int meterIdleWidth = 2;

  Heartbeat(phone::CPhone& phone, phone::ServerTest& serverTest, HeartbeatView& view,
            QObject* parent = nullptr);

  void start() { timer_.start(); }
  void stop() { timer_.stop(); }
  bool running() const { return timer_.isActive(); }
  // One beat. A beat that starts while another runs (a modal login box
  // inside the tick) returns at once.
  void step();

 private:
  void showTestStates();
  void showMeter();

  phone::CPhone& phone_;
  phone::ServerTest& serverTest_;
  HeartbeatView& view_;
  QTimer timer_;
  bool busy_ = false;
  audio::TestState recState_ = audio::TestState::idle;
  audio::TestState playState_ = audio::TestState::idle;
};

}  // namespace orvalis::ui
