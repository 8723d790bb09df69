#pragma once
// RelayLink: the control connection a phone keeps to its server's call
// relay when callers cannot reach it otherwise. It says who it is with the
// login's ticket, then waits for the relay to ask for a data connection per
// caller; each data connection is handed on for examination as if the
// caller had connected directly. A lost connection is made again, with
// back-off, until the link is dropped.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

#include "net/relay_wire.h"
#include "net/requests.h"
#include "net/socket.h"

namespace orvalis::net {

inline constexpr std::chrono::milliseconds relayConnectLimit{5'000};
inline constexpr std::chrono::seconds relayBackOffFirst{1};
inline constexpr std::chrono::seconds relayBackOffLast{30};

class RelayLink {
 public:
  // A data connection whose caller's bytes follow, from the peerCall on.
  using Incoming = std::function<void(SocketPtr)>;

  enum class State : std::int32_t {
    connecting = 0,  // also between attempts
    welcomed = 1,    // the relay takes this phone's calls
    refused = 2,     // the ticket is not current: a new login must come first
  };

  // Starts at once.
  RelayLink(RelayEndpoint relay, std::int32_t number, const Ticket& ticket, Incoming incoming);
  // Closes the connection and waits for the thread.
  ~RelayLink();
  RelayLink(const RelayLink&) = delete;
  RelayLink& operator=(const RelayLink&) = delete;

  const RelayEndpoint& relay() const { return relay_; }
  std::int32_t number() const { return number_; }
  State state() const { return state_.load(); }
  // Where callers reach this phone, as the relay said; zero until welcomed.
  RelayEndpoint callersUse() const;
  // The ticket of the latest login, used when the connection is made again.
  void setTicket(const Ticket& ticket);
  // Connections the relay asked for so far.
  std::uint32_t dataConnections() const { return opened_.load(); }

 private:
  void run();
  // One control connection, from connect to its end.
  void session();
  void openData(const RelayToken& token);
  // Waits for the back-off or the stop; false when stopped.
  bool pause(std::chrono::seconds delay);

  const RelayEndpoint relay_;
  const std::int32_t number_;
  const Incoming incoming_;
  std::atomic<State> state_{State::connecting};
  std::atomic<std::uint32_t> opened_{0};
  mutable std::mutex lock_;
  std::condition_variable wake_;
  bool stopping_ = false;    // guarded by lock_
  Ticket ticket_{};          // guarded by lock_
  RelayEndpoint callersUse_; // guarded by lock_
  SharedSocket control_;
  SharedSocket data_;  // a data connection being opened, so a drop aborts it
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
