#pragma once
// Message codes of the wire protocol. The same values mean different things
// on a server connection and on a call connection.

#include <cstdint>

namespace orvalis::net {

// Server requests (phone to server). Each also names its transaction slot.
inline constexpr std::int16_t reqRegister = 1;
inline constexpr std::int16_t reqDeleteUser = 2;
inline constexpr std::int16_t reqLogin = 3;
inline constexpr std::int16_t reqLogout = 4;
inline constexpr std::int16_t reqChangePasswd = 5;
inline constexpr std::int16_t reqFindUser = 6;
inline constexpr std::int16_t reqTestServer = 15;

// Server answers (server to phone).
inline constexpr std::int16_t ansFailed = 8;
inline constexpr std::int16_t ansDone = 9;
inline constexpr std::int16_t ansUserOffline = 10;
inline constexpr std::int16_t ansNumberDuplicate = 11;
inline constexpr std::int16_t ansUserInvalid = 12;
inline constexpr std::int16_t ansUserFound = 13;
inline constexpr std::int16_t ansLoggedIn = 14;

// Server extensions, spoken only inside TLS: a phone that knows only the
// plain protocol never sends nor receives them, and over a plain
// connection the server answers them as any unknown code.
inline constexpr std::int16_t reqUserKey = 120;  // [0..7] ticket; [8..11] number
inline constexpr std::int16_t ansUserKey = 121;  // [0..3] number; [4..35] its public key

// Peer messages (call connection).
inline constexpr std::int16_t peerCall = 1;
inline constexpr std::int16_t peerHangUp = 2;
inline constexpr std::int16_t peerAccept = 3;
inline constexpr std::int16_t peerBusy = 4;
inline constexpr std::int16_t peerVoiceFirst = 7;
inline constexpr std::int16_t peerVoice = 8;
inline constexpr std::int16_t peerFloorRequest = 9;
inline constexpr std::int16_t peerFloorGrant = 10;
inline constexpr std::int16_t peerFloorRefuse = 11;
inline constexpr std::int16_t peerFloorOffer = 12;
inline constexpr std::int16_t peerFloorTake = 13;
inline constexpr std::int16_t peerFloorKeep = 14;

// Call mode flags carried by peerAccept (the sender's msa setting).
inline constexpr std::int32_t callModePushToTalk = 1;
inline constexpr std::int32_t callModeDetector = 2;

// Payload sizes of the fixed messages.
inline constexpr std::int16_t ticketSize = 8;
inline constexpr std::int16_t gsmFrameSize = 33;

}  // namespace orvalis::net
