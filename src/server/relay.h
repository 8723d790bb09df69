#pragma once
// Relay mode: every accepted connection is joined to a new connection to
// one fixed target and bytes are copied both ways until either side ends,
// which closes both. Lets phones behind a firewall reach the server
// through a host they can reach.

#include <chrono>

#include "server/listener.h"
#include "server/transaction_log.h"

namespace orvalis::server {

struct RelaySettings {
  ListenSettings listen;
  std::uint32_t targetAddress = 0;  // network order
  std::uint16_t targetPort = 0;
  std::chrono::milliseconds idleTimeout{10'000};
};

class Relay {
 public:
  // Listens at once; throws std::system_error when it cannot.
  Relay(const RelaySettings& settings, TransactionLog& log);

  std::uint16_t port() const { return listener_.port(); }
  // Relays until SIGINT or SIGTERM.
  void run() { listener_.run(); }

 private:
  class Session;

  RelaySettings settings_;
  TransactionLog& log_;
  Listener listener_;
};

}  // namespace orvalis::server
