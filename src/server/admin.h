#pragma once
// The administration commands: add-user, delete-user and list-users, run
// on the store and then done.

#include <ostream>

#include "server/options.h"
#include "server/password_hash.h"
#include "server/user_store.h"

namespace orvalis::server {

// Runs options.command; results go to out, failures to err. The exit
// status: 0 done, 1 failed.
int runAdminCommand(const Options& options, UserStore& store, const PasswordHasher& hasher,
                    std::ostream& out, std::ostream& err);

}  // namespace orvalis::server
