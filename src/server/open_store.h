#pragma once
// The store named by --db: a PostgreSQL URI for a database several servers
// share, anything else a SQLite file for one machine.

#include <memory>
#include <string>
#include <string_view>

#include "server/user_store.h"

namespace orvalis::server {

bool isPostgresUri(std::string_view db);

// Throws StoreError when the store cannot be opened.
std::unique_ptr<UserStore> openUserStore(const std::string& db);

}  // namespace orvalis::server
