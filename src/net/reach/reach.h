#pragma once
// How callers reach a phone, and which addresses other hosts can reach.

#include <cstdint>
#include <string_view>

namespace orvalis::net {

// The numbers are those of the status line's order of preference; kept.
enum class Reach : std::int32_t {
  none = 0,       // a private address announced: only its own network calls it
  direct = 1,     // the phone's own address is public (or the server is local)
  natpmp = 2,     // a mapping made on the router with NAT-PMP
  upnp = 3,       // a mapping made on the router with UPnP IGD
  relay = 4,      // callers go through the server's call relay
  forwarded = 5,  // the user's own forwarding ("Use NAT address")
};

// "none", "direct", "natpmp", "upnp", "relay", "forwarded".
std::string_view reachName(Reach reach);

// False for the ranges that do not route across the internet (10/8,
// 172.16/12, 192.168/16, 100.64/10 carrier-grade NAT, 169.254/16,
// loopback, 0/8) and for multicast and above; address in network order.
bool isPublicAddress(std::uint32_t address);

}  // namespace orvalis::net
