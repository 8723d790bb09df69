#include "server/admin.h"

#include "server/transaction_log.h"

namespace orvalis::server {

namespace {

int addUser(const Options& o, UserStore& store, const PasswordHasher& hasher, std::ostream& out,
            std::ostream& err) {
  const auto hash = hasher.hash(o.password);
  if (!hash) {
    err << "cannot hash the password\n";
    return 1;
  }
  switch (store.addUser({o.number, *hash})) {
    case StoreStatus::ok:
      out << "added " << o.number << '\n';
      return 0;
    case StoreStatus::duplicate:
      err << o.number << " exists already\n";
      return 1;
    default:
      err << "database error\n";
      return 1;
  }
}

int deleteUser(const Options& o, UserStore& store, std::ostream& out, std::ostream& err) {
  switch (store.deleteUser(o.number)) {
    case StoreStatus::ok:
      out << "deleted " << o.number << '\n';
      return 0;
    case StoreStatus::notFound:
      err << "no user " << o.number << '\n';
      return 1;
    default:
      err << "database error\n";
      return 1;
  }
}

int listUsers(UserStore& store, std::ostream& out, std::ostream& err) {
  const auto users = store.listUsers();
  if (users.status != StoreStatus::ok) {
    err << "database error\n";
    return 1;
  }
  for (const UserListing& user : users.value) {
    out << user.number;
    if (user.session) out << ' ' << endpointText(user.session->address, user.session->port);
    out << '\n';
  }
  return 0;
}

}  // namespace

std::optional<std::string> readPasswordLine(std::istream& in) {
  std::string line;
  if (!std::getline(in, line)) return std::nullopt;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (!validPassword(line)) return std::nullopt;
  return line;
}

int runAdminCommand(const Options& options, UserStore& store, const PasswordHasher& hasher,
                    std::ostream& out, std::ostream& err) {
  switch (options.command) {
    case Command::addUser:
      return addUser(options, store, hasher, out, err);
    case Command::deleteUser:
      return deleteUser(options, store, out, err);
    case Command::listUsers:
      return listUsers(store, out, err);
    default:
      err << "not an administration command\n";
      return 1;
  }
}

}  // namespace orvalis::server
