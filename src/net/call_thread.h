#pragma once
// CClient: the thread that owns one call from set-up to hang-up. It
// performs the handshake, then receives everything the other phone sends:
// voice goes to the playback queue, floor messages are answered. Voice is
// sent by the capture path, not here.
//
// A call thread acts only on the connection it owns, and changes the call
// state only through the call owner, for its own generation: once the user
// has hung up, the state may already belong to the next call, which the
// tail of this one must not touch.

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <thread>

#include "net/call_host.h"
#include "net/call_owner.h"
#include "net/packet.h"
#include "net/voice_sender.h"

namespace orvalis::net {

// How long an outgoing call may take to reach the callee, a proxy's
// dialogue included, before it counts as inaccessible.
inline constexpr std::chrono::milliseconds callConnectWait{10'000};
// How long a send from the user-interface thread may wait behind a stalled
// peer before it counts as failed, which ends the call.
inline constexpr std::chrono::milliseconds userSendWait{2'000};

// The two push-to-talk keys, on the call in the state: ask for the floor
// while listening, offer it while talking; each only in an established
// push-to-talk call, and each marks its message as under way.
void requestFloor(CallState& call, CallFields& fields);
void offerFloor(CallState& call, CallFields& fields);

class CClient {
 public:
  // Starts at once, for the call of generation: an incoming one (taken on
  // its accepted connection, which is in sockClient), or an outgoing one
  // (begun with the callee's address) with none. An outgoing call gives up
  // reaching the callee after connectWait.
  // With the callee's key (as its server vouched for it), an outgoing call
  // is private or fails: never plain.
  CClient(CallHost& host, CallGeneration generation, SocketPtr incoming = nullptr,
          std::chrono::milliseconds connectWait = callConnectWait,
          std::optional<PublicKey> calleeKey = std::nullopt);
  // Waits for the thread; the call must have been ended (its socket closed).
  ~CClient();
  CClient(const CClient&) = delete;
  CClient& operator=(const CClient&) = delete;

  // The thread has done everything: joining it does not wait.
  bool finished() const { return finished_.load(); }

 private:
  void run();
  bool answerIncoming();
  bool placeCall();
  bool connectPeer();
  // The private call's handshake on the connected socket.
  bool openPrivately();
  // This thread's call is still the one up.
  bool current() const;
  void callLoop();
  // Answers one message of the established call; false ends the call.
  bool handle(const CPacket& message);
  void endCall();
  void stopVoiceSender();
  void send(std::int16_t code);
  // callMode from the own msa and the flags of the peer's peerAccept.
  void agreeMode(const CPacket& accept);

  CallHost& host_;
  CallState& call_;
  CallFields& fields_;
  const CallGeneration generation_;
  const bool incoming_;
  SocketPtr own_;
  std::chrono::milliseconds connectWait_;
  const std::optional<PublicKey> calleeKey_;
  std::shared_ptr<VoiceSender> voice_;
  std::atomic<bool> finished_{false};
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
