#pragma once
// Two connected sockets for tests that play the far end of a connection.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <memory>
#include <vector>

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

// A TCP connection over 127.0.0.1 with small buffers, so that a sender
// soon has to wait for room, often in the middle of a message, while the
// far end does not read.
inline SocketPair makeTightLoopbackConnection() {
  const int small = 4096;
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  const int client = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{.sin_family = AF_INET, .sin_port = 0, .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
  socklen_t len = sizeof sa;
  auto* generic = reinterpret_cast<sockaddr*>(&sa);
  EXPECT_EQ(::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
  EXPECT_EQ(::setsockopt(client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  EXPECT_EQ(::bind(listener, generic, len), 0);
  EXPECT_EQ(::listen(listener, 1), 0);
  EXPECT_EQ(::getsockname(listener, generic, &len), 0);
  EXPECT_EQ(::connect(client, generic, len), 0);
  const int served = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
  ::close(listener);
  return {std::make_shared<net::Socket>(client), std::make_shared<net::Socket>(served)};
}

// A loopback listener whose accept queue nonblocking probes have filled
// until one was left hanging: from then on it drops new connection
// requests, so a connect to it waits until given up. full is false when
// the queue never filled.
struct FullListener {
  FullListener() {
    listener = net::Socket::createTcp();
    EXPECT_TRUE(listener->listen(htonl(INADDR_LOOPBACK), 0, 0));
    const sockaddr_in sa{.sin_family = AF_INET, .sin_port = htons(listener->localPort()),
                         .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
    for (int i = 0; i < 32 && !full; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) return;
      probes.push_back(fd);
      if (::connect(fd, reinterpret_cast<const sockaddr*>(&sa), sizeof sa) == 0) continue;
      if (errno != EINPROGRESS) return;
      pollfd p{.fd = fd, .events = POLLOUT, .revents = 0};
      full = ::poll(&p, 1, 1000) == 0;  // a loopback handshake never takes this long
    }
  }
  ~FullListener() {
    for (int fd : probes) ::close(fd);
  }
  FullListener(const FullListener&) = delete;
  FullListener& operator=(const FullListener&) = delete;

  std::uint16_t port() const { return listener->localPort(); }

  net::SocketPtr listener;
  std::vector<int> probes;
  bool full = false;
};

}  // namespace orvalis::testing
