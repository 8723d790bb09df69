#include "server/listener.h"

#include <arpa/inet.h>
#include <sys/resource.h>

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
  port_ = acceptor_.local_endpoint().port();
}

void Listener::accept() {
  acceptor_.async_accept(asio::make_strand(io_), [this](std::error_code ec, tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor_.is_open()) return;
    if (ec) {
      // Out of descriptors or memory: let connections end before retrying
      // instead of spinning.
      retry_.expires_after(std::chrono::milliseconds(50));
      retry_.async_wait([this](std::error_code waitError) {
        if (!waitError) accept();
      });
      return;
    }
    if (open_->fetch_add(1) >= maxConnections_) {
      open_->fetch_sub(1);
      std::error_code ignored;
      socket.close(ignored);
    } else {
      accepted_(std::move(socket), Admission(open_));
    }
    accept();
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
