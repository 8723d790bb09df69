#include "net/call_thread.h"

#include <arpa/inet.h>

#include "net/packet_io.h"
#include "net/privacy/private_call.h"
#include "net/socks5.h"

namespace orvalis::net {

namespace {

constexpr std::int32_t stayShown = 0;
constexpr std::int32_t oneSecond = 20;  // ticks

bool pushToTalk(std::int32_t mode) { return (mode & callModePushToTalk) != 0; }

// Moves the floor to pending and sends code, when the floor is at from in
// an established push-to-talk call.
void floorKey(CallState& call, CallFields& fields, Floor from, std::int16_t code) {
  if (fields.floor.load() != from || call.stateClient.load() != ClientState::clientTalk ||
      !pushToTalk(fields.callMode.load())) {
    return;
  }
  fields.floor = Floor::pending;
  CPacket message;
  buildPacket(message, code, 0);
  // The user-interface thread sends: it never waits long behind a stalled
  // peer, and a send that failed closes the socket, which ends the call.
  if (const SocketPtr socket = call.sockClient.get()) {
    sendPacketBy(*socket, message, Socket::Clock::now() + userSendWait);
  }
}

}  // namespace

void requestFloor(CallState& call, CallFields& fields) {
  floorKey(call, fields, Floor::listening, peerFloorRequest);
}

void offerFloor(CallState& call, CallFields& fields) {
  floorKey(call, fields, Floor::talking, peerFloorOffer);
}

CClient::CClient(CallHost& host, CallGeneration generation, SocketPtr incoming,
                 std::chrono::milliseconds connectWait, std::optional<PublicKey> calleeKey)
    : host_(host),
      call_(host.calls()),
      fields_(host.callFields()),
      generation_(generation),
      incoming_(incoming != nullptr),
      own_(std::move(incoming)),
      connectWait_(connectWait),
      calleeKey_(calleeKey),
      thread_([this] { run(); }) {}

CClient::~CClient() {
  if (thread_.joinable()) thread_.join();
}

bool CClient::current() const { return isCurrentCall(call_, generation_); }

void CClient::run() {
  if (current()) {
    host_.stopTest();
    fields_.floor = Floor::listening;
  }
  if (own_) {
    own_->enableLiveness();
    own_->enableVoiceClass();
  }
  // A thread of an outgoing call reports how the attempt ended even when
  // the user hung up before it got to run.
  const bool ok = incoming_ ? answerIncoming() : placeCall();
  if (current()) host_.stopVoice();
  if (ok) callLoop();
  call_.voiceSender.resetIf(voice_);  // the capture thread sends no more
  endCall();
  stopVoiceSender();
  finished_ = true;
}

void CClient::agreeMode(const CPacket& accept) {
  fields_.callMode = host_.settings().msa.get() | readInt32(accept.payload, 0);
}

bool CClient::answerIncoming() {
  host_.postCallText(CallText::inputCall, stayShown, CallMelody::callIn);
  CPacket message;
  // The own user answers with the dial key, which sends our peerAccept; the
  // caller replies with its own.
  if (own_ && recvPacket(*own_, message) == peerAccept) {
    agreeMode(message);
    return true;
  }
  host_.postCallText(CallText::userDisconnected, oneSecond, CallMelody::info);
  return false;
}

bool CClient::connectPeer() {
  if (!current()) return false;
  own_ = Socket::createTcp();
  if (!own_) {
    net::endCall(call_, generation_, nullptr);
    return false;
  }
  own_->enableLiveness();
  own_->enableVoiceClass();
  // The deadline covers the connect and a proxy's whole dialogue.
  own_->setDeadline(Socket::Clock::now() + connectWait_);
  const store::CnfData& cnf = host_.settings();
  const PeerAddress peer = call_.clientAddr.load();
  // Published before connecting, so that a hang-up finds it and aborts the
  // connect; a call hung up already gets nothing of it.
  if (!publishSocket(call_, generation_, own_)) {
    own_->close();
    return false;
  }
  const bool connected = cnf.useSocks5CallOut.get() == 1
                             ? socks5Connect(*own_, cnf, peer.address, ntohs(peer.port)) == 0
                             : own_->connect(peer.address, ntohs(peer.port));
  own_->clearDeadline();
  // A connect that timed out may still be under way: a send on it would wait.
  if (!connected) own_->close();
  return connected && current();
}

bool CClient::placeCall() {
  if (!connectPeer()) {
    host_.postCallText(CallText::userInaccessable, oneSecond, CallMelody::info);
    return false;
  }
  if (calleeKey_ && !openPrivately()) {
    host_.postCallText(CallText::privateFailed, oneSecond, CallMelody::info);
    return false;
  }
  host_.postCallText(CallText::outputCall, stayShown, CallMelody::callOut);
  CPacket message;
  bool asked = calleeKey_.has_value();  // the private call asked already
  if (!asked) {
    std::array<std::uint8_t, 8> numbers{};
    writeInt32(numbers, 0, fields_.number.load());
    writeInt32(numbers, 4, host_.settings().userNumber.get());
    buildPacket(message, peerCall, static_cast<std::int16_t>(numbers.size()), numbers);
    asked = sendPacket(*own_, message) != 0;
  }
  if (asked && recvPacket(*own_, message) == peerAccept) {
    agreeMode(message);
    std::array<std::uint8_t, 4> mode{};
    writeInt32(mode, 0, host_.settings().msa.get());
    buildPacket(message, peerAccept, static_cast<std::int16_t>(mode.size()), mode);
    if (sendPacket(*own_, message) != 0) return true;
  }
  host_.postCallText(CallText::userDisconnected, oneSecond, CallMelody::info);
  return false;
}

bool CClient::openPrivately() {
  const KeyPair* own = host_.ownKeys();
  if (own == nullptr) return false;
  // The callee answers the handshake at once, before it rings.
  own_->setDeadline(Socket::Clock::now() + connectWait_);
  const bool sealed = openPrivateCall(*own_, *own, *calleeKey_, fields_.number.load(),
                                      host_.settings().userNumber.get());
  own_->clearDeadline();
  if (!sealed) return false;
  if (current()) {
    // The callee proved the key its server gave for the number dialled.
    fields_.privateCall = true;
    fields_.callerVerified = true;
  }
  return current();
}

void CClient::callLoop() {
  // Ready before the call is up, so that voice has a way out at once.
  voice_ = std::make_shared<VoiceSender>(own_);
  // A hang-up since the handshake has already given the state back.
  const std::optional<ClientState> previous = moveToTalk(call_, generation_, voice_);
  if (!previous) {
    host_.postCallText(CallText::userDisconnected, oneSecond, CallMelody::info);
    return;
  }
  fields_.floor = Floor::listening;
  fields_.voiceActive = 0;
  fields_.spurtStarted = false;
  host_.postCallText(CallText::userOnline, stayShown, CallMelody::info);
  const std::int32_t mode = fields_.callMode.load();
  if (!pushToTalk(mode)) host_.switchToCapture();
  call_.stateLabel[labelPtt] = pushToTalk(mode) ? 1 : 0;
  host_.stopMelody();
  if (*previous == ClientState::clientOutgoing) host_.requestFloor();

  CPacket message;
  while (recvPacket(*own_, message) != 0 && handle(message)) {
  }
  host_.postCallText(CallText::userDisconnected, oneSecond, CallMelody::info);
}

bool CClient::handle(const CPacket& message) {
  switch (message.code) {
    case peerAccept:
      return true;
    case peerVoiceFirst:
      host_.markSpurt();
      [[fallthrough]];
    case peerVoice: {
      const std::size_t frames = message.payloadSize() / gsmFrameSize;
      for (std::size_t i = 0; i < frames; ++i) {
        host_.putFrame(std::span<const std::uint8_t, gsmFrameSize>(
            message.payload.data() + i * gsmFrameSize, gsmFrameSize));
      }
      return true;
    }
    case peerFloorRequest:
      if (fields_.floor.load() == Floor::pending) {
        send(peerFloorRefuse);
      } else {
        if (fields_.floor.load() == Floor::talking) host_.switchToPlayback();
        fields_.floor = Floor::listening;
        send(peerFloorGrant);
      }
      return true;
    case peerFloorGrant:
      fields_.spurtStarted = false;
      host_.switchToCapture();
      fields_.floor = Floor::talking;
      return true;
    case peerFloorRefuse:
      fields_.floor = Floor::listening;
      return true;
    case peerFloorOffer:
      if (fields_.floor.load() == Floor::pending) {
        send(peerFloorKeep);
      } else {
        if (fields_.floor.load() == Floor::listening) {
          fields_.spurtStarted = false;
          host_.switchToCapture();
        }
        fields_.floor = Floor::talking;
        send(peerFloorTake);
      }
      return true;
    case peerFloorTake:
      host_.switchToPlayback();
      fields_.floor = Floor::listening;
      return true;
    case peerFloorKeep:
      fields_.floor = Floor::talking;
      return true;
    default:  // peerHangUp and anything unexpected
      return false;
  }
}

void CClient::send(std::int16_t code) {
  CPacket message;
  buildPacket(message, code, 0);
  sendPacket(*own_, message);
}

void CClient::endCall() {
  // Said to the peer only while the call is ours; fails silently on a
  // broken connection.
  if (own_ && current() && call_.sockClient.get() == own_) send(peerHangUp);
  // What the call left behind is reset unless a newer call has begun, whose
  // own thread sets it afresh.
  net::endCall(call_, generation_, own_, [this] {
    call_.stateLabel[labelPtt] = 0;
    fields_.floor = Floor::listening;
    fields_.callMode = 0;
    fields_.privateCall = false;
    fields_.callerVerified = false;
    fields_.callerUnverified = false;
    host_.restartPlayback();
  });
  if (own_) own_->close();
}

void CClient::stopVoiceSender() {
  // The socket is closed by now, which cuts short a send that waits.
  if (voice_) voice_->stop();
  voice_.reset();
}

}  // namespace orvalis::net
