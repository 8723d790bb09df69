#pragma once
// The listening side shared by the server and the relay: the acceptor, the
// I/O threads, the cap on open connections and the stop signals.

#include <unistd.h>

#include <asio.hpp>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <utility>

namespace orvalis::server {

using asio::ip::tcp;

// A connection just accepted: its descriptor, owned (closed when dropped),
// and the peer's address.
class AcceptedSocket {
 public:
  AcceptedSocket(int fd, const tcp::endpoint& peer) : fd_(fd), peer_(peer) {}
  ~AcceptedSocket() {
    if (fd_ >= 0) ::close(fd_);
  }
  AcceptedSocket(AcceptedSocket&& other) noexcept
      : fd_(std::exchange(other.fd_, -1)), peer_(other.peer_) {}
  AcceptedSocket& operator=(AcceptedSocket&&) = delete;
  AcceptedSocket(const AcceptedSocket&) = delete;
  AcceptedSocket& operator=(const AcceptedSocket&) = delete;

  int fd() const { return fd_; }
  const tcp::endpoint& peer() const { return peer_; }
  int release() { return std::exchange(fd_, -1); }

 private:
  int fd_;
  tcp::endpoint peer_;
};

// Counts one open connection while it lives.
class Admission {
 public:
  explicit Admission(std::shared_ptr<std::atomic<std::size_t>> count) : count_(std::move(count)) {}
  ~Admission() {
    if (count_) count_->fetch_sub(1);
  }
  Admission(Admission&&) noexcept = default;
  Admission& operator=(Admission&&) = delete;
  Admission(const Admission&) = delete;
  Admission& operator=(const Admission&) = delete;

 private:
  std::shared_ptr<std::atomic<std::size_t>> count_;
};

struct ListenSettings {
  std::uint32_t address = 0;  // network order
  std::uint16_t port = 0;
  std::size_t maxConnections = 10'000;
};

class Listener {
 public:
  // Gets each admitted connection, non-blocking, on the acceptor's strand.
  using Accepted = std::function<void(AcceptedSocket, Admission)>;

  // Binds and listens at once (throws std::system_error when it cannot),
  // and takes over SIGINT and SIGTERM.
  Listener(const ListenSettings& settings, Accepted accepted);

  std::uint16_t port() const { return port_; }
  asio::io_context& context() { return io_; }
  // The connection as a socket running on a strand of its own.
  tcp::socket adopt(AcceptedSocket accepted);

  // Accepts until SIGINT or SIGTERM; several I/O threads run the context.
  void run();

 private:
  void accept();
  void acceptWaiting();

  static constexpr int ioThreads = 2;

  asio::io_context io_;
  asio::strand<asio::io_context::executor_type> strand_;
  tcp::acceptor acceptor_;
  asio::signal_set signals_;
  asio::steady_timer retry_;
  Accepted accepted_;
  std::size_t maxConnections_;
  std::shared_ptr<std::atomic<std::size_t>> open_ = std::make_shared<std::atomic<std::size_t>>(0);
  std::uint16_t port_ = 0;
};

// Raises the soft limit of open files to the hard limit; the new soft limit.
std::uint64_t raiseFileLimit();

}  // namespace orvalis::server
