#pragma once
// The call relay's own messages. A phone that cannot be reached otherwise
// keeps a control connection to its server's call relay; callers connect
// to the relay and speak the ordinary peer protocol, and the relay asks the
// callee, over the control connection, to open a data connection for each
// call, then passes the bytes of the two connections through unchanged.
// Every message is a CPacket; the codes are far from those of the peer and
// server protocols, and only relays and phones that know them see them.
//
// On a control connection (phone to relay first):
//   relayHello   phone -> relay  [0..3] number; [4..11] login ticket
//   relayWelcome relay -> phone  [0..3] address callers use (network order);
//                                [4..5] port (little-endian)
//   relayRefused relay -> phone  [0] reason (RelayRefusal); the relay closes
//   relayOpen    relay -> phone  [0..15] token of a waiting caller
// On a data connection, its first message:
//   relayData    phone -> relay  [0..15] the token of relayOpen
// after which the relay sends the caller's bytes, from its peerCall on.
//
// A login answer of a server with a call relay offers it: ansLoggedIn
// carries, after the 8-byte ticket, [8..11] the relay's address (network
// order), [12..13] its port (little-endian), [14] relayOfferVersion, [15] 0.

#include <array>
#include <cstdint>
#include <optional>

#include "net/packet.h"
#include "net/requests.h"

namespace orvalis::net {

inline constexpr std::int16_t relayHello = 101;
inline constexpr std::int16_t relayWelcome = 102;
inline constexpr std::int16_t relayRefused = 103;
inline constexpr std::int16_t relayOpen = 104;
inline constexpr std::int16_t relayData = 105;

inline constexpr std::size_t relayTokenSize = 16;
using RelayToken = std::array<std::uint8_t, relayTokenSize>;

enum class RelayRefusal : std::uint8_t { ticket = 1, full = 2 };

inline constexpr std::size_t relayHelloSize = 12;
inline constexpr std::size_t relayWelcomeSize = 6;
inline constexpr std::size_t relayOfferSize = 16;  // the whole ansLoggedIn payload
inline constexpr std::uint8_t relayOfferVersion = 1;

// An address and port (network order, host order) of the relay.
struct RelayEndpoint {
  std::uint32_t address = 0;
  std::uint16_t port = 0;
  bool operator==(const RelayEndpoint&) const = default;
};

struct RelayHelloBody {
  std::int32_t number = 0;
  Ticket ticket{};
};

void buildRelayHello(CPacket& out, std::int32_t number, const Ticket& ticket);
std::optional<RelayHelloBody> parseRelayHello(const CPacket& in);

void buildRelayWelcome(CPacket& out, const RelayEndpoint& callersUse);
std::optional<RelayEndpoint> parseRelayWelcome(const CPacket& in);

void buildRelayRefused(CPacket& out, RelayRefusal reason);

// relayOpen and relayData carry only the token.
void buildRelayToken(CPacket& out, std::int16_t code, const RelayToken& token);
std::optional<RelayToken> parseRelayToken(const CPacket& in, std::int16_t code);

// The login answer's payload with the relay offered after the ticket.
std::array<std::uint8_t, relayOfferSize> loggedInWithRelay(const Ticket& ticket,
                                                           const RelayEndpoint& relay);
// The relay a login answer offers; nothing for an answer without one (a
// server without a call relay, or one that knows nothing of it).
std::optional<RelayEndpoint> parseRelayOffer(const CPacket& loggedIn);

}  // namespace orvalis::net
