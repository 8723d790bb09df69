#include "net/call_owner.h"

#include <mutex>

namespace orvalis::net {

namespace {

// callLock held.
bool current(const CallState& call, CallGeneration generation) {
  return call.generation.load() == generation &&
         call.stateClient.load() != ClientState::clientIdle;
}

}  // namespace

void resetBindState(CallState& call) {
  call.stateBind = BindState::bindStopped;
  call.sockBind.set(nullptr);
  call.refreshLocalPort = false;
}

void resetNetState(CallState& call) {
  call.stateClient = ClientState::clientIdle;
  call.sockClient.set(nullptr);
  resetBindState(call);
}

// The state is given back before the sockets are closed: a call thread
// woken by the close sees its call ended and leaves the sound alone.
void stopNetwork(CallState& call) {
  std::lock_guard guard(call.callLock);
  const SocketPtr client = call.sockClient.exchange(nullptr);
  const SocketPtr bind = call.sockBind.exchange(nullptr);
  resetNetState(call);
  if (client) client->close();
  if (bind) bind->close();
}

void hangUpCall(CallState& call) {
  std::lock_guard guard(call.callLock);
  const SocketPtr client = call.sockClient.exchange(nullptr);
  call.stateClient = ClientState::clientIdle;
  if (client) client->close();
}

bool isCurrentCall(const CallState& call, CallGeneration generation) {
  return current(call, generation);
}

bool noNewerCall(const CallState& call, CallGeneration generation) {
  return call.generation.load() == generation;
}

std::optional<CallGeneration> beginOutgoing(CallState& call, PeerAddress callee) {
  std::lock_guard guard(call.callLock);
  if (call.stateClient.load() != ClientState::clientIdle) return std::nullopt;
  // A socket left by a call that ended is closed: nothing of it reaches
  // the new one.
  call.sockClient.closeAndReset();
  call.clientAddr = callee;
  call.stateClient = ClientState::clientOutgoing;
  return ++call.generation;
}

TakenCall takeIncoming(CallState& call, const SocketPtr& connection,
                       const std::function<bool()>& admit) {
  std::lock_guard guard(call.callLock);
  if (call.stateClient.load() != ClientState::clientIdle) return {IncomingTake::busy, 0};
  if (admit && !admit()) return {};
  call.sockClient.closeAndReset();
  call.sockClient.set(connection);
  call.stateClient = ClientState::clientIncoming;
  return {IncomingTake::taken, ++call.generation};
}

bool publishSocket(CallState& call, CallGeneration generation, const SocketPtr& socket) {
  std::lock_guard guard(call.callLock);
  if (!current(call, generation) || call.stateClient.load() != ClientState::clientOutgoing) {
    return false;
  }
  call.sockClient.set(socket);
  return true;
}

std::optional<ClientState> moveToTalk(CallState& call, CallGeneration generation,
                                      const std::shared_ptr<VoiceSender>& sender) {
  std::lock_guard guard(call.callLock);
  const ClientState previous = call.stateClient.load();
  if (!current(call, generation) ||
      (previous != ClientState::clientIncoming && previous != ClientState::clientOutgoing)) {
    return std::nullopt;
  }
  call.stateClient = ClientState::clientTalk;
  call.voiceSender.set(sender);
  return previous;
}

bool endCall(CallState& call, CallGeneration generation, const SocketPtr& own,
             const std::function<void()>& settle) {
  std::lock_guard guard(call.callLock);
  const bool wasCurrent = current(call, generation);
  if (wasCurrent) {
    if (own) call.sockClient.closeAndResetIf(own);
    call.stateClient = ClientState::clientIdle;
  }
  if (settle && noNewerCall(call, generation)) settle();
  return wasCurrent;
}

}  // namespace orvalis::net
