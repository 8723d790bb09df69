#pragma once
// The account server: each connection carries one request, framed or as an
// HTTP GET, and gets one answer. Sockets run on the listener's I/O threads,
// which also answer what needs no waiting (the test request, look-ups in a
// local store). The rest is handed to a worker pool: one for the requests
// that hash a password, one for the others, so neither a slow hash nor a
// queue of them holds up other connections or a user look-up, and one for
// health checks. A worker only works the answer out: the socket and its
// deadline belong to the connection's strand alone, which sends the answer
// unless the deadline has closed the connection first.

#include <atomic>
#include <chrono>
#include <asio/ssl/context.hpp>
#include <cstddef>
#include <memory>
#include <vector>

#include "server/listener.h"
#include "server/request_handler.h"
#include "server/request_reader.h"
#include "server/transaction_log.h"

namespace orvalis::server {

// The longest a store call of a server whose requests have this deadline
// may wait for a free database connection, and again for its statement or
// a lock. A request makes at most two calls: the answer, a hash included,
// comes well within the deadline.
std::chrono::milliseconds storeWaitFor(std::chrono::milliseconds timeout);

struct ServerSettings {
  ListenSettings listen;
  std::chrono::milliseconds timeout{10'000};  // to receive the request; to send the answer
  std::size_t workers = 2;                    // for requests that hash a password
  // Load balancers (network order) whose connections may start with a
  // PROXY protocol header: the phone's address in it stands for theirs.
  std::vector<std::uint32_t> trustedProxies;
  // When set, a connection that starts with a TLS handshake carries its
  // request inside TLS; plain ones are served as ever.
  std::shared_ptr<asio::ssl::context> tls;
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
  // Refuses a request there is no longer time for, and logs it.
  Outcome refuse(const net::CPacket& request, const Peer& peer);
  // Counts a request in for a hash; false when too many wait already.
  bool admitHash();
  void logMalformed(const Peer& peer);
  bool trusted(const Peer& peer) const;
  void stopWorkers();

  ServerSettings settings_;
  RequestHandler& handler_;
  TransactionLog& log_;
  Listener listener_;
  // After the listener: queued work holding connections goes first.
  asio::thread_pool hashWorkers_;
  asio::thread_pool quickWorkers_{2};
  asio::thread_pool healthWorker_{1};
  std::atomic<int> hashWaiting_{0};  // requests queued for or in a hash
};

}  // namespace orvalis::server
