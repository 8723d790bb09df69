#pragma once
// IPv4 addresses: this machine's own, and their dotted-quad text.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace orvalis::net {

// True for 127.0.0.0/8 (address in network order).
bool isLoopback(std::uint32_t address);

// This machine's IPv4 address (network order) for other hosts: that of the
// first interface that is up and not loopback; 0 when there is none. The
// host name is no guide: Debian-like systems resolve it to 127.0.1.1.
std::uint32_t localHostAddress();

// The local address (network order) the system would use to reach address
// and port (host order); no packet is sent. 0 when there is no route.
std::uint32_t sourceAddressTo(std::uint32_t address, std::uint16_t port);

// Dotted-quad text of an address in network order.
std::string formatAddress(std::uint32_t address);
// The address (network order) of a dotted quad; nothing for other text.
std::optional<std::uint32_t> parseAddress(std::string_view text);

}  // namespace orvalis::net
