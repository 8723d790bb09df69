#pragma once
// Salted slow password hashes. The cost applies to new hashes only: a
// stored hash carries its own parameters, so verifying keeps working after
// the cost is changed.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "server/options.h"

namespace orvalis::server {

class PasswordHasher {
 public:
  // Throws std::runtime_error when the crypto library cannot start.
  explicit PasswordHasher(HashCost cost);

  // The encoded hash with its salt and parameters; nullopt when hashing
  // failed (out of memory).
  std::optional<std::string> hash(std::string_view password) const;
  bool verify(const std::string& hash, std::string_view password) const;
  // Costs as much as a verify that fails, for logins to unknown numbers:
  // answering those faster would tell which numbers exist.
  void verifyNothing(std::string_view password) const;

 private:
  unsigned long long opsLimit_;
  std::size_t memLimit_;
  std::string dummy_;  // a hash of a random password, made once with the current cost
};

}  // namespace orvalis::server
