// IPv4 addresses: this machine's own, and their dotted-quad text.

#include "net/address.h"

#include <arpa/inet.h>
#include <array>
#include <memory>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalis::net {

std::uint32_t localHostAddress() {
  std::array<char, 256> name{};
  if (::gethostname(name.data(), name.size() - 1) != 0) return 0;
  name.back() = '\0';  // gethostname need not terminate a truncated name

  addrinfo hints{};
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (::getaddrinfo(name.data(), nullptr, &hints, &found) != 0) return 0;
  const std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> owner(found, &::freeaddrinfo);
  for (const addrinfo* a = found; a != nullptr; a = a->ai_next) {
    if (a->ai_family == AF_INET && a->ai_addr != nullptr) {
      return reinterpret_cast<const sockaddr_in*>(a->ai_addr)->sin_addr.s_addr;
    }
  }
  return 0;
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
