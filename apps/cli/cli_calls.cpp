// The headless phone's call keys, and what the window's refresh does for
// calls on every tick: report the call state and the number to show, and
// end a call from a contact of the "V" group as soon as it rings.

#include <string>

#include "cli/cli_phone.h"
#include "phone/account_fields.h"
#include "store/addr_book.h"

namespace orvalis::cli {

namespace {

using net::ClientState;

// What the number field holds after typing: blanks are not taken.
std::string fieldText(std::string_view typed) {
  std::string text;
  for (const char c : typed)
    if (c != ' ' && c != '\t') text += c;
  return text;
}

// Whether a number taken now came from a caller: dial hands its number over
// while no call runs, the listener only once the call rings.
bool fromCaller(ClientState state) {
  return state == ClientState::clientIncoming || state == ClientState::clientTalk;
}

}  // namespace

void CliPhone::addCallCommands() {
  commands_.emplace("dial", [this](std::string_view args) { dialKey(args); });
  commands_.emplace("hangup", noArgs("hangup", [this] { hangUpKey(); }));
  commands_.emplace("floor-request", noArgs("floor-request", [this] { phone_->requestFloor(); }));
  commands_.emplace("floor-offer", noArgs("floor-offer", [this] { phone_->offerFloor(); }));
  commands_.emplace("mute", [this](std::string_view args) {
    if (args != "on" && args != "off") {
      ui_.print("error: expected: mute on|off");
      return;
    }
    // The next tick lifts it again unless a call is up.
    phone_->callState.stateLabel[net::labelMute] = args == "on" ? 1 : 0;
  });
}

void CliPhone::dialKey(std::string_view args) {
  if (!args.empty()) shownNumber_ = fieldText(args);
  if (phone_->callState.stateClient.load() == ClientState::clientIdle)
    shownNumber_ = numberOfNick(shownNumber_);
  // Not a number reads as 0, which dial refuses as a wrong number.
  phone_->dial(phone::parseNumber(shownNumber_));
}

void CliPhone::hangUpKey() {
  if (phone_->callState.stateClient.load() == ClientState::clientIdle && !shownNumber_.empty()) {
    shownNumber_.clear();
    ui_.print("number:");
  }
  phone_->stopVoice();
  phone_->hangUp();
}

void CliPhone::refreshCall() {
  net::CallState& call = phone_->callState;
  if (const ClientState state = call.stateClient.load(); state != reportedState_) {
    reportedState_ = state;
    ui_.print("state: stateClient=" + std::to_string(static_cast<int>(state)));
  }
  if (const std::int32_t number = phone_->takeNumber(); number > 0) {
    shownNumber_ = std::to_string(number);
    ui_.print("number: " + shownNumber_);
    showNameOf(shownNumber_);
    // Told as the window marks it: the number's owner has a key, and this
    // caller did not prove it.
    if (phone_->callerUnverified.load()) ui_.print("caller: not verified");
    // numberType is the latest caller's group and stays when this phone
    // dials, so only a number handed over by a call that rings is judged.
    if (phone_->numberType.load() == store::contactVoiceCall &&
        fromCaller(call.stateClient.load())) {
      phone_->stopVoice();
      phone_->hangUp();
    }
  }
  std::atomic<std::int32_t>& mute = call.stateLabel[net::labelMute];
  if (mute.load() == 1 && call.stateClient.load() != ClientState::clientTalk) mute = 0;
}

}  // namespace orvalis::cli
