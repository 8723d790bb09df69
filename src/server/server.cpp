#include "server/server.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <vector>

#include "net/message_codes.h"

namespace orvalis::server {

namespace {

using Chunk = std::array<std::uint8_t, 1024>;

Peer peerOf(const tcp::endpoint& endpoint, int fd) {
  sockaddr_in local{};
  socklen_t len = sizeof local;
  const bool known = ::getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) == 0;
  return {htonl(endpoint.address().to_v4().to_uint()), endpoint.port(),
          known ? local.sin_addr.s_addr : 0};
}

// Closing a connection with unread input would reset it and could destroy
// the answer on its way; with nothing unread it is safe.
bool nothingUnread(int fd) {
  int unread = 0;
  return ::ioctl(fd, FIONREAD, &unread) == 0 && unread == 0;
}

}  // namespace

class Server::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, Admission admission, const Peer& peer)
      : server_(server),
        socket_(std::move(socket)),
        strand_(socket_.get_executor()),
        timer_(strand_),
        admission_(std::move(admission)),
        peer_(peer) {}

  // Goes on from what the accepting thread received, if anything.
  void start(std::span<const std::uint8_t> received) {
    if (!socket_.is_open()) return;
    arm();
    received_.assign(received.begin(), received.end());
    if (received_.empty()) return read();
    take(readRequest(received_));
  }

  // Sends what the accepting thread could not send of an answer.
  void finish(std::span<const std::uint8_t> rest) {
    if (!socket_.is_open()) return;
    answerBytes_.assign(rest.begin(), rest.end());
    write();
  }

 private:
  // A silent or slow peer is dropped when the deadline passes.
  void arm() {
    timer_.expires_after(server_.settings_.timeout);
    timer_.async_wait([self = shared_from_this()](std::error_code ec) {
      if (!ec) self->close();
    });
  }

  void close() {
    closed_ = true;
    std::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
  }

  void read() {
    socket_.async_read_some(
        asio::buffer(chunk_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
          if (ec) return self->close();
          self->received_.insert(self->received_.end(), self->chunk_.begin(),
                                 self->chunk_.begin() + static_cast<std::ptrdiff_t>(n));
          self->take(readRequest(self->received_));
        });
  }

  void take(const ReadResult& result) {
    switch (result.state) {
      case ReadState::needMore:
        return read();
      case ReadState::malformed:
        server_.logMalformed(peer_);
        return close();
      default:
        break;
    }
    received_.clear();
    received_.shrink_to_fit();
    const Route route = server_.handler_.route(result.request.code);
    if (route == Route::hash) return hash(result);
    // The peer has said all it will; no deadline while the request is worked on.
    timer_.cancel();
    if (route == Route::now) return answer(server_.serve(result.request, peer_), result.state);
    asio::thread_pool* pool = &server_.quickWorkers_;
    // Nothing else of the connection is pending while a worker has it, so
    // the worker starts the answer itself rather than handing it back.
    asio::post(*pool, [self = shared_from_this(), request = result.request, form = result.state] {
      self->answer(self->server_.serve(request, self->peer_), form);
    });
  }

  // The deadline keeps running while the request waits for a hashing
  // worker: a client that gave up is not worth the hash.
  void hash(const ReadResult& result) {
    // A quarter of the connection cap stays free of them for requests
    // answered without waiting.
    const std::size_t perWorkers = std::max<std::size_t>(server_.settings_.workers, 1) * 8;
    const std::size_t headroom =
        std::max<std::size_t>(server_.settings_.listen.maxConnections / 4 * 3, 1);
    const int limit = static_cast<int>(std::min(perWorkers, headroom));
    if (server_.hashWaiting_.fetch_add(1) >= limit) {
      server_.hashWaiting_.fetch_sub(1);
      net::CPacket failed;
      net::buildPacket(failed, net::ansFailed, 0, {});
      timer_.cancel();
      return answer({failed, 0, 0}, result.state);
    }
    deadline_ = timer_.expiry();
    asio::post(server_.hashWorkers_, [self = shared_from_this(), request = result.request,
                                      form = result.state] {
      const bool live = !self->closed_ && std::chrono::steady_clock::now() < self->deadline_;
      Outcome outcome;
      if (live) outcome = self->server_.serve(request, self->peer_);
      self->server_.hashWaiting_.fetch_sub(1);
      if (!live) return;
      asio::post(self->strand_, [self, outcome = std::move(outcome), form] {
        if (!self->closed_) self->answer(outcome, form);
      });
    });
  }

  void answer(const Outcome& outcome, ReadState form) {
    if (!outcome.answer) return close();
    answerBytes_ = encodeAnswer(*outcome.answer, form);
    write();
  }

  void write() {
    arm();
    asio::async_write(socket_, asio::buffer(answerBytes_),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        if (ec || nothingUnread(self->socket_.native_handle())) {
                          return self->close();
                        }
                        std::error_code ignored;
                        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                        self->drain();
                      });
  }

  // Waits for a peer that sent more than its request to close.
  void drain() {
    socket_.async_read_some(asio::buffer(chunk_),
                            [self = shared_from_this()](std::error_code ec, std::size_t) {
                              if (ec) return self->close();
                              self->drain();
                            });
  }

  Server& server_;
  tcp::socket socket_;
  const asio::any_io_executor strand_;
  asio::steady_timer timer_;
  Admission admission_;
  Peer peer_;
  std::atomic<bool> closed_{false};
  std::chrono::steady_clock::time_point deadline_;  // set before a hash is queued
  Chunk chunk_{};
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> answerBytes_;
};

Server::Server(const ServerSettings& settings, RequestHandler& handler, TransactionLog& log)
    : settings_(settings),
      handler_(handler),
      log_(log),
      listener_(settings.listen,
                [this](AcceptedSocket accepted, Admission admission) {
                  accept(std::move(accepted), std::move(admission));
                }),
      hashWorkers_(settings.workers) {}

Server::~Server() { stopWorkers(); }

void Server::run() {
  listener_.run();
  stopWorkers();
}

// Requests still queued are dropped, not worked through.
void Server::stopWorkers() {
  for (auto* pool : {&hashWorkers_, &quickWorkers_}) {
    pool->stop();
    pool->join();
  }
}

// Most requests have arrived by the time their connection is accepted. What
// needs no waiting is answered here and then, like a plain loop would: no
// poll, no timer, no hand-off. The rest goes on as a connection of its own.
void Server::accept(AcceptedSocket accepted, Admission admission) {
  const Peer peer = peerOf(accepted.peer(), accepted.fd());
  Chunk chunk;
  const ssize_t n = ::recv(accepted.fd(), chunk.data(), chunk.size(), 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return;
  const std::span<const std::uint8_t> received(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  if (!received.empty()) {
    const ReadResult result = readRequest(received);
    if (result.state == ReadState::malformed) return logMalformed(peer);
    if (result.state != ReadState::needMore && handler_.route(result.request.code) == Route::now) {
      const Outcome outcome = serve(result.request, peer);
      if (!outcome.answer) return;
      const auto answer = encodeAnswer(*outcome.answer, result.state);
      const ssize_t sent =
          ::send(accepted.fd(), answer.data(), answer.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
      if (sent < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return;
      const auto done = static_cast<std::size_t>(std::max<ssize_t>(sent, 0));
      if (done == answer.size() && nothingUnread(accepted.fd())) return;
      std::make_shared<Connection>(*this, listener_.adopt(std::move(accepted)),
                                   std::move(admission), peer)
          ->finish(std::span(answer).subspan(done));
      return;
    }
  }
  // Nothing else knows the connection yet, so it starts here; its handlers
  // run on its own strand.
  std::make_shared<Connection>(*this, listener_.adopt(std::move(accepted)), std::move(admission),
                               peer)
      ->start(received);
}

Outcome Server::serve(const net::CPacket& request, const Peer& peer) {
  Outcome outcome;
  try {
    outcome = handler_.handle(request, peer);
  } catch (const std::exception&) {
    net::CPacket failed;
    net::buildPacket(failed, net::ansFailed, 0);
    outcome = {failed, 0, 0};
  }
  if (!log_.quiet()) log_.write(formatTransaction(request.code, outcome, peer));
  return outcome;
}

void Server::logMalformed(const Peer& peer) {
  log_.write("number=- request=malformed answer=- peer=" + endpointText(peer.address, peer.port));
}

}  // namespace orvalis::server
