#pragma once
// The request of a server connection, from the bytes received so far: a
// framed message (first byte the marker 12) or an HTTP GET whose path is
// the message's hex text, as an HTTP proxy forwards it. Pure functions;
// the connection calls readRequest again whenever more bytes arrive. A load
// balancer's "GET /health" is told whether the store answers.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "net/packet.h"

namespace orvalis::server {

// The longest HTTP request head accepted (request line and headers).
inline constexpr std::size_t maxHttpHead = 8192;

enum class ReadState { needMore, binary, http, health, malformed };

struct ReadResult {
  ReadState state = ReadState::needMore;
  net::CPacket request;  // valid for binary and http
};

ReadResult readRequest(std::span<const std::uint8_t> bytes);

// The answer's bytes on the wire in the form the request came in (binary
// or http).
std::vector<std::uint8_t> encodeAnswer(const net::CPacket& answer, ReadState form);

// The answer to GET /health: 200 when the store answers, 503 otherwise.
std::vector<std::uint8_t> encodeHealth(bool healthy);

}  // namespace orvalis::server
