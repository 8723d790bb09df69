// Private calls on the phone's side: its own key pair, and the check of a
// caller's number against the key its server has for it.

#include <filesystem>

#include "net/call_owner.h"
#include "net/message_codes.h"
#include "phone/phone.h"
#include "store/phone_key.h"

namespace orvalis::phone {

using net::SlotState;

void CPhone::loadOwnKeys() {
  const std::string path =
      std::filesystem::path(config.cnfPath).replace_filename(store::phoneKeyFile).string();
  if (const auto secret = store::loadPhoneSecret(path)) {
    ownKeys_ = net::KeyPair::fromSecret(*secret);
    return;
  }
  // A key that cannot be kept would change at each start, and callers'
  // servers with it: such a phone makes no private calls.
  const net::KeyPair fresh = net::KeyPair::generate();
  if (store::savePhoneSecret(path, fresh.secretKey)) ownKeys_ = fresh;
}

void CPhone::verifyCaller(std::int32_t number, const std::optional<net::PublicKey>& proven,
                          net::CallGeneration generation) {
  std::lock_guard guard(callerCheckLock_);
  callerCheckPending_ = CallerCheck{number, proven, generation};
}

void CPhone::askCallerKey() {
  std::optional<CallerCheck> check;
  {
    std::lock_guard guard(callerCheckLock_);
    check = callerCheckPending_;
  }
  if (!check) return;
  net::AuthSlot& slot = quiryAuth[net::slotUserKey];
  const bool ask = serverState.load() == ServerState::loggedIn &&
                   net::isCurrentCall(callState, check->generation);
  if (ask && slot.load() != SlotState::slotIdle) return;  // the next tick
  {
    std::lock_guard guard(callerCheckLock_);
    if (callerCheckPending_ && callerCheckPending_->generation == check->generation)
      callerCheckPending_.reset();
  }
  if (!ask) return;
  const auto payload = net::userKeyPayload(ticket, check->number);
  net::buildPacket(slot.request, net::reqUserKey, static_cast<std::int16_t>(payload.size()),
                   payload);
  slot.announceFromConnection = false;
  slot.carriesTicket = true;
  slot.tlsTail.clear();
  slot.tlsOnly = true;  // a server that knows no keys never hears of them
  slot.generation = serverSession.generation();
  callerCheck_ = check;
  slot.store(SlotState::slotQueued);
}

void CPhone::consumeUserKey(net::AuthSlot& slot) {
  const std::optional<CallerCheck> check = std::exchange(callerCheck_, std::nullopt);
  if (check && slot.load() == SlotState::slotDone && slot.overTls &&
      net::isCurrentCall(callState, check->generation)) {
    std::optional<net::PublicKey> owned;
    if (slot.answer.code == net::ansUserKey) owned = net::parseUserKey(slot.answer, check->number);
    const bool known = owned || slot.answer.code == net::ansUserInvalid;
    if (known) {
      const bool verified = owned && check->proven && *owned == *check->proven;
      callerVerified = verified;
      // A number whose owner has a key, claimed without it; or a key the
      // number does not have.
      callerUnverified = !verified && (owned || check->proven);
      numberChanged = true;  // shown again, with its mark
    }
  }
  slot.tlsOnly = false;
  slot.store(SlotState::slotIdle);
}

}  // namespace orvalis::phone
