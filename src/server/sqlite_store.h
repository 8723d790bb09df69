#pragma once
// UserStore in one SQLite database file. WAL journal; every change is synced
// to disk before it is reported done (synchronous FULL). Session writes may
// be synced lazily instead (SessionSync::normal, about 3x faster here), but
// a lost login leaves a phone holding a ticket the server no longer knows,
// and the phone does not log in again by itself; next to the password hash
// of a login the sync costs nothing. One connection guarded by a mutex.

#include <memory>
#include <mutex>
#include <string>

#include "server/user_store.h"

struct sqlite3;
struct sqlite3_stmt;

namespace orvalis::server {

class SqliteStore final : public UserStore {
 public:
  enum class SessionSync { normal, full };

  // Opens or creates the database; throws StoreError when it cannot.
  explicit SqliteStore(const std::string& path, SessionSync sessionSync = SessionSync::full);
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

 private:
  struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const;
  };
  using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;
  struct DbDeleter {
    void operator()(sqlite3* db) const;
  };

  Stmt prepare(const char* sql);
  bool exec(const char* sql);
  // Makes the next commit sync fully or lazily; true on success.
  bool syncFor(bool account);
  StoreAnswer<std::int32_t> numberReturned(sqlite3_stmt* s);

  std::mutex lock_;
  std::unique_ptr<sqlite3, DbDeleter> db_;
  bool sessionFull_;
  Stmt insertUser_, selectHash_, deleteUser_, listUsers_, upsertSession_, selectSession_,
      deleteSession_, deleteUserByTicket_, updatePassword_, findUser_, syncFull_, syncNormal_,
      begin_, commit_, rollback_;
};

}  // namespace orvalis::server
