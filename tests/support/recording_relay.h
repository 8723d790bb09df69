#pragma once
// A TCP relay on loopback that keeps every byte it carries, both ways, so
// that a test can look at what crossed the wire. One connection at a time.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>

namespace orvalis::testing {

class RecordingRelay {
 public:
  explicit RecordingRelay(std::uint16_t targetPort) : target_(targetPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sa;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
        ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&sa), &len) != 0)
      throw std::runtime_error("relay cannot listen");
    port_ = ntohs(sa.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~RecordingRelay() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
  }
  RecordingRelay(const RecordingRelay&) = delete;
  RecordingRelay& operator=(const RecordingRelay&) = delete;

  std::uint16_t port() const { return port_; }
  std::string carried() const {
    std::lock_guard guard(lock_);
    return carried_;
  }

 private:
  void serve() {
    for (int client; (client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC)) >= 0;) {
      const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
      sockaddr_in sa{};
      sa.sin_family = AF_INET;
      sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      sa.sin_port = htons(target_);
      if (::connect(server, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) pump(client, server);
      ::close(server);
      ::close(client);
    }
  }

  // Both ways until either side closes.
  void pump(int a, int b) {
    std::array<pollfd, 2> fds{{{a, POLLIN, 0}, {b, POLLIN, 0}}};
    std::array<char, 4096> buffer{};
    while (::poll(fds.data(), fds.size(), 10'000) > 0) {
      for (std::size_t i = 0; i < 2; ++i) {
        if (fds[i].revents == 0) continue;
        const ssize_t n = ::recv(fds[i].fd, buffer.data(), buffer.size(), 0);
        if (n <= 0) return;
        {
          std::lock_guard guard(lock_);
          carried_.append(buffer.data(), static_cast<std::size_t>(n));
        }
        if (::send(fds[1 - i].fd, buffer.data(), static_cast<std::size_t>(n), MSG_NOSIGNAL) != n)
          return;
      }
    }
  }

  std::uint16_t target_, port_ = 0;
  int listener_ = -1;
  mutable std::mutex lock_;
  std::string carried_;
  std::thread thread_;
};

}  // namespace orvalis::testing
