#include "ui/refresh_rules.h"

#include "store/addr_book.h"

namespace orvalis::ui {

using net::ClientState;

int nextBlinkPhase(int phase) { return phase + 1 > 2 ? 0 : phase + 1; }

int trayIconIndex(bool transactionRunning, ClientState state, bool loggedIn, int blinkPhase) {
  if (transactionRunning || state == ClientState::clientIncoming ||
      state == ClientState::clientOutgoing)
    return blinkPhase == 1 ? trayBlinkA : trayBlinkB;
  if (state == ClientState::clientTalk) return trayInCall;
  return loggedIn ? trayOnline : trayOffline;
}

MenuState menuState(std::int32_t userNumber, bool loggedIn) {
  if (userNumber == 0) return menuUnregistered;
  return loggedIn ? menuLoggedIn : menuLoggedOut;
}

bool rejectsCaller(std::int32_t numberType, ClientState stateWhenTaken) {
  return numberType == store::contactVoiceCall &&
         (stateWhenTaken == ClientState::clientIncoming || stateWhenTaken == ClientState::clientTalk);
}

}  // namespace orvalis::ui
