#pragma once
// Two connected sockets for tests that play the far end of a connection.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <array>
#include <memory>

#include "net/socket.h"

namespace orvalis::testing {

struct SocketPair {
  net::SocketPtr near, far;
};

// A local stream socket pair: the cheapest connection there is.
inline SocketPair makeSocketPair() {
  std::array<int, 2> fds{-1, -1};
  EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()), 0);
  return {std::make_shared<net::Socket>(fds[0]), std::make_shared<net::Socket>(fds[1])};
}

// A TCP connection over 127.0.0.1, for code that needs a real TCP socket.
inline SocketPair makeLoopbackConnection() {
  const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
  const net::SocketPtr listener = net::Socket::createTcp();
  EXPECT_TRUE(listener->listen(loopback, 0));
  SocketPair pair{net::Socket::createTcp(), nullptr};
  EXPECT_TRUE(pair.near->connect(loopback, listener->localPort()));
  pair.far = listener->accept();
  return pair;
}

}  // namespace orvalis::testing
