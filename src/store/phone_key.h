#pragma once
// The phone's long-term secret key, kept in the file "phone-key" beside the
// settings: 64 hex digits and a newline, readable by its user alone. The
// public key that goes with it is what the server hands to callers.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::store {

inline constexpr std::string_view phoneKeyFile = "phone-key";
using PhoneSecret = std::array<std::uint8_t, 32>;

// nullopt when the file is missing or does not hold a key.
std::optional<PhoneSecret> loadPhoneSecret(const std::string& path);
// Written atomically with mode 0600; false when it could not be.
bool savePhoneSecret(const std::string& path, const PhoneSecret& secret);

}  // namespace orvalis::store
