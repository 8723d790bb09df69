#pragma once
// The configuration dialog's server test without its window: Test queues
// the request and shows "Connection...", the heartbeat's poll shows the
// outcome on the same label, which the controller's tick clears later.

#include <cstdint>
#include <string>
#include <string_view>

#include "phone/coded_texts.h"
#include "phone/phone_ui.h"

namespace orvalis::phone {

class CPhone;

inline constexpr std::int32_t testServerShowTicks = 20;  // the outcome stays 1 s

class ServerTest {
 public:
  enum Code : std::int32_t { txtConnecting = 266, txtAccessible = 267, txtInaccessible = 268 };

  // ui is the one the phone shows its texts on.
  ServerTest(CPhone& phone, PhoneUi& ui);

  bool setText(std::int32_t code, std::string_view text) { return texts_.set(code, text); }
  std::string text(std::int32_t code) const { return texts_.get(code); }

  // The Test button.
  void start();
  // Every heartbeat, after the controller's tick.
  void poll();
  // The Test button is disabled while its request waits for an outcome.
  bool buttonEnabled() const { return buttonEnabled_; }

 private:
  CPhone& phone_;
  PhoneUi& ui_;
  CodedTexts<txtConnecting, 3> texts_;
  bool buttonEnabled_ = true;
};

}  // namespace orvalis::phone
