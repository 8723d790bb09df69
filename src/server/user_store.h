#pragma once
// Where accounts and login sessions live. Sessions belong here rather than
// in server memory so that several servers can share one database. Every
// operation that acts on behalf of a ticket checks the ticket and acts in
// one atomic step, so a concurrent logout or re-login cannot slip between.
// Implementations must be safe to call from several threads at once.

#include <chrono>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "net/requests.h"

namespace orvalis::server {

using net::Ticket;

// A store that cannot be opened or set up.
struct StoreError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

enum class StoreStatus { ok, notFound, duplicate, error };

struct Session {
  Ticket ticket{};
  std::int32_t number = 0;
  std::uint32_t address = 0;  // network order
  std::uint16_t port = 0;
};

struct NewUser {
  std::int32_t number = 0;
  std::string passwordHash;
};

struct UserListing {
  std::int32_t number = 0;
  std::optional<Session> session;
};

template <class T>
struct StoreAnswer {
  StoreStatus status = StoreStatus::error;
  T value{};
};

class UserStore {
 public:
  virtual ~UserStore() = default;

  // duplicate when the number is taken.
  virtual StoreStatus addUser(const NewUser& user) = 0;
  // All users in one transaction: all are added or none.
  virtual StoreStatus addUsers(std::span<const NewUser> users) = 0;
  virtual StoreAnswer<std::string> passwordHash(std::int32_t number) = 0;
  // Removes the account and its session.
  virtual StoreStatus deleteUser(std::int32_t number) = 0;
  virtual StoreAnswer<std::vector<UserListing>> listUsers() = 0;

  // Opens the number's session, replacing any earlier one, provided the
  // account still has the password hash the caller verified (notFound
  // otherwise); duplicate when the ticket is already in use.
  virtual StoreStatus openSession(const Session& session, std::string_view verifiedHash) = 0;
  virtual StoreAnswer<Session> sessionByTicket(const Ticket& ticket) = 0;
  // These act on the ticket's account and give its number; notFound when
  // the ticket is not current.
  virtual StoreAnswer<std::int32_t> closeSession(const Ticket& ticket) = 0;
  virtual StoreAnswer<std::int32_t> deleteUserByTicket(const Ticket& ticket) = 0;
  virtual StoreAnswer<std::int32_t> setPasswordByTicket(const Ticket& ticket,
                                                        std::string_view newHash) = 0;
  // notFound: no such account; ok with no session: not logged in.
  virtual StoreAnswer<std::optional<Session>> findUser(std::int32_t number) = 0;

  // The number's public key, which callers are given: set replaces any
  // earlier one, provided the account still has the password hash the
  // caller verified (notFound otherwise, or with no such account); deleting
  // the account takes it. userKey is notFound when the number has none, or
  // no account.
  virtual StoreStatus setUserKey(std::int32_t number, const net::PublicKey& key,
                                 std::string_view verifiedHash) = 0;
  virtual StoreAnswer<net::PublicKey> userKey(std::int32_t number) = 0;

  // True when both tables answer a trivial read within the given time (a
  // load balancer's health check).
  virtual bool answers(std::chrono::milliseconds within) = 0;

  // True when look-ups (passwordHash, sessionByTicket, findUser, userKey)
  // never wait on the network or on another thread's write, so that a
  // server may do them on its I/O threads.
  virtual bool readsQuickly() const { return false; }
};

}  // namespace orvalis::server
