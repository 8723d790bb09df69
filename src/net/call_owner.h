#pragma once
// The one owner of the call state. Every change of stateClient and
// sockClient is made here, under callLock, and only for the current call:
// a call is known by the generation it took when it was created (a dial,
// or an incoming call taken), and a thread of an older generation changes
// nothing and closes only its own socket.

#include <cstdint>
#include <functional>
#include <optional>

#include "net/call_state.h"
#include "net/socket.h"

namespace orvalis::net {

// Call state idle, no call socket, listener stopped, no port to refresh.
void resetNetState(CallState& call);
// The listener's part of resetNetState only: a listener that starts leaves
// a call placed meanwhile alone.
void resetBindState(CallState& call);
// Closes the call and listening sockets, then resetNetState. The listener
// thread ends with it, and no call is taken after it.
void stopNetwork(CallState& call);
// Hangs up the current call: its socket is closed and the state given
// back, in one step; its thread, now of an older generation, changes
// nothing more.
void hangUpCall(CallState& call);

// The call of generation is the one up now.
bool isCurrentCall(const CallState& call, CallGeneration generation);

// A dial: idle to 7 with the callee's address; the new call's generation,
// or none when a call is up.
std::optional<CallGeneration> beginOutgoing(CallState& call, PeerAddress callee);

enum class IncomingTake { taken, refused, busy };
struct TakenCall {
  IncomingTake outcome = IncomingTake::refused;
  CallGeneration generation = 0;
};
// A caller on connection: busy while a call is up; otherwise admit runs
// under the lock (the listener refuses a caller once it is no longer the
// phone's, and a black-listed one) and on true the call rings (state 6) on
// connection.
TakenCall takeIncoming(CallState& call, const SocketPtr& connection,
                       const std::function<bool()>& admit = {});

// An outgoing call's thread publishes the socket it connects on, so that a
// hang-up closes it; false when the call is no longer current (the thread
// then closes it itself).
bool publishSocket(CallState& call, CallGeneration generation, const SocketPtr& socket);

// The handshake is done: 6 or 7 to 8, and voice goes out by sender. The
// state it came from, or none when the call is no longer current.
std::optional<ClientState> moveToTalk(CallState& call, CallGeneration generation,
                                      const std::shared_ptr<VoiceSender>& sender);

// The end of a call, by its own thread: while it is current its socket is
// taken out and the state given back. Whether or not, afterwards, unless a
// newer call was created, settle runs under the lock: it resets what the
// call left in the fields a newer call would set afresh. True when the
// call was current.
bool endCall(CallState& call, CallGeneration generation, const SocketPtr& own,
             const std::function<void()>& settle = {});

// No call was created after the one of generation.
bool noNewerCall(const CallState& call, CallGeneration generation);

}  // namespace orvalis::net
