// The phone's server transactions: queueing requests in their slots,
// starting the sweeps, automatic login, what each answer changes, and the
// logout from a server the settings no longer name.

#include <algorithm>

#include "net/address.h"
#include "net/announce.h"
#include "net/message_codes.h"
#include "phone/phone.h"

namespace orvalis::phone {

using net::SlotState;

namespace {

constexpr std::int32_t transientTicks = 2 * ticksPerSecond;  // answers of a search

constexpr std::string_view unreachableText =
    "Other computers cannot call this phone: it has no network address but loopback.";

constexpr std::string_view serverKeyChangedText =
    "The server's key is not the one this phone met before, so nothing was sent to it: someone "
    "may be standing in its place. If its administrator has given it a new key, tick \"Trust the "
    "server's new key\" in the login window.";

}  // namespace

// ---- automatic login ---------------------------------------------------------

void CPhone::autoLogin() {
  const std::uint32_t host = refreshLocalHost();
  const bool in = serverState.load() == ServerState::loggedIn;
  display_.setLocalHostLabel(in && !reachableAt_.empty() ? reachableAt_ : net::formatAddress(host));

  // A logout still under way goes to the server first, and one from a
  // server left must not arrive after a login there.
  std::erase_if(leaving_, [](const auto& logout) { return logout->finished(); });
  if (!leaving_.empty() || quiryAuth[net::reqLogin].load() != SlotState::slotIdle ||
      quiryAuth[net::reqLogout].load() != SlotState::slotIdle) {
    return;
  }
  if (cnf.userNumber <= 0) return;
  ServerState state = serverState.load();
  if (state == ServerState::loggedIn && reach_->relayState() == net::RelayLink::State::refused) {
    // The relay no longer knows the session: a fresh login makes a new one.
    serverState = state = ServerState::loggedOut;
  }
  if (state == ServerState::loggedIn) reannounce();
  if (state != ServerState::loggedOut) return;
  if (!listenerReady() || !reachSettled()) {
    loginCountdown = 0;  // try again on the next tick
    return;
  }

  if (!askPasswd && cnf.passwdLen > 0) {
    loginAnnouncing(cnf.userNumber, cnf.passwd.str());
    return;
  }

  display_.setLoginCaption(text(PhoneText::txtConnectionToServer));
  display_.setLoginSaveCaption(text(PhoneText::txtSavePasswd));
  LoginPrefill prefill;
  prefill.savePasswd = cnf.passwdLen >= 1;
  if (prefill.savePasswd) prefill.passwd = cnf.passwd.str();
  prefill.serverKeyRefused = keyWarned_;
  const LoginOutcome outcome = display_.runLoginDialog(prefill);
  if (!outcome.ok) {
    serverState = ServerState::suspended;
    return;
  }
  if (outcome.forgetServerKey) forgetServerKey();
  storePassword(outcome.savePasswd ? std::string_view(outcome.passwd) : std::string_view());
  config.save();
  loginAnnouncing(cnf.userNumber, outcome.passwd);
}

void CPhone::storePassword(std::string_view password) {
  const std::string_view kept = password.substr(0, store::secretSize - 1);
  for (store::CnfData* rec : {&cnf, &cnfEdit}) {
    rec->passwd.set(kept);
    rec->passwdLen = static_cast<std::int32_t>(kept.size());
  }
}

// ---- finished transactions ---------------------------------------------------

void CPhone::consumeAnswer(std::size_t index) {
  net::AuthSlot& slot = quiryAuth[index];
  if (slot.load() == SlotState::slotFailed && slot.keyRefused) warnServerKeyChanged();
  switch (index) {
    case net::reqDeleteUser:
      // The account is forgotten whether or not the server confirmed.
      for (store::CnfData* rec : {&cnf, &cnfEdit}) rec->userNumber = 0;
      storePassword({});
      config.save();
      serverState = ServerState::loggedOut;
      slot.store(SlotState::slotIdle);
      return;
    case net::reqLogin:
      consumeLogin(slot);
      return;
    case net::reqLogout:
      if (serverState.load() == ServerState::loggedIn) serverState = ServerState::suspended;
      slot.store(SlotState::slotIdle);
      return;
    case net::reqFindUser:
      consumeFindUser(slot);
      return;
    case net::slotUserKey:
      consumeUserKey(slot);
      return;
    default:
      return;  // registration, password change and server test: their dialogs
  }
}

void CPhone::consumeLogin(net::AuthSlot& slot) {
  if (cnf.userNumber == 0) return;  // the registration dialog takes it
  if (slot.generation != serverSession.generation()) {
    dropLogin(slot);
    return;
  }
  if (slot.load() == SlotState::slotFailed || slot.answer.code == net::ansFailed) {
    const std::string reason = text(slot.load() == SlotState::slotFailed
                                        ? PhoneText::txtServerNoAnswer
                                        : PhoneText::txtPasswdIncorrect);
    display_.setLoginPrompt(reason);
    display_.loginFailed(reason);
    askPasswd = true;
  } else if (slot.answer.code == net::ansLoggedIn) {
    ticket = net::parseTicket(slot.answer);
    serverState = ServerState::loggedIn;
    askPasswd = false;
    announcedPort_ = net::loginPort(slot.request);
    const std::uint32_t announced = net::loginAddress(slot.request);
    reachLoggedIn(slot.answer);
    reachableAt_ = net::formatAddress(announced) + ":" + std::to_string(announcedPort_);
    display_.setLocalHostLabel(reachableAt_);
    display_.loggedIn(cnf.userNumber, reachableAt_);
    if (!unreachableTold_ && net::unreachableFromOthers(cnf, announced)) {
      unreachableTold_ = true;
      display_.showMessage(unreachableText);
    }
  }
  // A failed login made while logged in (a new port announced) leaves the
  // phone logged out, as any failed login does.
  if (askPasswd && serverState.load() == ServerState::loggedIn) serverState = ServerState::loggedOut;
  slot.store(SlotState::slotIdle);
}

void CPhone::dropLogin(net::AuthSlot& slot) {
  // Neither its ticket nor its failure says anything about the server the
  // settings name now, where automatic login goes next.
  if (slot.load() == SlotState::slotDone && slot.answer.code == net::ansLoggedIn && slot.sentWith)
    logoutFrom(*slot.sentWith, net::parseTicket(slot.answer));
  slot.store(SlotState::slotIdle);
}

void CPhone::consumeFindUser(net::AuthSlot& slot) {
  if (slot.load() == SlotState::slotFailed) {
    showState(text(PhoneText::txtErrorNetwork), transientTicks, MelodyKind::info);
  } else {
    switch (slot.answer.code) {
      case net::ansFailed:
        showState(text(PhoneText::txtErrorServer), transientTicks, MelodyKind::info);
        break;
      case net::ansUserOffline:
        showState(text(PhoneText::txtUserOffline), transientTicks, MelodyKind::info);
        break;
      case net::ansUserInvalid:
        showState(text(PhoneText::txtUserInvalid), transientTicks, MelodyKind::info);
        break;
      case net::ansUserFound: {
        const net::FoundUser user = net::parseUserFound(slot.answer);
        // A key only as a server spoken to over TLS vouches for it.
        startCall(user.address, user.port,
                  slot.overTls ? net::parseFoundKey(slot.answer) : std::nullopt);
        break;
      }
      default:
        break;
    }
  }
  findState = FindState::idle;
  slot.store(SlotState::slotIdle);
}

// ---- queueing ----------------------------------------------------------------

bool CPhone::queue(std::int16_t code, std::span<const std::uint8_t> payload,
                   bool announceFromConnection) {
  net::AuthSlot& slot = quiryAuth[static_cast<std::size_t>(code)];
  if (slot.load() != SlotState::slotIdle) return false;
  net::buildPacket(slot.request, code, static_cast<std::int16_t>(payload.size()), payload);
  slot.announceFromConnection = announceFromConnection;
  slot.carriesTicket = net::startsWithTicket(code);
  // A login publishes the phone's public key to a server that speaks TLS.
  slot.tlsTail.clear();
  if (code == net::reqLogin && ownKeys_)
    slot.tlsTail.assign(ownKeys_->publicKey.begin(), ownKeys_->publicKey.end());
  slot.tlsOnly = false;
  slot.generation = serverSession.generation();
  slot.store(SlotState::slotQueued);  // publishes the request
  return true;
}

bool CPhone::registerNew(std::int32_t num, std::string_view password) {
  return queue(net::reqRegister, net::registerPayload(num, password));
}

bool CPhone::login(std::int32_t num, std::string_view password, std::uint32_t address,
                   std::uint16_t port) {
  return queue(net::reqLogin, net::loginPayload(num, password, address, port));
}

void CPhone::logout() {
  queue(net::reqLogout, ticket);
  reach_->release();  // the mapping and the relay link end with the session
}

void CPhone::leaveServer() {
  if (serverState.load() == ServerState::loggedIn) {
    // A login the sweep has made and the tick not yet taken has replaced
    // the phone's ticket.
    logoutFrom(cnf, serverSession.ticket(serverSession.generation()).value_or(ticket));
    reach_->release();
    serverState = ServerState::loggedOut;
  }
  serverSession.advance();
}

void CPhone::logoutFrom(const store::CnfData& settings, const net::Ticket& issued) {
  if (!netReady) return;  // no transaction starts before the network is up
  leaving_.push_back(std::make_unique<net::CServerLogout>(settings, issued,
                                                          net::transactionTimeLimit, &serverKeys));
}

void CPhone::requestDeleteUser() {
  if (serverState.load() == ServerState::loggedIn) queue(net::reqDeleteUser, ticket);
}

bool CPhone::requestChangePasswd(std::string_view password) {
  if (serverState.load() != ServerState::loggedIn) return false;
  return queue(net::reqChangePasswd, net::changePasswdPayload(ticket, password));
}

void CPhone::findUser(std::int32_t num) {
  if (serverState.load() != ServerState::loggedIn) return;
  showState(text(PhoneText::txtSearch), 0, MelodyKind::find);
  findState = FindState::searching;
  queue(net::reqFindUser, net::findUserPayload(ticket, num));
}

bool CPhone::testServer() { return queue(net::reqTestServer, {}); }

bool CPhone::anyTransactionRunning() const {
  return std::any_of(quiryAuth.begin(), quiryAuth.end(), [](const net::AuthSlot& s) {
    return s.load() == SlotState::slotRunning;
  });
}

void CPhone::startTransactions() {
  authThread = net::AuthThread::starting;
  authServer.reset();  // the previous sweep has ended: authThread was none
  authServer = std::make_unique<net::CAuthServer>(quiryAuth, cnf, authThread,
                                                  net::transactionTimeLimit, &serverSession,
                                                  &serverKeys);
}

// Once per run: every request after it is refused the same way.
void CPhone::warnServerKeyChanged() {
  if (keyWarned_) return;
  keyWarned_ = true;
  display_.showMessage(serverKeyChangedText);
}

bool CPhone::forgetServerKey() {
  keyWarned_ = false;
  return serverKeys.forget(net::serverOf(cnf));
}

}  // namespace orvalis::phone
