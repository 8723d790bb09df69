#include "server/pg_store.h"

#include <arpa/inet.h>
#include <libpq-fe.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace orvalis::server {

namespace {

// Type identifiers of the parameters, as the server's catalogue numbers them.
constexpr Oid int4Type = 23, int8Type = 20, textType = 25, byteaType = 17;

// upgrades[v] takes the schema from version v to v + 1.
constexpr std::array<const char*, pgSchemaVersion> upgrades{
    "CREATE TABLE users ("
    "  number integer PRIMARY KEY,"
    "  hash text NOT NULL);"
    "CREATE TABLE sessions ("
    "  number integer PRIMARY KEY REFERENCES users(number) ON DELETE CASCADE,"
    "  ticket bytea NOT NULL UNIQUE,"
    "  address bigint NOT NULL,"  // host order
    "  port integer NOT NULL)",
    "CREATE TABLE user_keys ("
    "  number integer PRIMARY KEY REFERENCES users(number) ON DELETE CASCADE,"
    "  key bytea NOT NULL)",
};

// Any constant of the program's own: several servers starting on an empty
// database make the schema one after the other.
constexpr const char* schemaLock = "SELECT pg_advisory_xact_lock(3393001)";

enum class Op {
  insertUser,
  selectHash,
  deleteUser,
  listUsers,
  upsertSession,
  selectSession,
  deleteSession,
  deleteUserByTicket,
  updatePassword,
  findUser,
  upsertKey,
  selectKey,
};

struct Statement {
  const char* name;
  const char* sql;
  std::array<Oid, 5> types;
  int typeCount;
};

// In the order of Op.
constexpr std::array<Statement, 12> statements{{
    {"insert_user", "INSERT INTO users(number, hash) VALUES($1, $2)", {int4Type, textType}, 2},
    {"select_hash", "SELECT hash FROM users WHERE number = $1", {int4Type}, 1},
    {"delete_user", "DELETE FROM users WHERE number = $1 RETURNING number", {int4Type}, 1},
    {"list_users",
     "SELECT u.number, s.ticket, s.address, s.port FROM users u"
     " LEFT JOIN sessions s ON s.number = u.number ORDER BY u.number",
     {},
     0},
    // Only while the account still has the hash that was verified.
    {"upsert_session",
     "INSERT INTO sessions(number, ticket, address, port)"
     " SELECT $1, $2, $3, $4 FROM users WHERE number = $1 AND hash = $5"
     " ON CONFLICT(number) DO UPDATE SET ticket = excluded.ticket,"
     " address = excluded.address, port = excluded.port",
     {int4Type, byteaType, int8Type, int4Type, textType},
     5},
    {"select_session",
     "SELECT number, ticket, address, port FROM sessions WHERE ticket = $1",
     {byteaType},
     1},
    {"delete_session", "DELETE FROM sessions WHERE ticket = $1 RETURNING number", {byteaType}, 1},
    {"delete_user_by_ticket",
     "DELETE FROM users WHERE number = (SELECT number FROM sessions WHERE ticket = $1)"
     " RETURNING number",
     {byteaType},
     1},
    {"update_password",
     "UPDATE users SET hash = $2 WHERE number = (SELECT number FROM sessions WHERE ticket = $1)"
     " RETURNING number",
     {byteaType, textType},
     2},
    {"find_user",
     "SELECT u.number, s.ticket, s.address, s.port FROM users u"
     " LEFT JOIN sessions s ON s.number = u.number WHERE u.number = $1",
     {int4Type},
     1},
    // Only while the account still has the hash that was verified.
    {"upsert_key",
     "INSERT INTO user_keys(number, key)"
     " SELECT $1, $2 FROM users WHERE number = $1 AND hash = $3"
     " ON CONFLICT(number) DO UPDATE SET key = excluded.key",
     {int4Type, byteaType, textType},
     3},
    {"select_key", "SELECT key FROM user_keys WHERE number = $1", {int4Type}, 1},
}};

struct ResultDeleter {
  void operator()(PGresult* r) const { PQclear(r); }
};
using Result = std::unique_ptr<PGresult, ResultDeleter>;

bool succeeded(const Result& r) {
  const ExecStatusType s = PQresultStatus(r.get());
  return s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
}

bool failedWith(const Result& r, std::string_view sqlState) {
  const char* state = PQresultErrorField(r.get(), PG_DIAG_SQLSTATE);
  return state != nullptr && sqlState == state;
}

constexpr std::string_view uniqueViolation = "23505", foreignKeyViolation = "23503";

StoreStatus statusOfWrite(const Result& r) {
  if (succeeded(r)) return StoreStatus::ok;
  return failedWith(r, uniqueViolation) ? StoreStatus::duplicate : StoreStatus::error;
}

// Parameters in binary form: integers in network order, text and bytes as
// they are.
class Params {
 public:
  Params& add(std::int32_t v) { return addInt<std::uint32_t>(static_cast<std::uint32_t>(v)); }
  Params& add(std::int64_t v) { return addInt<std::uint64_t>(static_cast<std::uint64_t>(v)); }
  Params& add(std::string_view bytes) {
    values_.emplace_back(bytes);
    return *this;
  }
  Params& add(const Ticket& t) {
    return add(std::string_view(reinterpret_cast<const char*>(t.data()), t.size()));
  }
  Params& add(const net::PublicKey& k) {
    return add(std::string_view(reinterpret_cast<const char*>(k.data()), k.size()));
  }

  Result run(pg_conn* c, Op op) const {
    std::array<const char*, 5> values{};
    std::array<int, 5> lengths{}, formats{};
    for (std::size_t i = 0; i < values_.size(); ++i) {
      values[i] = values_[i].data();
      lengths[i] = static_cast<int>(values_[i].size());
      formats[i] = 1;
    }
    return Result(PQexecPrepared(c, statements[static_cast<std::size_t>(op)].name,
                                 static_cast<int>(values_.size()), values.data(), lengths.data(),
                                 formats.data(), 1));
  }

 private:
  template <class U>
  Params& addInt(U v) {
    std::string bytes(sizeof(U), '\0');
    for (std::size_t i = 0; i < sizeof(U); ++i)
      bytes[i] = static_cast<char>(v >> (8 * (sizeof(U) - 1 - i)));
    values_.push_back(std::move(bytes));
    return *this;
  }

  std::vector<std::string> values_;
};

// A big-endian integer column of a binary result.
std::int64_t intAt(const Result& r, int row, int column) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(PQgetvalue(r.get(), row, column));
  std::uint64_t v = 0;
  const int n = PQgetlength(r.get(), row, column);
  for (int i = 0; i < n; ++i) v = (v << 8) | p[i];
  // Sign-extend the narrower columns.
  if (n > 0 && n < 8 && (p[0] & 0x80) != 0) v |= ~std::uint64_t{0} << (8 * n);
  return static_cast<std::int64_t>(v);
}

// A session from columns ticket, address, port starting at first.
Session sessionFrom(const Result& r, int row, std::int32_t number, int first) {
  Session out;
  out.number = number;
  if (PQgetlength(r.get(), row, first) == static_cast<int>(out.ticket.size()))
    std::memcpy(out.ticket.data(), PQgetvalue(r.get(), row, first), out.ticket.size());
  out.address = htonl(static_cast<std::uint32_t>(intAt(r, row, first + 1)));
  out.port = static_cast<std::uint16_t>(intAt(r, row, first + 2));
  return out;
}

// The number of a statement with RETURNING number.
StoreAnswer<std::int32_t> numberReturned(const Result& r) {
  if (!succeeded(r)) return {};
  if (PQntuples(r.get()) == 0) return {StoreStatus::notFound, 0};
  return {StoreStatus::ok, static_cast<std::int32_t>(intAt(r, 0, 0))};
}

Result exec(pg_conn* c, const char* sql) { return Result(PQexec(c, sql)); }

// One statement on a connection of the pool; without one, an empty result,
// which reads as failed.
Result runPooled(PgPool& pool, Op op, const Params& params) {
  const auto c = pool.acquire();
  return c ? params.run(c.get(), op) : Result{};
}

bool prepareAll(pg_conn* c) {
  for (const Statement& s : statements) {
    if (!succeeded(Result(PQprepare(c, s.name, s.sql, s.typeCount, s.types.data())))) return false;
  }
  return true;
}

[[noreturn]] void failSetUp(pg_conn* c, const std::string& what) {
  throw StoreError("cannot set up the database: " + what + ": " + PQerrorMessage(c));
}

constexpr std::string_view undefinedTable = "42P01";

// The schema's version; 0, and fresh set, for a database that has none yet
// (no table, or an empty one).
int schemaVersion(pg_conn* c, bool& fresh) {
  const Result found = exec(c, "SELECT version FROM schema_version");
  fresh = failedWith(found, undefinedTable) || (succeeded(found) && PQntuples(found.get()) == 0);
  if (fresh) return 0;
  if (!succeeded(found)) failSetUp(c, "schema_version");
  return std::atoi(PQgetvalue(found.get(), 0, 0));
}

void refuseNewer(int version) {
  if (version <= pgSchemaVersion) return;
  throw StoreError("the database schema is version " + std::to_string(version) +
                   ", newer than this program knows (" + std::to_string(pgSchemaVersion) +
                   "); use a newer orvalis-server");
}

// Makes or upgrades the schema in one transaction. An up-to-date schema is
// only read, so that the server's role needs no more than row rights on
// the tables; making and upgrading need their owner.
void migrate(pg_conn* c) {
  bool fresh = false;
  int version = schemaVersion(c, fresh);
  refuseNewer(version);
  if (version == pgSchemaVersion) return;
  if (!succeeded(exec(c, "BEGIN")) || !succeeded(exec(c, schemaLock)) ||
      !succeeded(exec(c, "CREATE TABLE IF NOT EXISTS schema_version (version integer NOT NULL)")))
    failSetUp(c, "schema_version");
  // Another server may have upgraded it while this one waited for the lock.
  version = schemaVersion(c, fresh);
  refuseNewer(version);
  for (int v = version; v < pgSchemaVersion; ++v) {
    if (!succeeded(exec(c, upgrades[static_cast<std::size_t>(v)])))
      failSetUp(c, "upgrade to version " + std::to_string(v + 1));
  }
  const std::string record =
      (fresh ? "INSERT INTO schema_version VALUES (" : "UPDATE schema_version SET version = (") +
      std::to_string(pgSchemaVersion) + ")";
  if (!succeeded(exec(c, record.c_str())) || !succeeded(exec(c, "COMMIT")))
    failSetUp(c, "schema_version");
}

}  // namespace

PgStore::PgStore(const std::string& uri, PgPoolSettings pool) : pool_(uri, prepareAll, pool) {
  std::string error;
  const PgConn c = connectPg(uri, error);
  if (!c) throw StoreError("cannot connect to the database: " + error);
  migrate(c.get());
}

StoreStatus PgStore::addUser(const NewUser& user) {
  return statusOfWrite(
      runPooled(pool_, Op::insertUser, Params().add(user.number).add(user.passwordHash)));
}

StoreStatus PgStore::addUsers(std::span<const NewUser> users) {
  const auto c = pool_.acquire();
  if (!c) return StoreStatus::error;
  if (!succeeded(exec(c.get(), "BEGIN"))) return StoreStatus::error;
  StoreStatus status = StoreStatus::ok;
  for (const NewUser& user : users) {
    status = statusOfWrite(
        Params().add(user.number).add(user.passwordHash).run(c.get(), Op::insertUser));
    if (status != StoreStatus::ok) break;
  }
  if (status == StoreStatus::ok) {
    if (succeeded(exec(c.get(), "COMMIT"))) return StoreStatus::ok;
    status = StoreStatus::error;
  }
  exec(c.get(), "ROLLBACK");
  return status;
}

StoreAnswer<std::string> PgStore::passwordHash(std::int32_t number) {
  const Result r = runPooled(pool_, Op::selectHash, Params().add(number));
  if (!succeeded(r)) return {};
  if (PQntuples(r.get()) == 0) return {StoreStatus::notFound, {}};
  return {StoreStatus::ok, std::string(PQgetvalue(r.get(), 0, 0),
                                       static_cast<std::size_t>(PQgetlength(r.get(), 0, 0)))};
}

StoreStatus PgStore::deleteUser(std::int32_t number) {
  return numberReturned(runPooled(pool_, Op::deleteUser, Params().add(number))).status;
}

StoreAnswer<std::vector<UserListing>> PgStore::listUsers() {
  const Result r = runPooled(pool_, Op::listUsers, Params());
  if (!succeeded(r)) return {};
  StoreAnswer<std::vector<UserListing>> out{StoreStatus::ok, {}};
  const int rows = PQntuples(r.get());
  out.value.reserve(static_cast<std::size_t>(rows));
  for (int row = 0; row < rows; ++row) {
    UserListing user;
    user.number = static_cast<std::int32_t>(intAt(r, row, 0));
    if (!PQgetisnull(r.get(), row, 1)) user.session = sessionFrom(r, row, user.number, 1);
    out.value.push_back(user);
  }
  return out;
}

StoreStatus PgStore::openSession(const Session& session, std::string_view verifiedHash) {
  const Result r = runPooled(pool_, Op::upsertSession,
                             Params()
                                 .add(session.number)
                                 .add(session.ticket)
                                 .add(std::int64_t{ntohl(session.address)})
                                 .add(std::int32_t{session.port})
                                 .add(verifiedHash));
  // The account deleted meanwhile by another server.
  if (failedWith(r, foreignKeyViolation)) return StoreStatus::notFound;
  const StoreStatus status = statusOfWrite(r);
  if (status != StoreStatus::ok) return status;
  return std::strcmp(PQcmdTuples(r.get()), "0") != 0 ? StoreStatus::ok : StoreStatus::notFound;
}

StoreAnswer<Session> PgStore::sessionByTicket(const Ticket& ticket) {
  const Result r = runPooled(pool_, Op::selectSession, Params().add(ticket));
  if (!succeeded(r)) return {};
  if (PQntuples(r.get()) == 0) return {StoreStatus::notFound, {}};
  return {StoreStatus::ok, sessionFrom(r, 0, static_cast<std::int32_t>(intAt(r, 0, 0)), 1)};
}

StoreAnswer<std::int32_t> PgStore::closeSession(const Ticket& ticket) {
  return numberReturned(runPooled(pool_, Op::deleteSession, Params().add(ticket)));
}

StoreAnswer<std::int32_t> PgStore::deleteUserByTicket(const Ticket& ticket) {
  return numberReturned(runPooled(pool_, Op::deleteUserByTicket, Params().add(ticket)));
}

StoreAnswer<std::int32_t> PgStore::setPasswordByTicket(const Ticket& ticket,
                                                       std::string_view newHash) {
  return numberReturned(
      runPooled(pool_, Op::updatePassword, Params().add(ticket).add(newHash)));
}

StoreAnswer<std::optional<Session>> PgStore::findUser(std::int32_t number) {
  const Result r = runPooled(pool_, Op::findUser, Params().add(number));
  if (!succeeded(r)) return {};
  if (PQntuples(r.get()) == 0) return {StoreStatus::notFound, {}};
  if (PQgetisnull(r.get(), 0, 1)) return {StoreStatus::ok, std::nullopt};
  return {StoreStatus::ok, sessionFrom(r, 0, number, 1)};
}

StoreStatus PgStore::setUserKey(std::int32_t number, const net::PublicKey& key,
                               std::string_view verifiedHash) {
  const Result r =
      runPooled(pool_, Op::upsertKey, Params().add(number).add(key).add(verifiedHash));
  // No such account, deleted meanwhile, or its password changed since.
  if (failedWith(r, foreignKeyViolation)) return StoreStatus::notFound;
  if (!succeeded(r)) return StoreStatus::error;
  return std::strcmp(PQcmdTuples(r.get()), "0") != 0 ? StoreStatus::ok : StoreStatus::notFound;
}

StoreAnswer<net::PublicKey> PgStore::userKey(std::int32_t number) {
  const Result r = runPooled(pool_, Op::selectKey, Params().add(number));
  if (!succeeded(r)) return {};
  if (PQntuples(r.get()) == 0) return {StoreStatus::notFound, {}};
  StoreAnswer<net::PublicKey> out{StoreStatus::ok, {}};
  if (PQgetlength(r.get(), 0, 0) != static_cast<int>(out.value.size())) return {};
  std::memcpy(out.value.data(), PQgetvalue(r.get(), 0, 0), out.value.size());
  return out;
}

// Both tables, each read under the time given; the attempt also gives up
// waiting for a free connection by then.
bool PgStore::answers(std::chrono::milliseconds within) {
  const auto c = pool_.acquire(within);
  if (!c) return false;
  const std::string wait = std::to_string(std::max<std::int64_t>(within.count(), 1));
  const std::string check = "BEGIN; SET LOCAL statement_timeout = " + wait +
                            "; SET LOCAL lock_timeout = " + wait +
                            "; SELECT 1 FROM users LIMIT 1; SELECT 1 FROM sessions LIMIT 1; COMMIT";
  const bool ok = succeeded(exec(c.get(), check.c_str()));
  if (PQtransactionStatus(c.get()) != PQTRANS_IDLE) exec(c.get(), "ROLLBACK");
  return ok;
}

}  // namespace orvalis::server
