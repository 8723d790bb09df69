#pragma once
// The account server: each connection carries one request, framed or as an
// HTTP GET, and gets one answer. Sockets run on the listener's I/O threads;
// the request itself runs on bounded worker pools: one for the requests
// that hash a password, one for the rest, so neither a slow hash nor a
// queue of them holds up other connections or a user look-up.

#include <chrono>
#include <cstddef>

#include "server/listener.h"
#include "server/request_handler.h"
#include "server/transaction_log.h"

namespace orvalis::server {

struct ServerSettings {
  ListenSettings listen;
  std::chrono::milliseconds timeout{10'000};  // to receive the request; to send the answer
  std::size_t workers = 2;                    // for requests that hash a password
};

class Server {
 public:
  // Listens at once; throws std::system_error when it cannot.
  Server(const ServerSettings& settings, RequestHandler& handler, TransactionLog& log);
  ~Server();

  std::uint16_t port() const { return listener_.port(); }
  // Serves until SIGINT or SIGTERM.
  void run();

 private:
  class Connection;
  void stopWorkers();

  ServerSettings settings_;
  RequestHandler& handler_;
  TransactionLog& log_;
  Listener listener_;
  // After the listener: queued work holding connections goes first.
  asio::thread_pool hashWorkers_;
  asio::thread_pool quickWorkers_{2};
};

}  // namespace orvalis::server
