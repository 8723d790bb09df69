#pragma once
// The binary header (version 2 of the PROXY protocol) that a load balancer
// puts before a connection's own bytes to name the client it forwards.
// Reading it is a pure function of the bytes received so far.

#include <cstddef>
#include <cstdint>
#include <span>

namespace orvalis::server {

enum class ProxyState {
  needMore,   // every byte so far fits a header that has not ended yet
  absent,     // the connection starts with something else
  malformed,  // a header, but not one to accept
  local,      // the balancer's own connection (a health check): no client
  proxied,    // a TCP client over IPv4: source and destination are set
};

struct ProxyHeader {
  ProxyState state = ProxyState::needMore;
  std::size_t length = 0;  // bytes the header takes, for local and proxied
  // Host byte order (198.51.100.7 is 0xC6336407), unlike the network order
  // of net::formatAddress and Peer: convert with htonl before handing on.
  std::uint32_t source = 0;
  std::uint16_t sourcePort = 0;
  std::uint32_t destination = 0;
  std::uint16_t destinationPort = 0;
};

// The 16 fixed bytes plus room for the longest address block (216 bytes,
// two UNIX paths) and some extensions; a header declaring more is refused
// rather than waited for, so a bogus length cannot stall the connection.
inline constexpr std::size_t maxProxyHeader = 16 + 512;

ProxyHeader readProxyHeader(std::span<const std::uint8_t> bytes);

}  // namespace orvalis::server
