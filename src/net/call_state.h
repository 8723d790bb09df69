#pragma once
// The call state that the controller shares with the listener and the call
// thread.

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>

#include "net/socket.h"
#include "net/voice_sender.h"

namespace orvalis::net {

enum class ClientState : std::int32_t {
  clientIdle = 5,      // no call
  clientIncoming = 6,  // a call request was accepted and rings
  clientOutgoing = 7,  // an outgoing call is being set up
  clientTalk = 8,      // call established
};

enum class BindState : std::int32_t {
  bindStopped = 2,    // no listener
  bindListening = 3,
};

// Indices of stateLabel.
inline constexpr std::size_t labelPtt = 0;   // 1 while a push-to-talk call is up
inline constexpr std::size_t labelMute = 2;  // 1: no voice is sent

// The push-to-talk floor of this side.
enum class Floor : std::int32_t { listening = 0, pending = 1, talking = 2 };

// Fields of the controller that the call thread and the listener write.
struct CallFields {
  std::atomic<std::int32_t> number{0};      // number to show, dialled or calling
  std::atomic<std::int32_t> numberType{0};  // its address-book group
  std::atomic<bool> numberChanged{false};
  std::atomic<Floor> floor{Floor::listening};
  std::atomic<std::int32_t> voiceActive{0};
  std::atomic<std::int32_t> callMode{0};  // callModePushToTalk | callModeDetector
  std::atomic<bool> spurtStarted{false};
  // Private calls. privateCall: this call is sealed end to end.
  // callerVerified: the other side proved the number shown (the callee's
  // key as the server vouched for it; the caller's once its server has
  // confirmed the key it proved). callerUnverified: a plain call claims a
  // number whose owner has a key.
  std::atomic<bool> privateCall{false};
  std::atomic<bool> callerVerified{false};
  std::atomic<bool> callerUnverified{false};
};

// Address and port (both network order) of the callee of an outgoing call.
struct PeerAddress {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  std::uint16_t unused = 0;  // keeps the value free of padding bytes
};

// Identifies one call, from its dial or its being taken to its end.
using CallGeneration = std::uint64_t;

struct CallState {
  std::atomic<ClientState> stateClient{ClientState::clientIdle};
  SharedSocket sockClient;
  // Sends the voice of the call in sockClient while it is established.
  SharedVoiceSender voiceSender;
  std::atomic<PeerAddress> clientAddr{};
  std::atomic<BindState> stateBind{BindState::bindStopped};
  SharedSocket sockBind;
  // Every change of stateClient and sockClient runs whole under it (see
  // call_owner.h): none of them sees another half done.
  std::mutex callLock;
  // The generation of the latest call created; a call is current while it
  // holds the latest one and the state is not idle.
  std::atomic<CallGeneration> generation{0};
  std::atomic<bool> refreshLocalPort{false};
  std::array<std::atomic<std::int32_t>, 3> stateLabel{};
  std::array<std::atomic<std::int32_t>, 3> stateLabelOld{};
};

}  // namespace orvalis::net
