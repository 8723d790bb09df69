#include "server/server.h"

#include <arpa/inet.h>

#include <array>
#include <vector>

#include "net/message_codes.h"
#include "server/request_reader.h"

namespace orvalis::server {

class Server::Connection : public std::enable_shared_from_this<Connection> {
 public:
  Connection(Server& server, tcp::socket socket, Admission admission)
      : server_(server),
        socket_(std::move(socket)),
        strand_(socket_.get_executor()),
        timer_(strand_),
        admission_(std::move(admission)) {}

  const asio::any_io_executor& strand() const { return strand_; }

  void start() {
    std::error_code ec;
    const tcp::endpoint remote = socket_.remote_endpoint(ec);
    if (ec) return close();
    peer_ = {htonl(remote.address().to_v4().to_uint()), remote.port()};
    arm();
    read();
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
        server_.log_.write("number=- request=malformed answer=- peer=" +
                           endpointText(peer_.address, peer_.port));
        return close();
      default:
        break;
    }
    // The peer has said all it will; no deadline while the request is worked on.
    timer_.cancel();
    received_.clear();
    received_.shrink_to_fit();
    auto& pool =
        RequestHandler::hashes(result.request.code) ? server_.hashWorkers_ : server_.quickWorkers_;
    asio::post(pool, [self = shared_from_this(), request = result.request, form = result.state] {
      Outcome outcome = self->serve(request);
      asio::post(self->strand_,
                 [self, outcome = std::move(outcome), form] { self->answer(outcome, form); });
    });
  }

  // On a worker thread.
  Outcome serve(const net::CPacket& request) {
    Outcome outcome;
    try {
      outcome = server_.handler_.handle(request, peer_);
    } catch (const std::exception&) {
      net::CPacket failed;
      net::buildPacket(failed, net::ansFailed, 0);
      outcome = {failed, 0, 0};
    }
    if (!server_.log_.quiet()) server_.log_.write(formatTransaction(request.code, outcome, peer_));
    return outcome;
  }

  void answer(const Outcome& outcome, ReadState form) {
    if (!outcome.answer) return close();
    answerBytes_ = encodeAnswer(*outcome.answer, form);
    arm();
    asio::async_write(socket_, asio::buffer(answerBytes_),
                      [self = shared_from_this()](std::error_code ec, std::size_t) {
                        if (ec) return self->close();
                        std::error_code ignored;
                        self->socket_.shutdown(tcp::socket::shutdown_send, ignored);
                        self->drain();
                      });
  }

  // Waits for the peer to close: closing with unread input would reset
  // the connection and could destroy the answer on its way.
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
  std::array<std::uint8_t, 1024> chunk_{};
  std::vector<std::uint8_t> received_;
  std::vector<std::uint8_t> answerBytes_;
};

Server::Server(const ServerSettings& settings, RequestHandler& handler, TransactionLog& log)
    : settings_(settings),
      handler_(handler),
      log_(log),
      listener_(settings.listen,
                [this](tcp::socket socket, Admission admission) {
                  auto connection =
                      std::make_shared<Connection>(*this, std::move(socket), std::move(admission));
                  asio::post(connection->strand(), [connection] { connection->start(); });
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

}  // namespace orvalis::server
