#pragma once
// UserStore in one SQLite database file. WAL journal; every change is synced
// to disk before it is reported done (synchronous FULL). Session writes may
// be synced lazily instead (SessionSync::normal, about 3x faster here), but
// a lost login leaves a phone holding a ticket the server no longer knows,
// and the phone does not log in again by itself; next to the password hash
// of a login the sync costs nothing. Writes go through one connection
// guarded by a mutex; look-ups in a database file go through read-only
// connections of their own, which in WAL mode wait neither on the writer
// nor on each other.

#include <array>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "server/user_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace orvalis::server {

class SqliteStore final : public UserStore {
 public:
  enum class SessionSync { normal, full };

  // Opens or creates the database; throws StoreError when it cannot.
  // busyWait bounds each wait for another process's write lock.
  explicit SqliteStore(const std::string& path, SessionSync sessionSync = SessionSync::full,
                       std::chrono::milliseconds busyWait = std::chrono::seconds(5));
  ~SqliteStore() override;
  SqliteStore(const SqliteStore&) = delete;
  SqliteStore& operator=(const SqliteStore&) = delete;

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
  bool readsQuickly() const override { return !readers_.empty(); }

 private:
  struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const;
  };
  using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;
  struct DbDeleter {
    void operator()(sqlite3* db) const;
  };

  enum Lookup { hashLookup, sessionLookup, findLookup, keyLookup, healthLookup, lookupCount };
  using Lookups = std::array<Stmt, lookupCount>;
  struct Reader;

  static Stmt prepare(sqlite3* db, const char* sql);
  static Lookups prepareLookups(sqlite3* db);
  // The statement of a look-up, locked: a reader's, the calling thread
  // finding the same one each time it is free, or the writer's where there
  // are no readers.
  std::pair<std::unique_lock<std::mutex>, sqlite3_stmt*> lookup(Lookup which);
  bool exec(const char* sql);
  // Makes the next commit sync fully or lazily; true on success.
  bool syncFor(bool account);
  StoreAnswer<std::int32_t> numberReturned(sqlite3_stmt* s);

  std::mutex lock_;
  std::unique_ptr<sqlite3, DbDeleter> db_;
  bool sessionFull_;
  Stmt insertUser_, deleteUser_, listUsers_, upsertSession_, deleteSession_, deleteUserByTicket_,
      updatePassword_, upsertKey_, syncFull_, syncNormal_, begin_, commit_, rollback_;
  Lookups lookups_;
  std::vector<std::unique_ptr<Reader>> readers_;
};

}  // namespace orvalis::server
