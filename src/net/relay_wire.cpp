#include "net/relay_wire.h"

#include <algorithm>
#include <cstring>

#include "net/message_codes.h"

namespace orvalis::net {

namespace {

void putEndpoint(std::span<std::uint8_t> out, std::size_t offset, const RelayEndpoint& e) {
  std::memcpy(out.data() + offset, &e.address, 4);
  writeUint16(out, offset + 4, e.port);
}

RelayEndpoint endpointAt(std::span<const std::uint8_t> in, std::size_t offset) {
  RelayEndpoint e;
  std::memcpy(&e.address, in.data() + offset, 4);
  e.port = readUint16(in, offset + 4);
  return e;
}

}  // namespace

void buildRelayHello(CPacket& out, std::int32_t number, const Ticket& ticket) {
  std::array<std::uint8_t, relayHelloSize> p{};
  writeInt32(p, 0, number);
  std::copy(ticket.begin(), ticket.end(), p.begin() + 4);
  buildPacket(out, relayHello, static_cast<std::int16_t>(p.size()), p);
}

std::optional<RelayHelloBody> parseRelayHello(const CPacket& in) {
  if (in.code != relayHello || in.payloadSize() < relayHelloSize) return std::nullopt;
  RelayHelloBody body;
  body.number = readInt32(in.body(), 0);
  std::copy_n(in.payload.begin() + 4, body.ticket.size(), body.ticket.begin());
  return body;
}

void buildRelayWelcome(CPacket& out, const RelayEndpoint& callersUse) {
  std::array<std::uint8_t, relayWelcomeSize> p{};
  putEndpoint(p, 0, callersUse);
  buildPacket(out, relayWelcome, static_cast<std::int16_t>(p.size()), p);
}

std::optional<RelayEndpoint> parseRelayWelcome(const CPacket& in) {
  if (in.code != relayWelcome || in.payloadSize() < relayWelcomeSize) return std::nullopt;
  return endpointAt(in.body(), 0);
}

void buildRelayRefused(CPacket& out, RelayRefusal reason) {
  const std::array<std::uint8_t, 1> p{static_cast<std::uint8_t>(reason)};
  buildPacket(out, relayRefused, 1, p);
}

void buildRelayToken(CPacket& out, std::int16_t code, const RelayToken& token) {
  buildPacket(out, code, static_cast<std::int16_t>(token.size()), token);
}

std::optional<RelayToken> parseRelayToken(const CPacket& in, std::int16_t code) {
  if (in.code != code || in.payloadSize() < relayTokenSize) return std::nullopt;
  RelayToken token{};
  std::copy_n(in.payload.begin(), token.size(), token.begin());
  return token;
}

std::array<std::uint8_t, relayOfferSize> loggedInWithRelay(const Ticket& ticket,
                                                           const RelayEndpoint& relay) {
  std::array<std::uint8_t, relayOfferSize> p{};
  std::copy(ticket.begin(), ticket.end(), p.begin());
  putEndpoint(p, ticket.size(), relay);
  p[14] = relayOfferVersion;
  return p;
}

std::optional<RelayEndpoint> parseRelayOffer(const CPacket& loggedIn) {
  if (loggedIn.code != ansLoggedIn || loggedIn.payloadSize() < relayOfferSize) return std::nullopt;
  if (loggedIn.payload[14] != relayOfferVersion) return std::nullopt;
  const RelayEndpoint e = endpointAt(loggedIn.body(), 8);
  if (e.address == 0 || e.port == 0) return std::nullopt;
  return e;
}

}  // namespace orvalis::net
