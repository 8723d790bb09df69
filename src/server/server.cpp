#include "server/server.h"

#include <arpa/inet.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <asio/ssl.hpp>
#include <chrono>
#include <optional>
#include <vector>

#include "net/message_codes.h"
#include "server/proxy_header.h"

namespace orvalis::server {

namespace {

using Chunk = std::array<std::uint8_t, 1024>;

// A TLS record (a ClientHello) starts with this byte; framed requests start
// with the marker 12 and HTTP with a letter.
constexpr std::uint8_t tlsHandshakeRecord = 0x16;

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

enum class Unwrapped { needMore, done, malformed };

// Takes a trusted load balancer's PROXY header off the front of bytes: the
// phone it names becomes the peer. The local address stays the socket's
// own, since the call relay announced from it listens here, not on the
// balancer. A connection without a header (the balancer's own check, say)
// keeps its peer.
Unwrapped unwrapProxy(std::span<const std::uint8_t> bytes, Peer& peer, std::size_t& taken) {
  const ProxyHeader header = readProxyHeader(bytes);
  taken = 0;
  switch (header.state) {
    case ProxyState::needMore:
      return Unwrapped::needMore;
    case ProxyState::malformed:
      return Unwrapped::malformed;
    case ProxyState::absent:
      return Unwrapped::done;
    case ProxyState::local:
      taken = header.length;
      return Unwrapped::done;
    case ProxyState::proxied:
      taken = header.length;
      peer.address = htonl(header.source);
      peer.port = header.sourcePort;
      return Unwrapped::done;
  }
  return Unwrapped::malformed;
}

}  // namespace

class Server::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, Admission admission, const Peer& peer,
             bool proxyPending = false)
      : proxyPending_(proxyPending),
        server_(server),
        socket_(std::move(socket)),
        strand_(socket_.get_executor()),
        timer_(strand_),
        admission_(std::move(admission)),
        peer_(peer) {}

  // Goes on from what the accepting thread received, if anything.
  void start(std::span<const std::uint8_t> received) {
    if (!socket_.is_open()) return;
    arm(server_.settings_.timeout);
    received_.assign(received.begin(), received.end());
    if (received_.empty()) return read();
    taken();
  }

  // Sends what the accepting thread could not send of an answer.
  void finish(std::span<const std::uint8_t> rest) {
    if (!socket_.is_open()) return;
    send({rest.begin(), rest.end()});
  }

 private:
  using Clock = std::chrono::steady_clock;

  // The connection is closed when the time passes, unless it has been armed
  // again meanwhile: a deadline handler already queued when the timer was
  // re-armed finds itself outdated and leaves the connection alone.
  void arm(std::chrono::milliseconds time) {
    timer_.expires_after(time);
    timer_.async_wait([self = shared_from_this(), armed = ++armed_](std::error_code ec) {
      if (!ec && armed == self->armed_) self->expire();
    });
  }

  void expire() {
    if (healthPending_) {
      healthPending_ = false;
      return send(encodeHealth(false));
    }
    close();
  }

  void close() {
    closed_ = true;
    std::error_code ignored;
    socket_.close(ignored);
    timer_.cancel();
  }

  void read() {
    withStream([&](auto& stream) {
      stream.async_read_some(
          asio::buffer(chunk_), [self = shared_from_this()](std::error_code ec, std::size_t n) {
            if (ec) return self->close();
            self->received_.insert(self->received_.end(), self->chunk_.begin(),
                                   self->chunk_.begin() + static_cast<std::ptrdiff_t>(n));
            self->taken();
          });
    });
  }

  // What has arrived so far; a trusted balancer's header comes first.
  void taken() {
    if (proxyPending_) {
      std::size_t header = 0;
      switch (unwrapProxy(received_, peer_, header)) {
        case Unwrapped::needMore:
          return read();
        case Unwrapped::malformed:
          server_.logMalformed(peer_);
          return close();
        case Unwrapped::done:
          break;
      }
      proxyPending_ = false;
      received_.erase(received_.begin(), received_.begin() + static_cast<std::ptrdiff_t>(header));
      if (received_.empty()) return read();
    }
    if (!tls_ && server_.settings_.tls && received_.front() == tlsHandshakeRecord)
      return startTls();
    take(readRequest(received_));
  }

  // The request comes inside TLS; what has arrived so far starts the
  // handshake. A client sends nothing of its own before the server's
  // answer (there is no early data), so nothing may be left over.
  void startTls() {
    tls_.emplace(socket_, *server_.settings_.tls);
    handshake_ = std::move(received_);
    received_.clear();
    tls_->async_handshake(asio::ssl::stream_base::server, asio::buffer(handshake_),
                          [self = shared_from_this()](std::error_code ec, std::size_t used) {
                            if (ec || used != self->handshake_.size()) {
                              self->server_.logMalformed(self->peer_);
                              return self->close();
                            }
                            self->handshake_ = {};
                            self->peer_.tls = true;
                            self->read();
                          });
  }

  // The connection's byte stream: inside TLS once it has started.
  template <class F>
  void withStream(F&& f) {
    if (tls_) return f(*tls_);
    f(socket_);
  }

  void take(const ReadResult& result) {
    switch (result.state) {
      case ReadState::needMore:
        return read();
      case ReadState::malformed:
        server_.logMalformed(peer_);
        return close();
      case ReadState::health:
        return checkHealth();
      default:
        break;
    }
    received_.clear();
    received_.shrink_to_fit();
    const Route route = server_.handler_.route(result.request.code);
    if (route == Route::now) return answer(server_.serve(result.request, peer_), result.state);
    if (route == Route::hash && !server_.admitHash()) {
      return answer(server_.refuse(result.request, peer_), result.state);
    }
    work(route == Route::hash, result);
  }

  // The deadline keeps running while a worker has the request: a client
  // that gave up is not worth the work, and one whose request waited too
  // long for a worker is refused at once rather than answered late.
  void work(bool hashing, const ReadResult& result) {
    asio::thread_pool& pool = hashing ? server_.hashWorkers_ : server_.quickWorkers_;
    asio::post(pool, [self = shared_from_this(), request = result.request, form = result.state,
                      deadline = timer_.expiry(), hashing] {
      Server& server = self->server_;
      const auto left = deadline - Clock::now();
      const bool live = !self->closed_ && left > Clock::duration::zero();
      Outcome outcome;
      if (live) {
        outcome = left > server.settings_.timeout / 2 ? server.serve(request, self->peer_)
                                                      : server.refuse(request, self->peer_);
      }
      if (hashing) server.hashWaiting_.fetch_sub(1);
      if (!live) return;
      asio::post(self->strand_, [self, outcome = std::move(outcome), form] {
        if (!self->closed_) self->answer(outcome, form);
      });
    });
  }

  // A load balancer's check: 503 when the store has not answered within a
  // second, whatever it is doing.
  void checkHealth() {
    constexpr auto within = std::chrono::seconds(1);
    healthPending_ = true;
    arm(within);
    asio::post(server_.healthWorker_, [self = shared_from_this(), within] {
      // Checks that piled up behind a stuck one have been answered already.
      const bool healthy = !self->closed_ && self->server_.handler_.storeAnswers(within);
      asio::post(self->strand_, [self, healthy] {
        if (!self->healthPending_ || self->closed_) return;
        self->healthPending_ = false;
        self->send(encodeHealth(healthy));
      });
    });
  }

  void answer(const Outcome& outcome, ReadState form) {
    if (!outcome.answer) return close();
    send(encodeAnswer(*outcome.answer, form));
  }

  void send(std::vector<std::uint8_t> bytes) {
    answerBytes_ = std::move(bytes);
    arm(server_.settings_.timeout);
    if (tls_) {
      // The answer, then close_notify, so that the client can tell the end
      // of the answer from a cut connection; the deadline bounds the wait
      // for the client's own.
      return asio::async_write(*tls_, asio::buffer(answerBytes_),
                               [self = shared_from_this()](std::error_code ec, std::size_t) {
                                 if (ec) return self->close();
                                 self->tls_->async_shutdown(
                                     [self](std::error_code) { self->close(); });
                               });
    }
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

  bool proxyPending_;  // on the strand only
  Server& server_;
  tcp::socket socket_;
  const asio::any_io_executor strand_;
  asio::steady_timer timer_;
  Admission admission_;
  Peer peer_;
  // Read by workers; set on the strand.
  std::atomic<bool> closed_{false};
  // On the strand only.
  unsigned armed_ = 0;
  bool healthPending_ = false;
  Chunk chunk_{};
  std::optional<asio::ssl::stream<tcp::socket&>> tls_;
  std::vector<std::uint8_t> handshake_;  // the bytes that started TLS
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
  for (auto* pool : {&hashWorkers_, &quickWorkers_, &healthWorker_}) {
    pool->stop();
    pool->join();
  }
}

// Most requests have arrived by the time their connection is accepted. What
// needs no waiting is answered here and then, like a plain loop would: no
// poll, no timer, no hand-off. The rest goes on as a connection of its own.
void Server::accept(AcceptedSocket accepted, Admission admission) {
  Peer peer = peerOf(accepted.peer(), accepted.fd());
  Chunk chunk;
  const ssize_t n = ::recv(accepted.fd(), chunk.data(), chunk.size(), 0);
  if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return;
  std::span<const std::uint8_t> received(chunk.data(), n > 0 ? static_cast<std::size_t>(n) : 0);
  bool proxyPending = trusted(peer);
  if (proxyPending && !received.empty()) {
    std::size_t header = 0;
    const Unwrapped unwrapped = unwrapProxy(received, peer, header);
    if (unwrapped == Unwrapped::malformed) return logMalformed(peer);
    if (unwrapped == Unwrapped::done) {
      proxyPending = false;
      received = received.subspan(header);
    }
  }
  const bool tls = settings_.tls && !received.empty() && received.front() == tlsHandshakeRecord;
  if (!received.empty() && !proxyPending && !tls) {
    const ReadResult result = readRequest(received);
    if (result.state == ReadState::malformed) return logMalformed(peer);
    const bool request =
        result.state == ReadState::binary || result.state == ReadState::http;
    if (request && handler_.route(result.request.code) == Route::now) {
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
                               peer, proxyPending)
      ->start(received);
}

bool Server::trusted(const Peer& peer) const {
  return std::ranges::find(settings_.trustedProxies, peer.address) !=
         settings_.trustedProxies.end();
}

std::chrono::milliseconds storeWaitFor(std::chrono::milliseconds timeout) {
  return std::clamp<std::chrono::milliseconds>(timeout / 8, std::chrono::milliseconds(20),
                                               std::chrono::milliseconds(2000));
}

// Requests queued for or in a hash are bounded: past the bound they are
// refused at once instead of holding a connection while the queue grows.
// A quarter of the connection cap stays free of them for requests answered
// without waiting.
bool Server::admitHash() {
  const std::size_t perWorkers = std::max<std::size_t>(settings_.workers, 1) * 8;
  const std::size_t headroom = std::max<std::size_t>(settings_.listen.maxConnections / 4 * 3, 1);
  const int limit = static_cast<int>(std::min(perWorkers, headroom));
  if (hashWaiting_.fetch_add(1) < limit) return true;
  hashWaiting_.fetch_sub(1);
  return false;
}

Outcome Server::refuse(const net::CPacket& request, const Peer& peer) {
  net::CPacket failed;
  net::buildPacket(failed, net::ansFailed, 0);
  Outcome outcome{failed, 0, 0};
  if (!log_.quiet()) log_.write(formatTransaction(request.code, outcome, peer));
  return outcome;
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
