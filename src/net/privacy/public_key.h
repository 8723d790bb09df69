#pragma once
// A phone's long-term public key (X25519), as the server keeps and hands it.

#include <array>
#include <cstddef>
#include <cstdint>

namespace orvalis::net {

inline constexpr std::size_t publicKeySize = 32;
using PublicKey = std::array<std::uint8_t, publicKeySize>;

}  // namespace orvalis::net
