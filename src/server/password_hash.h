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

 private:
  unsigned long long opsLimit_;
  std::size_t memLimit_;
};

}  // namespace orvalis::server
