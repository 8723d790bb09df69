#pragma once
// One server transaction: a request message and the connection's peer in,
// the answer message out, or none when the request is malformed (the
// connection is then closed without an answer). Works only through the
// store and the hasher, so it runs on any worker thread.

#include <chrono>
#include <cstdint>
#include <optional>

#include "net/packet.h"
#include "server/password_hash.h"
#include "server/user_store.h"

namespace orvalis::server {

struct Peer {
  std::uint32_t address = 0;  // network order
  std::uint16_t port = 0;     // host order
  std::uint32_t local = 0;    // the server's own address the peer reached; 0: unknown
  bool tls = false;           // the request came inside TLS: public keys may travel
};

struct Outcome {
  std::optional<net::CPacket> answer;  // nullopt: malformed
  std::int32_t number = 0;             // the request's or the session's number; 0: none
  std::int32_t target = 0;             // the number looked for
};

// The address a login's session records for callers (network order): the
// announced one, unless it is unknown, or loopback while the login came
// from another machine: then the connection's source.
std::uint32_t reachableAddress(std::uint32_t announced, std::uint32_t source);

// Where a request is worked on: at once on the connection's I/O thread
// (nothing in it can wait on a lock held for long, the disk or the
// network), on the pool for quick store work, or on the hashing pool.
enum class Route { now, quick, hash };

class RequestHandler {
 public:
  RequestHandler(UserStore& store, const PasswordHasher& hasher, bool registrationClosed)
      : store_(store), hasher_(hasher), closed_(registrationClosed) {}

  Outcome handle(const net::CPacket& request, const Peer& peer);
  // Logins are answered with the call relay's address and port; an address
  // of 0 stands for the one the phone reached the server on.
  void offerCallRelay(std::uint32_t address, std::uint16_t port) {
    relayAddress_ = address;
    relayPort_ = port;
  }

  Route route(std::int16_t code) const;
  // Whether the store answers a trivial read within the time.
  bool storeAnswers(std::chrono::milliseconds within) { return store_.answers(within); }

 private:
  Outcome registerUser(const net::CPacket& request);
  Outcome login(const net::CPacket& request, const Peer& peer);
  Outcome changePassword(const net::CPacket& request);
  Outcome findUser(const net::CPacket& request, const Peer& peer);
  Outcome userKey(const net::CPacket& request);

  UserStore& store_;
  const PasswordHasher& hasher_;
  bool closed_;
  std::uint32_t relayAddress_ = 0;
  std::uint16_t relayPort_ = 0;  // 0: no call relay
};

}  // namespace orvalis::server
