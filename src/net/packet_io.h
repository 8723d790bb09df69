#pragma once
// Sending and receiving whole messages, and opening TCP connections.

#include <cstdint>
#include <optional>
#include <span>

#include "net/packet.h"
#include "net/socket.h"

namespace orvalis::net {

// Results of connectTcp.
enum class ConnectResult : int { ok = 0, noSocket = 1, failed = 2 };

// Sends the 6 + length bytes in one send operation. Returns the code, or 0
// when the length is above 512 (nothing sent) or the send did not take
// every byte (the socket is then closed).
int sendPacket(Socket& socket, const CPacket& packet);
// The same, giving up at the deadline (see Socket::sendBy); a message not
// sent whole by then closes the socket like any failed send.
int sendPacketBy(Socket& socket, const CPacket& packet, Socket::Clock::time_point deadline);

// Zeroes the packet, reads a header and its payload. Returns the code
// (sign-extended), or 0 on failure; a length above 512 returns 0 with the
// socket left open.
int recvPacket(Socket& socket, CPacket& packet);

// Reads exactly buffer.size() bytes; returns that count, or -1 after the
// peer closed or an error (the socket is then closed). An empty buffer
// returns 0 at once.
int recvAll(Socket& socket, std::span<std::uint8_t> buffer);

// Creates a socket, stores it in the variable at once (also when the
// connection then fails, so that another thread can close it to abort the
// connect), and connects to address (network order) and port (host order).
// A deadline, when given, is set on the new socket before it connects.
using Deadline = std::optional<Socket::Clock::time_point>;
ConnectResult connectTcp(SocketPtr& socket, std::uint32_t address, std::uint16_t port,
                         Deadline deadline = std::nullopt);
ConnectResult connectTcp(SharedSocket& socket, std::uint32_t address, std::uint16_t port,
                         Deadline deadline = std::nullopt);

}  // namespace orvalis::net
