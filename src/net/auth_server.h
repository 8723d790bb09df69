#pragma once
// CAuthServer: the transaction thread. One sweep over the transaction slots
// in index order performs every queued request on its own connection to
// the server (directly, through SOCKS5, through the HTTP tunnel or through
// the gate, as the settings say), then the thread ends.

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <thread>

#include "net/auth_slot.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "net/socket.h"
#include "store/cnf_data.h"
#include "store/server_keys.h"

namespace orvalis::net {

// Connecting and exchanging together: a server that accepts and never
// answers must not hold the sweep, later requests and the shutdown.
inline constexpr std::chrono::milliseconds transactionTimeLimit{10'000};

// Opens a connection to the server by the route of the settings'
// connectServer, kept in current; 0 on success. Through the HTTP tunnel it
// reaches the proxy, which takes requests as GETs, not the server's bytes.
int openServerRoute(const store::CnfData& cnf, SharedSocket& current, Deadline deadline);

// The server the settings reach, as its key is pinned: the gate's address
// on that route, the server's otherwise.
store::ServerId serverOf(const store::CnfData& cnf);

// Sends the slot's request by the route of the settings' connectServer and
// reads the answer into the slot; true when answered. With keys, over TLS
// where the route carries it (see runTls); a server whose key differs from
// the pinned one fails the slot with keyRefused, its request unsent. The slot's state is
// the caller's to publish, once it has read what it needs of the answer.
// The transaction's socket is kept in current while it runs, so that
// another thread can abort it, and is closed at the end.
bool runTransaction(AuthSlot& slot, const store::CnfData& cnf, SharedSocket& current,
                    std::chrono::milliseconds timeLimit = transactionTimeLimit,
                    store::ServerKeys* keys = nullptr);

// The phone's standing with its server, shared by the phone and its
// sweeps: the generation of the server settings, which moves on when they
// name another server, and the ticket of the latest login under it.
class ServerSession {
 public:
  std::uint64_t generation() const;
  // The settings are about to name another server: its ticket is forgotten.
  void advance();
  // Kept only while generation is still the current one.
  void setTicket(std::uint64_t generation, const Ticket& ticket);
  // None when no login succeeded under generation or it is past.
  std::optional<Ticket> ticket(std::uint64_t generation) const;

 private:
  mutable std::mutex lock_;
  std::uint64_t generation_ = 0;  // guarded by lock_
  std::optional<Ticket> ticket_;  // guarded by lock_
};

class CAuthServer {
 public:
  // Starts the sweep at once over slots, on a copy of cnf. authThread goes
  // to sweeping while it runs and back to none when it has ended. With a
  // session, the sweep works for the generation current at its start: a
  // request that carries the ticket gets that generation's as it is sent
  // (and fails unsent without one), and a successful login's ticket becomes
  // it. Without one, requests go as they were built.
  CAuthServer(std::span<AuthSlot> slots, const store::CnfData& cnf,
              std::atomic<AuthThread>& authThread,
              std::chrono::milliseconds timeLimit = transactionTimeLimit,
              ServerSession* session = nullptr, store::ServerKeys* keys = nullptr);
  // Waits for the sweep to end.
  ~CAuthServer();
  CAuthServer(const CAuthServer&) = delete;
  CAuthServer& operator=(const CAuthServer&) = delete;

  // Fails the transaction under way and every one the sweep has not
  // reached yet; for shutting the phone down.
  void abort();

 private:
  void sweep();
  // Writes the session's ticket into a request that carries one; false
  // when there is none to write.
  bool takeTicket(AuthSlot& slot);

  std::span<AuthSlot> slots_;
  // The settings as the sweep began: every request of a sweep goes the same
  // way, whatever the user applies meanwhile.
  std::shared_ptr<const store::CnfData> cnf_;
  std::atomic<AuthThread>& authThread_;
  const std::chrono::milliseconds timeLimit_;
  ServerSession* const session_;
  const std::uint64_t generation_;
  store::ServerKeys* const keys_;
  std::atomic<bool> aborted_{false};
  SharedSocket current_;
  std::thread thread_;  // last: starts once everything above is ready
};

// A logout with the ticket given, by settings the phone has stopped using,
// started at once on a thread of its own: no sweep of the new settings
// holds it back or carries the ticket elsewhere.
class CServerLogout {
 public:
  CServerLogout(const store::CnfData& cnf, const Ticket& ticket,
                std::chrono::milliseconds timeLimit = transactionTimeLimit,
                store::ServerKeys* keys = nullptr);
  bool finished() const { return thread_.load() == AuthThread::none; }
  // Fails it if still under way; for shutting the phone down.
  void abort() { sweep_->abort(); }

 private:
  AuthSlot slot_;
  std::atomic<AuthThread> thread_{AuthThread::starting};
  std::unique_ptr<CAuthServer> sweep_;  // last: waited for first
};

}  // namespace orvalis::net
