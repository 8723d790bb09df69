// Closing a socket shared by threads, and address text.

#include "net/socket.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>
#include <vector>

#include "net/address.h"
#include "net/packet_io.h"
#include "support/socket_pair.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// The result of work that must finish once woken. A hang is reported and
// ends the program, since the stuck thread could never be joined.
template <class T>
T finished(std::future<T>& work) {
  if (work.wait_for(5s) != std::future_status::ready) {
    std::fputs("a blocked call was not woken by close()\n", stderr);
    std::abort();
  }
  return work.get();
}

bool fdValid(int fd) { return ::fcntl(fd, F_GETFD) != -1; }

TEST(Socket, CloseFromAnotherThreadWakesRecvAndAccept) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
  Socket near(fds[0]);
  Socket far(fds[1]);
  auto receiving = std::async(std::launch::async, [&] {
    CPacket p;
    return recvPacket(near, p);
  });
  std::this_thread::sleep_for(50ms);
  near.close();
  EXPECT_EQ(finished(receiving), 0);
  EXPECT_FALSE(near.isOpen());

  auto listener = Socket::createTcp();
  ASSERT_TRUE(listener && listener->listen(loopback, 0));
  auto accepting = std::async(std::launch::async, [&] { return listener->accept(); });
  std::this_thread::sleep_for(50ms);
  listener->close();
  EXPECT_EQ(finished(accepting), nullptr);
  EXPECT_EQ(listener->localPort(), 0);
}

TEST(Socket, CloseFromAnotherThreadAbortsConnect) {
  const ::orvalis::testing::FullListener listener;
  if (!listener.full) GTEST_SKIP() << "the listener's accept queue never filled";
  SharedSocket shared;
  auto connecting = std::async(std::launch::async, [&] {
    return connectTcp(shared, loopback, listener.port());
  });
  while (!shared) std::this_thread::yield();
  std::this_thread::sleep_for(100ms);
  shared.closeAndReset();
  EXPECT_EQ(finished(connecting), ConnectResult::failed);
  EXPECT_FALSE(shared);
}

TEST(Socket, ClosesDescriptorExactlyOnce) {
  for (int round = 0; round < 50; ++round) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    ::close(fds[1]);
    auto socket = std::make_shared<Socket>(fds[0]);
    std::thread other([&] { socket->close(); });
    socket->close();
    other.join();
    EXPECT_FALSE(fdValid(fds[0]));

    // The number is free now; a new descriptor likely takes it, and closing
    // the socket again must leave that one alone.
    const int reused = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(reused, 0);
    socket->close();
    socket.reset();
    EXPECT_TRUE(fdValid(reused));
    ::close(reused);
  }

  Socket never(-1);
  EXPECT_FALSE(never.isOpen());
  std::array<std::uint8_t, 1> byte{};
  EXPECT_EQ(never.send(byte), -1);
  EXPECT_EQ(never.recv(byte), -1);
  EXPECT_FALSE(never.connect(loopback, 1));
}

TEST(Socket, LivenessChecksAreSetOnTheConnection) {
  auto socket = Socket::createTcp();
  ASSERT_TRUE(socket);
  EXPECT_EQ(socket->intOption(SOL_SOCKET, SO_KEEPALIVE), 0);
  ASSERT_TRUE(socket->enableLiveness());
  EXPECT_EQ(socket->intOption(SOL_SOCKET, SO_KEEPALIVE), 1);
  EXPECT_EQ(socket->intOption(IPPROTO_TCP, TCP_KEEPIDLE), 10);
  EXPECT_EQ(socket->intOption(IPPROTO_TCP, TCP_KEEPINTVL), 3);
  EXPECT_EQ(socket->intOption(IPPROTO_TCP, TCP_KEEPCNT), 4);
  EXPECT_EQ(socket->intOption(IPPROTO_TCP, TCP_USER_TIMEOUT), 20'000);
  socket->close();
  EXPECT_FALSE(socket->enableLiveness());
  EXPECT_FALSE(socket->intOption(SOL_SOCKET, SO_KEEPALIVE));
}

TEST(Socket, SharedVariableHandsOverAndCloses) {
  SharedSocket shared;
  EXPECT_FALSE(shared);
  auto first = Socket::createTcp();
  shared.set(first);
  EXPECT_EQ(shared.get(), first);
  auto second = Socket::createTcp();
  EXPECT_EQ(shared.exchange(second), first);
  shared.closeAndReset();
  EXPECT_FALSE(shared);
  EXPECT_FALSE(second->isOpen());
  EXPECT_TRUE(first->isOpen());
}

TEST(Address, FormatsAndParsesDottedQuads) {
  EXPECT_EQ(formatAddress(loopback), "127.0.0.1");
  EXPECT_EQ(parseAddress("127.0.0.1"), loopback);
  EXPECT_EQ(parseAddress("255.255.255.255"), 0xFFFFFFFFu);
  EXPECT_EQ(parseAddress("10.1.2.3"), htonl(0x0A010203));
  for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "1.2.3.256", "a.b.c.d", " 1.2.3.4", "1.2.3.4 ",
                          "localhost", "::1"}) {
    EXPECT_FALSE(parseAddress(bad)) << bad;
  }
  EXPECT_FALSE(parseAddress(std::string_view("1.2.3.4\0x", 9)));

  const std::uint32_t own = localHostAddress();
  if (own != 0) {
    EXPECT_EQ(parseAddress(formatAddress(own)), own);
  }
}

}  // namespace
}  // namespace orvalis::net
