#include "server/password_hash.h"

#include <sodium.h>

#include <array>
#include <stdexcept>

namespace orvalis::server {

PasswordHasher::PasswordHasher(HashCost cost) {
  if (sodium_init() < 0) throw std::runtime_error("libsodium failed to start");
  switch (cost) {
    case HashCost::min:
      opsLimit_ = crypto_pwhash_OPSLIMIT_MIN;
      memLimit_ = crypto_pwhash_MEMLIMIT_MIN;
      break;
    case HashCost::moderate:
      opsLimit_ = crypto_pwhash_OPSLIMIT_MODERATE;
      memLimit_ = crypto_pwhash_MEMLIMIT_MODERATE;
      break;
    case HashCost::interactive:
    default:
      opsLimit_ = crypto_pwhash_OPSLIMIT_INTERACTIVE;
      memLimit_ = crypto_pwhash_MEMLIMIT_INTERACTIVE;
      break;
  }
  std::array<unsigned char, 16> secret{};
  randombytes_buf(secret.data(), secret.size());
  dummy_ = hash(std::string_view(reinterpret_cast<const char*>(secret.data()), secret.size()))
               .value_or(std::string());
}

std::optional<std::string> PasswordHasher::hash(std::string_view password) const {
  std::array<char, crypto_pwhash_STRBYTES> out{};
  if (crypto_pwhash_str(out.data(), password.data(), password.size(), opsLimit_, memLimit_) != 0) {
    return std::nullopt;
  }
  return std::string(out.data());
}

bool PasswordHasher::verify(const std::string& hash, std::string_view password) const {
  return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

void PasswordHasher::verifyNothing(std::string_view password) const {
  if (!dummy_.empty()) (void)verify(dummy_, password);
}

}  // namespace orvalis::server
