#pragma once
// The store named by --db: a PostgreSQL URI for a database several servers
// share, anything else a SQLite file for one machine.

#include <chrono>
#include <memory>
#include <string>
#include <string_view>

#include "server/user_store.h"

namespace orvalis::server {

bool isPostgresUri(std::string_view db);

// Throws StoreError when the store cannot be opened. A non-zero wait bounds
// each wait for the database: for a free connection, for a statement or a
// lock (PostgreSQL), for another process's write lock (SQLite).
std::unique_ptr<UserStore> openUserStore(const std::string& db,
                                         std::chrono::milliseconds wait = {});

}  // namespace orvalis::server
