#pragma once
// UserStore in a PostgreSQL database, so that several servers, on any
// machines, share accounts, sessions and tickets. Every change is one
// transaction; a taken number or ticket is found by the database's unique
// constraints, never by reading first. The schema is made on first use and
// carries its version; a newer one than this program knows is refused.
// Connections come from a small pool: while the database is unreachable,
// calls answer error at once.

#include <string>

#include "server/pg_pool.h"
#include "server/user_store.h"

namespace orvalis::server {

inline constexpr int pgSchemaVersion = 2;

class PgStore final : public UserStore {
 public:
  // Connects and makes or upgrades the schema; throws StoreError when the
  // database cannot be reached or its schema is newer than this program.
  explicit PgStore(const std::string& uri, PgPoolSettings pool = {});

  StoreStatus addUser(const NewUser& user) override;
  StoreStatus addUsers(std::span<const NewUser> users) override;
  StoreAnswer<std::string> passwordHash(std::int32_t number) override;
  StoreStatus deleteUser(std::int32_t number) override;
  StoreAnswer<std::vector<UserListing>> listUsers() override;
  StoreStatus openSession(const Session& session, std::string_view verifiedHash) override;
  StoreAnswer<Session> sessionByTicket(const Ticket& ticket) override;
  StoreAnswer<std::int32_t> closeSession(const Ticket& ticket) override;
  StoreAnswer<std::int32_t> deleteUserByTicket(const Ticket& ticket) override;
  StoreAnswer<std::int32_t> setPasswordByTicket(const Ticket& ticket,
                                                std::string_view newHash) override;
  StoreAnswer<std::optional<Session>> findUser(std::int32_t number) override;
  StoreStatus setUserKey(std::int32_t number, const net::PublicKey& key,
                         std::string_view verifiedHash) override;
  StoreAnswer<net::PublicKey> userKey(std::int32_t number) override;
  bool answers(std::chrono::milliseconds within) override;

 private:
  PgPool pool_;
};

}  // namespace orvalis::server
