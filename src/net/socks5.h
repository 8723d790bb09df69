#pragma once
// SOCKS5 client (RFC 1928 with the user/password method of RFC 1929).

#include <array>
#include <cstdint>
#include <span>

#include "net/packet_io.h"
#include "net/socket.h"
#include "store/cnf_data.h"

namespace orvalis::net {

inline constexpr std::uint8_t socks5MethodNone = 0x00;
inline constexpr std::uint8_t socks5MethodPassword = 0x02;
// The part of a connect reply read before its address type is known:
// version, reply code, reserved, address type and the address's first byte.
inline constexpr std::size_t socks5ReplyHead = 5;

// Connects the socket variable through the proxy of the settings
// (socks5Host:socks5Port, socks5Auth and the credentials) to address
// (network order) and port (host order). Returns 0 when connected; 1 or 2
// as connectTcp when the proxy cannot be reached; 1 for every failure in
// the proxy dialogue. A deadline covers the whole dialogue and stays on
// the socket.
int socks5Connect(SocketPtr& socket, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port, Deadline deadline = std::nullopt);
// The same on a socket created by the caller and not yet connected, which
// the caller may already have made visible to other threads so that they
// can abort the connect by closing it.
int socks5Connect(Socket& fresh, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port);
int socks5Connect(SharedSocket& socket, const store::CnfData& cnf, std::uint32_t address,
                  std::uint16_t port, Deadline deadline = std::nullopt);

// The greeting offering one method: user/password or none.
std::array<std::uint8_t, 3> socks5Greeting(bool withAuth);

// The user/password message. Both fields are always announced as 16 bytes:
// the first userLen (passwdLen) bytes of each field, then zeros. Lengths
// outside 0..16 are clamped.
std::array<std::uint8_t, 35> socks5AuthMessage(std::span<const std::uint8_t, 16> user,
                                               std::int32_t userLen,
                                               std::span<const std::uint8_t, 16> passwd,
                                               std::int32_t passwdLen);
std::array<std::uint8_t, 35> socks5AuthMessage(const store::CnfData& cnf);

// CONNECT to an IPv4 address (network order) and port (host order).
std::array<std::uint8_t, 10> socks5ConnectRequest(std::uint32_t address, std::uint16_t port);

// How many bytes of a connect reply follow its first socks5ReplyHead bytes:
// the rest of the bound address and the port. -1 for an unknown address
// type.
int socks5ReplyRest(std::span<const std::uint8_t, socks5ReplyHead> head);

}  // namespace orvalis::net
