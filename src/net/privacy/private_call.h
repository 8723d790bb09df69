#pragma once
// The handshake of a private call on its connection, each side's half, and
// the seal put on the connection once it holds. Both halves give up on
// whatever fails: a private call never goes on in plain.

#include <cstdint>
#include <optional>

#include "net/packet.h"
#include "net/privacy/call_handshake.h"
#include "net/socket.h"

namespace orvalis::net {

inline constexpr std::size_t privateCallSize = 8 + helloSize;

// The caller's half, on a connected socket: true when the callee proved the
// key its number has and the socket is sealed.
bool openPrivateCall(Socket& socket, const KeyPair& own, const PublicKey& callee,
                     std::int32_t calleeNumber, std::int32_t callerNumber);

// The callee's half, given the caller's peerPrivateCall: the long-term key
// the caller proved it holds, once the socket is sealed; nullopt when the
// handshake failed. ownNumber is bound in, whatever number was dialled.
std::optional<PublicKey> answerPrivateCall(Socket& socket, const KeyPair& own,
                                           std::int32_t ownNumber, const CPacket& privateCall);

}  // namespace orvalis::net
