#pragma once
// IPv4 addresses: this machine's own, and their dotted-quad text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::net {

// This machine's IPv4 address (network order): the first address its host
// name resolves to; 0 when the name cannot be had or does not resolve.
std::uint32_t localHostAddress();

// Dotted-quad text of an address in network order.
std::string formatAddress(std::uint32_t address);
// The address (network order) of a dotted quad; nothing for other text.
std::optional<std::uint32_t> parseAddress(std::string_view text);

}  // namespace orvalis::net
