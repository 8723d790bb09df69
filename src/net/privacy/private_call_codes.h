#pragma once
// The call messages of private calls. A phone sends them only to a peer
// whose public key its server vouched for, so a phone that knows only the
// plain call messages never receives one.
//
//   peerPrivateCall   caller -> callee   [0..3] callee's number, [4..7]
//                                        caller's number, then the hello
//   peerPrivateReply  callee -> caller   the handshake's reply
//   peerPrivateProof  caller -> callee   the caller's proof
//   peerSealed        both ways          every later message, sealed whole

#include <cstdint>

namespace orvalis::net {

inline constexpr std::int16_t peerPrivateCall = 120;
inline constexpr std::int16_t peerPrivateReply = 121;
inline constexpr std::int16_t peerPrivateProof = 122;
inline constexpr std::int16_t peerSealed = 123;

}  // namespace orvalis::net
