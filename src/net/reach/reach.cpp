#include "net/reach/reach.h"

#include <arpa/inet.h>

namespace orvalis::net {

std::string_view reachName(Reach reach) {
  switch (reach) {
    case Reach::direct: return "direct";
    case Reach::natpmp: return "natpmp";
    case Reach::upnp: return "upnp";
    case Reach::relay: return "relay";
    case Reach::forwarded: return "forwarded";
    case Reach::none: break;
  }
  return "none";
}

bool isPublicAddress(std::uint32_t address) {
  const std::uint32_t a = ntohl(address);
  const auto in = [a](std::uint32_t net, int bits) {
    return (a >> (32 - bits)) == (net >> (32 - bits));
  };
  return !(in(0x00000000, 8) || in(0x0A000000, 8) || in(0x7F000000, 8) ||
           in(0xAC100000, 12) || in(0xC0A80000, 16) || in(0x64400000, 10) ||
           in(0xA9FE0000, 16) || a >= 0xE0000000);
}

}  // namespace orvalis::net
