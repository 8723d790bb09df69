#pragma once
// The account server: each connection carries one request, framed or as an
// HTTP GET, and gets one answer. Sockets run on the listener's I/O threads,
// which also answer what needs no waiting (the test request, look-ups in a
// local store). The rest is handed once to a bounded worker pool, which
// sends the answer itself: one pool for the requests that hash a password,
// one for the others, so neither a slow hash nor a queue of them holds up
// other connections or a user look-up.

#include <atomic>
#include <chrono>
#include <cstddef>

#include "server/listener.h"
#include "server/request_handler.h"
#include "server/request_reader.h"
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
  void accept(AcceptedSocket accepted, Admission admission);
  // Works on a request and logs it; on any thread.
  Outcome serve(const net::CPacket& request, const Peer& peer);
  void logMalformed(const Peer& peer);
  void stopWorkers();

  ServerSettings settings_;
  RequestHandler& handler_;
  TransactionLog& log_;
  Listener listener_;
  // After the listener: queued work holding connections goes first.
  asio::thread_pool hashWorkers_;
  asio::thread_pool quickWorkers_{2};
  // Requests queued for or in a hash; past the bound they are refused at
  // once instead of holding a connection while the queue grows.
  std::atomic<int> hashWaiting_{0};
};

}  // namespace orvalis::server
