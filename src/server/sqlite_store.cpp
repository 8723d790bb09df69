#include "server/sqlite_store.h"

#include <arpa/inet.h>
#include <sqlite3.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <thread>

namespace orvalis::server {

namespace {

constexpr const char* schema =
    "CREATE TABLE IF NOT EXISTS users ("
    "  number INTEGER PRIMARY KEY,"
    "  hash TEXT NOT NULL);"
    "CREATE TABLE IF NOT EXISTS sessions ("
    "  number INTEGER PRIMARY KEY REFERENCES users(number) ON DELETE CASCADE,"
    "  ticket BLOB NOT NULL UNIQUE,"
    "  address INTEGER NOT NULL,"  // host order
    "  port INTEGER NOT NULL);"
    // Added later: a database made before it gets it on its next start.
    "CREATE TABLE IF NOT EXISTS user_keys ("
    "  number INTEGER PRIMARY KEY REFERENCES users(number) ON DELETE CASCADE,"
    "  key BLOB NOT NULL);";

// Resets a statement and clears its bindings when a call is done with it,
// whatever way the call leaves.
class Use {
 public:
  explicit Use(sqlite3_stmt* s) : s_(s) {}
  ~Use() {
    sqlite3_reset(s_);
    sqlite3_clear_bindings(s_);
  }
  Use(const Use&) = delete;
  Use& operator=(const Use&) = delete;
  sqlite3_stmt* operator->() const { return s_; }
  operator sqlite3_stmt*() const { return s_; }

 private:
  sqlite3_stmt* s_;
};

void bindTicket(sqlite3_stmt* s, int index, const Ticket& ticket) {
  sqlite3_bind_blob(s, index, ticket.data(), static_cast<int>(ticket.size()), SQLITE_TRANSIENT);
}

void bindText(sqlite3_stmt* s, int index, std::string_view text) {
  sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

// A session from columns ticket, address, port starting at first.
Session sessionFrom(sqlite3_stmt* s, std::int32_t number, int first) {
  Session out;
  out.number = number;
  const void* blob = sqlite3_column_blob(s, first);
  if (blob != nullptr && sqlite3_column_bytes(s, first) == static_cast<int>(out.ticket.size()))
    std::memcpy(out.ticket.data(), blob, out.ticket.size());
  out.address = htonl(static_cast<std::uint32_t>(sqlite3_column_int64(s, first + 1)));
  out.port = static_cast<std::uint16_t>(sqlite3_column_int(s, first + 2));
  return out;
}

StoreStatus statusOfWrite(int rc) {
  if (rc == SQLITE_DONE) return StoreStatus::ok;
  if (rc == SQLITE_CONSTRAINT) return StoreStatus::duplicate;
  return StoreStatus::error;
}

}  // namespace

void SqliteStore::StmtDeleter::operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
void SqliteStore::DbDeleter::operator()(sqlite3* db) const { sqlite3_close(db); }

struct SqliteStore::Reader {
  std::mutex lock;
  std::unique_ptr<sqlite3, DbDeleter> db;
  Lookups lookups;
};

namespace {

// A database in memory is one connection's alone: it gets no readers.
bool inMemory(const std::string& path) {
  return path.empty() || path == ":memory:" || path.starts_with("file:");
}

// Enough for every thread of a server to find its own free most of the time.
std::size_t readerCount() {
  return std::clamp<std::size_t>(2 * std::thread::hardware_concurrency() + 2, 4, 16);
}

}  // namespace

SqliteStore::SqliteStore(const std::string& path, SessionSync sessionSync,
                         std::chrono::milliseconds busyWait)
    : sessionFull_(sessionSync == SessionSync::full) {
  sqlite3* raw = nullptr;
  const int rc =
      sqlite3_open_v2(path.c_str(), &raw,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
  db_.reset(raw);
  if (rc != SQLITE_OK) {
    throw StoreError("cannot open " + path + ": " +
                     (raw != nullptr ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
  }
  // Other processes (the administration commands, other servers) may hold
  // the write lock for a moment.
  sqlite3_busy_timeout(raw, static_cast<int>(busyWait.count()));
  if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA foreign_keys=ON") ||
      !exec("PRAGMA synchronous=FULL") || !exec(schema)) {
    throw StoreError("cannot set up " + path + ": " + sqlite3_errmsg(raw));
  }
  sqlite3* db = raw;
  insertUser_ = prepare(db, "INSERT INTO users(number, hash) VALUES(?1, ?2)");
  deleteUser_ = prepare(db, "DELETE FROM users WHERE number = ?1");
  listUsers_ = prepare(db,
      "SELECT u.number, s.ticket, s.address, s.port FROM users u"
      " LEFT JOIN sessions s ON s.number = u.number ORDER BY u.number");
  // Only while the account still has the hash that was verified.
  upsertSession_ = prepare(db,
      "INSERT INTO sessions(number, ticket, address, port)"
      " SELECT ?1, ?2, ?3, ?4 FROM users WHERE number = ?1 AND hash = ?5"
      " ON CONFLICT(number) DO UPDATE SET ticket = excluded.ticket,"
      " address = excluded.address, port = excluded.port");
  deleteSession_ = prepare(db, "DELETE FROM sessions WHERE ticket = ?1 RETURNING number");
  deleteUserByTicket_ = prepare(db,
      "DELETE FROM users WHERE number = (SELECT number FROM sessions WHERE ticket = ?1)"
      " RETURNING number");
  updatePassword_ = prepare(db,
      "UPDATE users SET hash = ?2 WHERE number = (SELECT number FROM sessions WHERE ticket = ?1)"
      " RETURNING number");
  // Only for an account that exists.
  upsertKey_ = prepare(db,
      "INSERT INTO user_keys(number, key)"
      " SELECT ?1, ?2 FROM users WHERE number = ?1 AND hash = ?3"
      " ON CONFLICT(number) DO UPDATE SET key = excluded.key");
  syncFull_ = prepare(db, "PRAGMA synchronous=FULL");
  syncNormal_ = prepare(db, "PRAGMA synchronous=NORMAL");
  begin_ = prepare(db, "BEGIN IMMEDIATE");
  commit_ = prepare(db, "COMMIT");
  rollback_ = prepare(db, "ROLLBACK");
  lookups_ = prepareLookups(db);

  if (inMemory(path)) return;
  for (std::size_t i = readerCount(); i > 0; --i) {
    auto reader = std::make_unique<Reader>();
    sqlite3* r = nullptr;
    const int opened =
        sqlite3_open_v2(path.c_str(), &r, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOMUTEX, nullptr);
    reader->db.reset(r);
    if (opened != SQLITE_OK) {
      throw StoreError("cannot open " + path + " for reading: " +
                       (r != nullptr ? sqlite3_errmsg(r) : sqlite3_errstr(opened)));
    }
    sqlite3_busy_timeout(r, static_cast<int>(busyWait.count()));
    reader->lookups = prepareLookups(r);
    readers_.push_back(std::move(reader));
  }
}

SqliteStore::~SqliteStore() = default;

SqliteStore::Stmt SqliteStore::prepare(sqlite3* db, const char* sql) {
  sqlite3_stmt* s = nullptr;
  if (sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) != SQLITE_OK) {
    throw StoreError(std::string("cannot prepare statement: ") + sqlite3_errmsg(db));
  }
  return Stmt(s);
}

SqliteStore::Lookups SqliteStore::prepareLookups(sqlite3* db) {
  Lookups out;
  out[hashLookup] = prepare(db, "SELECT hash FROM users WHERE number = ?1");
  out[sessionLookup] =
      prepare(db, "SELECT number, ticket, address, port FROM sessions WHERE ticket = ?1");
  out[findLookup] = prepare(db,
                            "SELECT u.number, s.ticket, s.address, s.port FROM users u"
                            " LEFT JOIN sessions s ON s.number = u.number WHERE u.number = ?1");
  out[keyLookup] = prepare(db, "SELECT key FROM user_keys WHERE number = ?1");
  out[healthLookup] = prepare(db,
                              "SELECT (SELECT count(*) FROM (SELECT 1 FROM users LIMIT 1))"
                              " + (SELECT count(*) FROM (SELECT 1 FROM sessions LIMIT 1))");
  return out;
}

std::pair<std::unique_lock<std::mutex>, sqlite3_stmt*> SqliteStore::lookup(Lookup which) {
  if (readers_.empty()) return {std::unique_lock(lock_), lookups_[which].get()};
  const std::size_t n = readers_.size();
  const std::size_t home = std::hash<std::thread::id>{}(std::this_thread::get_id()) % n;
  for (std::size_t i = 0; i < n; ++i) {
    Reader& r = *readers_[(home + i) % n];
    std::unique_lock held(r.lock, std::try_to_lock);
    if (held.owns_lock()) return {std::move(held), r.lookups[which].get()};
  }
  Reader& r = *readers_[home];
  return {std::unique_lock(r.lock), r.lookups[which].get()};
}

bool SqliteStore::exec(const char* sql) {
  return sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool SqliteStore::syncFor(bool account) {
  Use s(account || sessionFull_ ? syncFull_.get() : syncNormal_.get());
  const int rc = sqlite3_step(s);
  return rc == SQLITE_DONE || rc == SQLITE_ROW;
}

StoreStatus SqliteStore::addUser(const NewUser& user) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return StoreStatus::error;
  Use s(insertUser_.get());
  sqlite3_bind_int64(s, 1, user.number);
  bindText(s, 2, user.passwordHash);
  return statusOfWrite(sqlite3_step(s));
}

StoreStatus SqliteStore::addUsers(std::span<const NewUser> users) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return StoreStatus::error;
  {
    Use b(begin_.get());
    if (sqlite3_step(b) != SQLITE_DONE) return StoreStatus::error;
  }
  StoreStatus status = StoreStatus::ok;
  for (const NewUser& user : users) {
    Use s(insertUser_.get());
    sqlite3_bind_int64(s, 1, user.number);
    bindText(s, 2, user.passwordHash);
    status = statusOfWrite(sqlite3_step(s));
    if (status != StoreStatus::ok) break;
  }
  if (status == StoreStatus::ok) {
    Use c(commit_.get());
    if (sqlite3_step(c) == SQLITE_DONE) return StoreStatus::ok;
    status = StoreStatus::error;
  }
  Use r(rollback_.get());
  sqlite3_step(r);
  return status;
}

StoreAnswer<std::string> SqliteStore::passwordHash(std::int32_t number) {
  const auto [held, stmt] = lookup(hashLookup);
  Use s(stmt);
  sqlite3_bind_int64(s, 1, number);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return {StoreStatus::notFound, {}};
  if (rc != SQLITE_ROW) return {};
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
  return {StoreStatus::ok, text != nullptr ? std::string(text) : std::string()};
}

StoreStatus SqliteStore::deleteUser(std::int32_t number) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return StoreStatus::error;
  Use s(deleteUser_.get());
  sqlite3_bind_int64(s, 1, number);
  if (sqlite3_step(s) != SQLITE_DONE) return StoreStatus::error;
  return sqlite3_changes(db_.get()) > 0 ? StoreStatus::ok : StoreStatus::notFound;
}

StoreAnswer<std::vector<UserListing>> SqliteStore::listUsers() {
  std::lock_guard guard(lock_);
  Use s(listUsers_.get());
  StoreAnswer<std::vector<UserListing>> out{StoreStatus::ok, {}};
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    UserListing row;
    row.number = static_cast<std::int32_t>(sqlite3_column_int64(s, 0));
    if (sqlite3_column_type(s, 1) != SQLITE_NULL) row.session = sessionFrom(s, row.number, 1);
    out.value.push_back(row);
  }
  if (rc != SQLITE_DONE) return {};
  return out;
}

StoreStatus SqliteStore::openSession(const Session& session, std::string_view verifiedHash) {
  std::lock_guard guard(lock_);
  if (!syncFor(false)) return StoreStatus::error;
  Use s(upsertSession_.get());
  sqlite3_bind_int64(s, 1, session.number);
  bindTicket(s, 2, session.ticket);
  sqlite3_bind_int64(s, 3, ntohl(session.address));
  sqlite3_bind_int(s, 4, session.port);
  bindText(s, 5, verifiedHash);
  const StoreStatus status = statusOfWrite(sqlite3_step(s));
  if (status != StoreStatus::ok) return status;
  return sqlite3_changes(db_.get()) > 0 ? StoreStatus::ok : StoreStatus::notFound;
}

StoreAnswer<Session> SqliteStore::sessionByTicket(const Ticket& ticket) {
  const auto [held, stmt] = lookup(sessionLookup);
  Use s(stmt);
  bindTicket(s, 1, ticket);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return {StoreStatus::notFound, {}};
  if (rc != SQLITE_ROW) return {};
  return {StoreStatus::ok,
          sessionFrom(s, static_cast<std::int32_t>(sqlite3_column_int64(s, 0)), 1)};
}

// Steps a statement with RETURNING number to its end.
StoreAnswer<std::int32_t> SqliteStore::numberReturned(sqlite3_stmt* s) {
  StoreAnswer<std::int32_t> out{StoreStatus::notFound, 0};
  int rc;
  while ((rc = sqlite3_step(s)) == SQLITE_ROW) {
    out = {StoreStatus::ok, static_cast<std::int32_t>(sqlite3_column_int64(s, 0))};
  }
  if (rc != SQLITE_DONE) return {};
  return out;
}

StoreAnswer<std::int32_t> SqliteStore::closeSession(const Ticket& ticket) {
  std::lock_guard guard(lock_);
  if (!syncFor(false)) return {};
  Use s(deleteSession_.get());
  bindTicket(s, 1, ticket);
  return numberReturned(s);
}

StoreAnswer<std::int32_t> SqliteStore::deleteUserByTicket(const Ticket& ticket) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return {};
  Use s(deleteUserByTicket_.get());
  bindTicket(s, 1, ticket);
  return numberReturned(s);
}

StoreAnswer<std::int32_t> SqliteStore::setPasswordByTicket(const Ticket& ticket,
                                                           std::string_view newHash) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return {};
  Use s(updatePassword_.get());
  bindTicket(s, 1, ticket);
  bindText(s, 2, newHash);
  return numberReturned(s);
}

StoreAnswer<std::optional<Session>> SqliteStore::findUser(std::int32_t number) {
  const auto [held, stmt] = lookup(findLookup);
  Use s(stmt);
  sqlite3_bind_int64(s, 1, number);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return {StoreStatus::notFound, {}};
  if (rc != SQLITE_ROW) return {};
  if (sqlite3_column_type(s, 1) == SQLITE_NULL) return {StoreStatus::ok, std::nullopt};
  return {StoreStatus::ok, sessionFrom(s, number, 1)};
}

StoreStatus SqliteStore::setUserKey(std::int32_t number, const net::PublicKey& key,
                                   std::string_view verifiedHash) {
  std::lock_guard guard(lock_);
  if (!syncFor(true)) return StoreStatus::error;
  Use s(upsertKey_.get());
  sqlite3_bind_int64(s, 1, number);
  sqlite3_bind_blob(s, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
  sqlite3_bind_text(s, 3, verifiedHash.data(), static_cast<int>(verifiedHash.size()),
                    SQLITE_TRANSIENT);
  if (sqlite3_step(s) != SQLITE_DONE) return StoreStatus::error;
  return sqlite3_changes(db_.get()) > 0 ? StoreStatus::ok : StoreStatus::notFound;
}

StoreAnswer<net::PublicKey> SqliteStore::userKey(std::int32_t number) {
  const auto [held, stmt] = lookup(keyLookup);
  Use s(stmt);
  sqlite3_bind_int64(s, 1, number);
  const int rc = sqlite3_step(s);
  if (rc == SQLITE_DONE) return {StoreStatus::notFound, {}};
  if (rc != SQLITE_ROW) return {};
  StoreAnswer<net::PublicKey> out{StoreStatus::ok, {}};
  if (sqlite3_column_bytes(s, 0) != static_cast<int>(out.value.size())) return {};
  std::memcpy(out.value.data(), sqlite3_column_blob(s, 0), out.value.size());
  return out;
}

// Readers wait on nobody in WAL mode; the time taken is what counts.
bool SqliteStore::answers(std::chrono::milliseconds within) {
  const auto start = std::chrono::steady_clock::now();
  const auto [held, stmt] = lookup(healthLookup);
  Use s(stmt);
  return sqlite3_step(s) == SQLITE_ROW && std::chrono::steady_clock::now() - start <= within;
}

}  // namespace orvalis::server
