#include "server/request_handler.h"

#include <sodium.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "net/address.h"
#include "net/message_codes.h"
#include "net/relay_wire.h"
#include "net/requests.h"

namespace orvalis::server {

namespace {

using net::CPacket;

CPacket answer(std::int16_t code, std::span<const std::uint8_t> payload = {}) {
  CPacket p;
  net::buildPacket(p, code, static_cast<std::int16_t>(payload.size()), payload);
  return p;
}

Outcome reply(std::int16_t code, std::int32_t number = 0) { return {answer(code), number, 0}; }

// The password at offset: a length byte, then the bytes of a 19-byte
// field; nullopt when the length does not fit the field.
std::optional<std::string> passwordAt(std::span<const std::uint8_t> body, std::size_t offset) {
  const std::size_t length = body[offset];
  if (length > net::passwdFieldSize) return std::nullopt;
  const auto* first = reinterpret_cast<const char*>(body.data() + offset + 1);
  return std::string(first, length);
}

net::Ticket ticketOf(std::span<const std::uint8_t> body) {
  net::Ticket t{};
  std::copy_n(body.begin(), t.size(), t.begin());
  return t;
}

}  // namespace

std::uint32_t reachableAddress(std::uint32_t announced, std::uint32_t source) {
  // A phone that does not know its own address is reached where it came
  // from. A loopback address serves only callers on the phone's own
  // machine; from another machine, the source is what callers can use.
  if (announced == 0) return source;
  if (net::isLoopback(announced) && source != 0 && !net::isLoopback(source)) return source;
  return announced;
}

namespace {

// Clear passwords do not outlive the request.
void wipe(std::string& secret) { sodium_memzero(secret.data(), secret.size()); }

}  // namespace

Route RequestHandler::route(std::int16_t code) const {
  switch (code) {
    case net::reqRegister:
    case net::reqLogin:
    case net::reqChangePasswd:
      return Route::hash;
    case net::reqFindUser:
    case net::reqUserKey:
      return store_.readsQuickly() ? Route::now : Route::quick;
    case net::reqLogout:
    case net::reqDeleteUser:
      return Route::quick;
    default:  // the test request, and codes refused without a look
      return Route::now;
  }
}

Outcome RequestHandler::handle(const CPacket& request, const Peer& peer) {
  const auto body = request.body();
  auto needs = [&](std::size_t n) { return body.size() >= n; };
  switch (request.code) {
    case net::reqRegister:
      return needs(net::registerSize) ? registerUser(request) : Outcome{};
    case net::reqLogin:
      return needs(net::loginSize) ? login(request, peer) : Outcome{};
    case net::reqChangePasswd:
      return needs(net::changePasswdSize) ? changePassword(request) : Outcome{};
    case net::reqFindUser:
      return needs(net::findUserSize) ? findUser(request, peer) : Outcome{};
    case net::reqUserKey:
      // A plain connection knows no such request.
      if (!peer.tls) return reply(net::ansFailed);
      return needs(net::findUserSize) ? userKey(request) : Outcome{};
    case net::reqLogout: {
      if (!needs(net::ticketSize)) return {};
      const auto closed = store_.closeSession(ticketOf(body));
      return reply(closed.status == StoreStatus::ok ? net::ansDone : net::ansFailed, closed.value);
    }
    case net::reqDeleteUser: {
      if (!needs(net::ticketSize)) return {};
      const auto deleted = store_.deleteUserByTicket(ticketOf(body));
      return reply(deleted.status == StoreStatus::ok ? net::ansDone : net::ansFailed,
                   deleted.value);
    }
    case net::reqTestServer:
      return reply(net::ansDone);
    default:
      return reply(net::ansFailed);
  }
}

Outcome RequestHandler::registerUser(const CPacket& request) {
  const auto body = request.body();
  const std::int32_t number = net::readInt32(body, 0);
  auto password = passwordAt(body, 4);
  if (!password) return {};
  if (closed_ || !validNumber(number) || password->empty()) return reply(net::ansFailed, number);
  // A taken number is refused before paying for a hash.
  const auto existing = store_.passwordHash(number);
  if (existing.status == StoreStatus::ok) return reply(net::ansNumberDuplicate, number);
  if (existing.status != StoreStatus::notFound) return reply(net::ansFailed, number);

  const auto hash = hasher_.hash(*password);
  wipe(*password);
  if (!hash) return reply(net::ansFailed, number);
  switch (store_.addUser({number, *hash})) {
    case StoreStatus::ok:
      return reply(net::ansDone, number);
    case StoreStatus::duplicate:
      return reply(net::ansNumberDuplicate, number);
    default:
      return reply(net::ansFailed, number);
  }
}

Outcome RequestHandler::login(const CPacket& request, const Peer& peer) {
  const auto body = request.body();
  const std::int32_t number = net::readInt32(body, 0);
  auto password = passwordAt(body, 4);
  if (!password) return {};
  if (!validNumber(number)) return reply(net::ansFailed, number);
  const auto stored = store_.passwordHash(number);
  const bool found = stored.status == StoreStatus::ok;
  if (!found) hasher_.verifyNothing(*password);
  const bool good = found && hasher_.verify(stored.value, *password);
  wipe(*password);
  if (!good) return reply(net::ansFailed, number);

  // The key is kept before the session opens, so that nobody finds the
  // phone online with the key it had before. Plain logins never touch it.
  if (peer.tls && body.size() >= net::loginSize + net::publicKeySize) {
    net::PublicKey key{};
    std::copy_n(body.begin() + net::loginSize, key.size(), key.begin());
    if (key != net::PublicKey{} && store_.setUserKey(number, key, stored.value) != StoreStatus::ok)
      return reply(net::ansFailed, number);
  }

  Session session;
  session.number = number;
  std::memcpy(&session.address, body.data() + net::loginAddressOffset, 4);
  session.address = reachableAddress(session.address, peer.address);
  session.port = net::readUint16(body, 28);
  // Tickets are random; a clash with a current one is drawn again.
  for (int attempt = 0; attempt < 3; ++attempt) {
    randombytes_buf(session.ticket.data(), session.ticket.size());
    const StoreStatus status = store_.openSession(session, stored.value);
    if (status == StoreStatus::ok) {
      const net::RelayEndpoint relay{relayAddress_ != 0 ? relayAddress_ : peer.local, relayPort_};
      if (relayPort_ == 0 || relay.address == 0)
        return {answer(net::ansLoggedIn, session.ticket), number, 0};
      return {answer(net::ansLoggedIn, net::loggedInWithRelay(session.ticket, relay)), number, 0};
    }
    if (status != StoreStatus::duplicate) break;
  }
  return reply(net::ansFailed, number);
}

Outcome RequestHandler::changePassword(const CPacket& request) {
  const auto body = request.body();
  const net::Ticket ticket = ticketOf(body);
  auto password = passwordAt(body, 8);
  if (!password) return {};
  // The ticket is checked before the costly hash, and again when writing.
  const auto session = store_.sessionByTicket(ticket);
  if (session.status != StoreStatus::ok) return reply(net::ansFailed);
  const std::int32_t number = session.value.number;
  if (password->empty()) return reply(net::ansFailed, number);
  const auto hash = hasher_.hash(*password);
  wipe(*password);
  if (!hash) return reply(net::ansFailed, number);
  const auto changed = store_.setPasswordByTicket(ticket, *hash);
  return reply(changed.status == StoreStatus::ok ? net::ansDone : net::ansFailed, number);
}

Outcome RequestHandler::findUser(const CPacket& request, const Peer& peer) {
  const auto body = request.body();
  const auto session = store_.sessionByTicket(ticketOf(body));
  if (session.status != StoreStatus::ok) return reply(net::ansFailed);
  const std::int32_t target = net::readInt32(body, 8);
  Outcome out{answer(net::ansUserInvalid), session.value.number, target};
  if (!validNumber(target)) return out;
  const auto found = store_.findUser(target);
  if (found.status == StoreStatus::notFound) return out;
  if (found.status != StoreStatus::ok) {
    out.answer = answer(net::ansFailed);
  } else if (!found.value) {
    out.answer = answer(net::ansUserOffline);
  } else {
    std::array<std::uint8_t, net::userFoundSize + net::publicKeySize> payload{};
    std::memcpy(payload.data() + 4, &found.value->address, 4);
    net::writeUint16(payload, 8, found.value->port);
    std::size_t size = net::userFoundSize;
    if (peer.tls) {
      // A caller told no key calls in plain: better no answer than that.
      const auto key = store_.userKey(target);
      if (key.status == StoreStatus::ok) {
        std::copy(key.value.begin(), key.value.end(), payload.begin() + net::userFoundSize);
        size += net::publicKeySize;
      } else if (key.status != StoreStatus::notFound) {
        out.answer = answer(net::ansFailed);
        return out;
      }
    }
    out.answer = answer(net::ansUserFound, std::span(payload).first(size));
  }
  return out;
}

Outcome RequestHandler::userKey(const CPacket& request) {
  const auto body = request.body();
  const auto session = store_.sessionByTicket(ticketOf(body));
  if (session.status != StoreStatus::ok) return reply(net::ansFailed);
  const std::int32_t target = net::readInt32(body, 8);
  Outcome out{answer(net::ansUserInvalid), session.value.number, target};
  if (!validNumber(target)) return out;
  const auto key = store_.userKey(target);
  if (key.status == StoreStatus::notFound) return out;
  if (key.status != StoreStatus::ok) {
    out.answer = answer(net::ansFailed);
    return out;
  }
  std::array<std::uint8_t, 4 + net::publicKeySize> payload{};
  net::writeInt32(payload, 0, target);
  std::copy(key.value.begin(), key.value.end(), payload.begin() + 4);
  out.answer = answer(net::ansUserKey, payload);
  return out;
}

}  // namespace orvalis::server
