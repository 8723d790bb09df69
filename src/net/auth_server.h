#pragma once
// CAuthServer: the transaction thread. One sweep over the transaction slots
// in index order performs every queued request on its own connection to
// the server (directly, through SOCKS5, through the HTTP tunnel or through
// the gate, as the settings say), then the thread ends.

#include <atomic>
#include <chrono>
#include <thread>

#include "net/auth_slot.h"
#include "net/socket.h"
#include "store/cnf_data.h"

namespace orvalis::net {

// Connecting and exchanging together: a server that accepts and never
// answers must not hold the sweep, later requests and the shutdown.
inline constexpr std::chrono::milliseconds transactionTimeLimit{10'000};

// Performs the slot's request by the route of the settings' connectServer
// and leaves the slot slotDone with its answer or slotFailed. The
// transaction's socket is kept in current while it runs, so that another
// thread can abort it, and is closed at the end.
void runTransaction(AuthSlot& slot, const store::CnfData& cnf, SharedSocket& current,
                    std::chrono::milliseconds timeLimit = transactionTimeLimit);

class CAuthServer {
 public:
  // Starts the sweep at once, on a copy of cnf. authThread goes to sweeping
  // while it runs and back to none when it has ended.
  CAuthServer(AuthTable& quiryAuth, const store::CnfData& cnf,
              std::atomic<AuthThread>& authThread,
              std::chrono::milliseconds timeLimit = transactionTimeLimit);
  // Waits for the sweep to end.
  ~CAuthServer();
  CAuthServer(const CAuthServer&) = delete;
  CAuthServer& operator=(const CAuthServer&) = delete;

  // Fails the transaction under way and every one the sweep has not
  // reached yet; for shutting the phone down.
  void abort();

 private:
  void sweep();

  AuthTable& quiryAuth_;
  // The settings as the sweep began: every request of a sweep goes the same
  // way, whatever the user applies meanwhile.
  store::CnfData cnf_;
  std::atomic<AuthThread>& authThread_;
  const std::chrono::milliseconds timeLimit_;
  std::atomic<bool> aborted_{false};
  SharedSocket current_;
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
