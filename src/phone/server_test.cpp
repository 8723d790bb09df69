#include "phone/server_test.h"

#include "net/message_codes.h"
#include "phone/phone.h"

namespace orvalis::phone {

using net::SlotState;

ServerTest::ServerTest(CPhone& phone, PhoneUi& ui)
    : phone_(phone),
      ui_(ui),
      texts_({"Connection...", "Server is accessible!", "Server is inaccessible."}) {}

void ServerTest::start() {
  if (phone_.testServer()) buttonEnabled_ = false;
  // Keeps the tick from clearing the label while the test runs.
  phone_.testServerTicks = 0;
  ui_.setTestServerLabel(text(txtConnecting));
}

void ServerTest::poll() {
  net::AuthSlot& slot = phone_.quiryAuth[net::reqTestServer];
  const SlotState state = slot.load();
  if (state != SlotState::slotDone && state != SlotState::slotFailed) return;
  // Any answer at all means the server was reached.
  ui_.setTestServerLabel(text(state == SlotState::slotFailed ? txtInaccessible : txtAccessible));
  slot.store(SlotState::slotIdle);
  phone_.testServerTicks = testServerShowTicks;
  buttonEnabled_ = true;
}

}  // namespace orvalis::phone
