#include "server/open_store.h"

#include "server/pg_store.h"
#include "server/sqlite_store.h"

namespace orvalis::server {

bool isPostgresUri(std::string_view db) {
  return db.starts_with("postgresql://") || db.starts_with("postgres://");
}

std::unique_ptr<UserStore> openUserStore(const std::string& db, std::chrono::milliseconds wait) {
  if (wait.count() <= 0) {
    if (isPostgresUri(db)) return std::make_unique<PgStore>(db);
    return std::make_unique<SqliteStore>(db);
  }
  if (isPostgresUri(db)) {
    return std::make_unique<PgStore>(db, PgPoolSettings{.statementWait = wait, .waitForFree = wait});
  }
  return std::make_unique<SqliteStore>(db, SqliteStore::SessionSync::full, wait);
}

}  // namespace orvalis::server
