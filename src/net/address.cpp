// IPv4 addresses: this machine's own, and their dotted-quad text.

#include "net/address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>

namespace orvalis::net {

bool isLoopback(std::uint32_t address) { return (ntohl(address) >> 24) == 127; }

std::uint32_t localHostAddress() {
  ifaddrs* list = nullptr;
  if (::getifaddrs(&list) != 0) return 0;
  const std::unique_ptr<ifaddrs, decltype(&::freeifaddrs)> owner(list, &::freeifaddrs);
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    const std::uint32_t address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr;
    if (address != 0 && !isLoopback(address)) return address;
  }
  return 0;
}

std::uint32_t sourceAddressTo(std::uint32_t address, std::uint16_t port) {
  // Connecting a datagram socket only picks the route and the source.
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port == 0 ? 9 : port);
  sockaddr_in local{};
  socklen_t len = sizeof local;
  const bool ok = ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0 &&
                  ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  ::close(fd);
  return ok ? local.sin_addr.s_addr : 0;
}

std::string formatAddress(std::uint32_t address) {
  in_addr in{};
  in.s_addr = address;
  std::array<char, INET_ADDRSTRLEN> text{};
  if (::inet_ntop(AF_INET, &in, text.data(), text.size()) == nullptr) return {};
  return text.data();
}

std::optional<std::uint32_t> parseAddress(std::string_view text) {
  // inet_pton stops at a NUL, which would let "1.2.3.4\0junk" through.
  if (text.find('\0') != std::string_view::npos) return std::nullopt;
  const std::string terminated(text);
  in_addr in{};
  if (::inet_pton(AF_INET, terminated.c_str(), &in) != 1) return std::nullopt;
  return in.s_addr;
}

}  // namespace orvalis::net
