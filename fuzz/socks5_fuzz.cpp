// The SOCKS5 dialogue against a proxy that answers with any bytes. The
// connection is made only when the replies are a whole acceptable
// dialogue, and then the first byte after the connect reply is still
// unread: it belongs to the target's first message.
#include <arpa/inet.h>
#include <sys/socket.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <span>
#include <thread>
#include <vector>

#include "fuzz_support.h"
#include "net/socks5.h"

using namespace orvalis::net;

namespace {

// What the dialogue should conclude from the proxy's bytes, read as the
// protocol lays them out: method choice, auth status, connect reply.
bool acceptable(std::span<const std::uint8_t> r, bool withAuth, std::size_t& used) {
  std::size_t at = 0;
  auto take = [&](std::size_t n) {
    if (r.size() - at < n) return false;
    at += n;
    return true;
  };
  if (!take(2) || r[1] != (withAuth ? socks5MethodPassword : socks5MethodNone)) return false;
  if (withAuth && (!take(2) || r[at - 1] != 0)) return false;
  if (!take(socks5ReplyHead) || r[at - 4] != 0) return false;
  std::size_t rest = 0;
  switch (r[at - 2]) {
    case 0x01: rest = 5; break;
    case 0x03: rest = r[at - 1] + 2u; break;
    case 0x04: rest = 17; break;
    default: return false;
  }
  if (!take(rest)) return false;
  used = at;
  return true;
}

// A proxy on loopback whose connections are played with plain descriptors,
// so that it can end its sending side alone. It runs on one thread for the
// whole run: a thread for each input would pile up the sanitizers' records
// of ended threads until the run is out of memory.
class Proxy {
 public:
  Proxy() {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    FUZZ_CHECK(::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd_, 4) == 0);
    FUZZ_CHECK(::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) == 0);
    port_ = ntohs(addr.sin_port);
    std::thread([this] { serve(); }).detach();
  }

  std::uint16_t port() const { return port_; }

  // The replies for the next connection.
  void expect(std::span<const std::uint8_t> replies) {
    std::lock_guard lock(lock_);
    replies_.assign(replies.begin(), replies.end());
    busy_ = true;
  }
  // Waits until the proxy has seen the connection closed.
  void waitDone() {
    std::unique_lock lock(lock_);
    done_.wait(lock, [this] { return !busy_; });
  }

 private:
  // The proxy sends everything at once and ends: the client must take
  // only what each step asks for.
  void serve() {
    for (;;) {
      int accepted = -1;
      do {
        accepted = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
      } while (accepted < 0 && errno == EINTR);
      FUZZ_CHECK(accepted >= 0);
      std::vector<std::uint8_t> replies;
      {
        std::lock_guard lock(lock_);
        replies = replies_;
      }
      orvalis::fuzz::sendAndEnd(accepted, replies.data(), replies.size());
      orvalis::fuzz::recvUntilClosed(accepted);
      ::close(accepted);
      std::lock_guard lock(lock_);
      busy_ = false;
      done_.notify_all();
    }
  }

  int fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  std::uint16_t port_ = 0;
  std::mutex lock_;
  std::condition_variable done_;
  std::vector<std::uint8_t> replies_;
  bool busy_ = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Proxy& proxy = *new Proxy;  // lives as long as its thread
  if (size < 1) return 0;
  const bool withAuth = (data[0] & 1) != 0;
  const std::span<const std::uint8_t> replies(data + 1, size - 1);

  orvalis::store::CnfData cnf;
  cnf.socks5Host = htonl(INADDR_LOOPBACK);
  cnf.socks5Port = proxy.port();
  cnf.socks5Auth = withAuth ? 1 : 0;
  cnf.socks5User = "user";
  cnf.socks5UserLen = 4;

  proxy.expect(replies);
  SocketPtr socket;
  const int result = socks5Connect(socket, cnf, htonl(0x0A000001), 3393,
                                   Socket::Clock::now() + std::chrono::seconds(5));
  std::size_t used = 0;
  const bool expected = acceptable(replies, withAuth, used);
  FUZZ_CHECK(result == (expected ? 0 : 1));
  if (expected) {
    std::uint8_t next = 0;
    const ssize_t n = socket->recv(std::span(&next, 1));
    FUZZ_CHECK(used < replies.size() ? n == 1 && next == replies[used] : n == 0);
  }
  if (socket) socket->close();
  proxy.waitDone();
  return 0;
}
