// The controller's call commands, and what the call thread and the listener
// ask of it as their CallHost.

#include <arpa/inet.h>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "phone/phone.h"

namespace orvalis::phone {

namespace {

using net::ClientState;

constexpr std::int32_t refusalTicks = 20;

}  // namespace

void CPhone::dial(std::int32_t num) {
  if (cnf.userNumber.get() == 0) {
    showState(text(PhoneText::txtRegistrationRequired), refusalTicks, MelodyKind::info);
    return;
  }
  if (serverState.load() != ServerState::loggedIn) {
    showState(text(PhoneText::txtConnectedToServer), refusalTicks, MelodyKind::info);
    return;
  }
  switch (callState.stateClient.load()) {
    case ClientState::clientIdle:
      if (findState.load() != FindState::idle) return;  // a search runs
      if (num < minUserNumber || num > maxUserNumber) {
        showState(text(PhoneText::txtWrongNumber), refusalTicks, MelodyKind::info);
      } else if (num == cnf.userNumber.get()) {
        showState(text(PhoneText::txtYourNumber), refusalTicks, MelodyKind::info);
      } else {
        number = num;
        numberChanged = true;
        findUser(num);
      }
      return;
    case ClientState::clientIncoming: {
      // Answering: the call thread completes the handshake.
      std::array<std::uint8_t, 4> mode{};
      net::writeInt32(mode, 0, cnf.msa.get());
      sendOnCall(net::peerAccept, mode);
      return;
    }
    default:
      return;
  }
}

void CPhone::hangUp() { net::hangUpCall(callState); }

void CPhone::stopVoice() {
  stopCapture();
  audio_->stopTone();
  audio_->stopMelody();
}

void CPhone::requestFloor() { net::requestFloor(callState, *this); }

void CPhone::offerFloor() { net::offerFloor(callState, *this); }

int CPhone::startCall(std::uint32_t address, std::uint16_t port) {
  // One step, so that an incoming call cannot take the state at the same
  // moment.
  ClientState idle = ClientState::clientIdle;
  if (!callState.stateClient.compare_exchange_strong(idle, ClientState::clientOutgoing)) return 0;
  findState = FindState::idle;
  callState.clientAddr = net::PeerAddress{address, htons(port), 0};
  startCallThread(nullptr);
  return 1;
}

void CPhone::startCallThread(net::SocketPtr incoming) {
  std::lock_guard guard(clientLock_);
  client.reset();  // the previous call's thread has finished or is finishing
  client = std::make_unique<net::CClient>(static_cast<net::CallHost&>(*this), std::move(incoming));
}

void CPhone::sendOnCall(std::int16_t code, std::span<const std::uint8_t> payload) {
  const net::SocketPtr socket = callState.sockClient.get();
  if (!socket) return;
  net::CPacket message;
  net::buildPacket(message, code, static_cast<std::int16_t>(payload.size()), payload);
  // The user-interface thread never waits long behind a stalled peer; a
  // failed send closes the socket, which ends the call.
  net::sendPacketBy(*socket, message, net::Socket::Clock::now() + net::userSendWait);
}

void CPhone::postCallText(net::CallText id, std::int32_t ticks, net::CallMelody melody) {
  PhoneText shown = PhoneText::txtUserDisconnected;
  switch (id) {
    case net::CallText::inputCall: shown = PhoneText::txtInputCall; break;
    case net::CallText::outputCall: shown = PhoneText::txtOutputCall; break;
    case net::CallText::userOnline: shown = PhoneText::txtUserOnline; break;
    case net::CallText::userDisconnected: shown = PhoneText::txtUserDisconnected; break;
    case net::CallText::userInaccessable: shown = PhoneText::txtUserInaccessable; break;
  }
  postState(text(shown), ticks, static_cast<MelodyKind>(melody));
}

std::int32_t CPhone::typeOf(std::int32_t num) { return addrBook.typeOf(num); }

void CPhone::setListeningPort(std::uint16_t port) {
  cnf.userPort = port;
  cnfEdit.userPort = port;
}

void CPhone::startIncomingCall(net::SocketPtr connection) { startCallThread(std::move(connection)); }

}  // namespace orvalis::phone
