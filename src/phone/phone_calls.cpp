// The controller's call commands, and what the call thread and the listener
// ask of it as their CallHost.

#include <arpa/inet.h>

#include <algorithm>
#include <iterator>

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

int CPhone::startCall(std::uint32_t address, std::uint16_t port,
                      std::optional<net::PublicKey> calleeKey) {
  // One step, so that an incoming call cannot take the state at the same
  // moment.
  const auto generation = net::beginOutgoing(callState, net::PeerAddress{address, htons(port), 0});
  if (!generation) return 0;
  findState = FindState::idle;
  privateCall = false;
  callerVerified = false;
  callerUnverified = false;
  startCallThread(*generation, nullptr, calleeKey);
  return 1;
}

void CPhone::startCallThread(net::CallGeneration generation, net::SocketPtr incoming,
                             std::optional<net::PublicKey> calleeKey) {
  {
    std::lock_guard guard(clientLock_);
    clients_.push_back(std::make_unique<net::CClient>(static_cast<net::CallHost&>(*this),
                                                      generation, std::move(incoming),
                                                      net::callConnectWait, calleeKey));
  }
  reapCallThreads();
}

void CPhone::reapCallThreads(bool everything) {
  std::vector<std::unique_ptr<net::CClient>> done;
  {
    std::lock_guard guard(clientLock_);
    const auto reaped = std::stable_partition(
        clients_.begin(), clients_.end(),
        [everything](const auto& thread) { return !everything && !thread->finished(); });
    std::move(reaped, clients_.end(), std::back_inserter(done));
    clients_.erase(reaped, clients_.end());
  }
  done.clear();  // joined here, with no lock held
}

std::size_t CPhone::callThreads() {
  std::lock_guard guard(clientLock_);
  return clients_.size();
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
  if (id == net::CallText::privateFailed) {
    postState(std::string(privateCallFailedText), ticks, static_cast<MelodyKind>(melody));
    return;
  }
  PhoneText shown = PhoneText::txtUserDisconnected;
  switch (id) {
    case net::CallText::inputCall: shown = PhoneText::txtInputCall; break;
    case net::CallText::outputCall: shown = PhoneText::txtOutputCall; break;
    case net::CallText::userOnline: shown = PhoneText::txtUserOnline; break;
    case net::CallText::userDisconnected: shown = PhoneText::txtUserDisconnected; break;
    case net::CallText::userInaccessable: shown = PhoneText::txtUserInaccessable; break;
    case net::CallText::privateFailed: break;
  }
  postState(text(shown), ticks, static_cast<MelodyKind>(melody));
}

std::int32_t CPhone::typeOf(std::int32_t num) { return addrBook.typeOf(num); }

void CPhone::setListeningPort(std::uint16_t port) {
  cnf.userPort = port;
  cnfEdit.userPort = port;
}

void CPhone::startIncomingCall(net::SocketPtr connection, net::CallGeneration generation) {
  startCallThread(generation, std::move(connection));
}

}  // namespace orvalis::phone
