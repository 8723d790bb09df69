#include "server/listener.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <cerrno>
#include <iostream>
#include <thread>
#include <vector>

namespace orvalis::server {

Listener::Listener(const ListenSettings& settings, Accepted accepted)
    : strand_(asio::make_strand(io_)),
      acceptor_(strand_),
      signals_(strand_, SIGINT, SIGTERM),
      retry_(strand_),
      accepted_(std::move(accepted)),
      maxConnections_(settings.maxConnections) {
  const tcp::endpoint endpoint(asio::ip::address_v4(ntohl(settings.address)), settings.port);
  acceptor_.open(endpoint.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(endpoint);
  acceptor_.listen(asio::socket_base::max_listen_connections);
  acceptor_.native_non_blocking(true);
  port_ = acceptor_.local_endpoint().port();
}

tcp::socket Listener::adopt(AcceptedSocket accepted) {
  tcp::socket socket(asio::make_strand(io_));
  std::error_code ec;
  socket.assign(tcp::v4(), accepted.fd(), ec);
  if (!ec) accepted.release();
  return socket;
}

// Waits until a connection is there, then takes what is waiting.
void Listener::accept() {
  acceptor_.async_wait(tcp::acceptor::wait_read, [this](std::error_code ec) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    acceptWaiting();
  });
}

void Listener::acceptWaiting() {
  // A few at a time, so that the thread also gets to what they started.
  constexpr int batch = 16;
  for (int i = 0; i < batch; ++i) {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    const int fd = ::accept4(acceptor_.native_handle(), reinterpret_cast<sockaddr*>(&peer),
                             &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) {
      if (errno == EINTR || errno == ECONNABORTED) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return accept();
      // Out of descriptors or memory: let connections end before retrying
      // instead of spinning.
      retry_.expires_after(std::chrono::milliseconds(50));
      retry_.async_wait([this](std::error_code waitError) {
        if (!waitError) accept();
      });
      return;
    }
    // Each answer leaves as soon as it is written.
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    AcceptedSocket accepted(
        fd, tcp::endpoint(asio::ip::address_v4(ntohl(peer.sin_addr.s_addr)), ntohs(peer.sin_port)));
    if (open_->fetch_add(1) >= maxConnections_) {
      open_->fetch_sub(1);
      continue;
    }
    // Whatever befalls one connection, the acceptor stays armed for the next.
    try {
      accepted_(std::move(accepted), Admission(open_));
    } catch (const std::exception& e) {
      std::cerr << "orvalis-server: dropped a connection: " << e.what() << '\n';
    }
  }
  asio::post(strand_, [this] {
    if (acceptor_.is_open()) acceptWaiting();
  });
}

void Listener::run() {
  signals_.async_wait([this](std::error_code ec, int) {
    if (ec) return;
    std::error_code ignored;
    acceptor_.close(ignored);
    retry_.cancel();
    io_.stop();
  });
  asio::post(strand_, [this] { accept(); });

  // A handler that throws must not take the server down with it.
  auto work = [this] {
    for (;;) {
      try {
        io_.run();
        return;
      } catch (const std::exception& e) {
        std::cerr << "orvalis-server: " << e.what() << '\n';
      }
    }
  };
  std::vector<std::thread> threads;
  for (int i = 1; i < ioThreads; ++i) threads.emplace_back(work);
  work();
  for (auto& t : threads) t.join();
}

std::uint64_t raiseFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0) return 0;
  if (limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    if (::setrlimit(RLIMIT_NOFILE, &limit) != 0) ::getrlimit(RLIMIT_NOFILE, &limit);
  }
  return limit.rlim_cur;
}

}  // namespace orvalis::server
