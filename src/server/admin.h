#pragma once
// The administration commands: add-user, delete-user and list-users, run
// on the store and then done.

#include <istream>
#include <optional>
#include <ostream>
#include <string>

#include "server/options.h"
#include "server/password_hash.h"
#include "server/user_store.h"

namespace orvalis::server {

// The password of add-user without PASSWORD: one line of in, without its
// line end (a carriage return too); nullopt when none was read or it is not
// 1 to 19 bytes.
std::optional<std::string> readPasswordLine(std::istream& in);

// Runs options.command; results go to out, failures to err. The exit
// status: 0 done, 1 failed.
int runAdminCommand(const Options& options, UserStore& store, const PasswordHasher& hasher,
                    std::ostream& out, std::ostream& err);

}  // namespace orvalis::server
