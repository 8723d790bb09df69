#pragma once
// The call relay: for phones that callers cannot reach (no public address,
// no port mapping), it keeps one control connection per logged-in number,
// takes callers' connections on their behalf, asks the callee over its
// control connection for a data connection per call, and then passes the
// bytes of the two through unchanged. Callers speak the ordinary peer
// protocol and cannot tell. Its own messages are in net/relay_wire.h.

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "net/relay_wire.h"
#include "server/listener.h"
#include "server/transaction_log.h"
#include "server/user_store.h"

namespace orvalis::server {

struct CallRelaySettings {
  ListenSettings listen;
  // The address announced for callers; 0: the one the phone reached.
  std::uint32_t publicAddress = 0;
  std::size_t maxCalls = 500;  // relayed and waiting calls together
  std::chrono::milliseconds firstMessage{5'000};
  std::chrono::milliseconds calleeWait{5'000};  // for the callee's data connection
};

class CallRelay {
 public:
  // Listens at once; throws std::system_error when it cannot.
  CallRelay(const CallRelaySettings& settings, UserStore& store, TransactionLog& log);
  ~CallRelay();

  std::uint16_t port() const { return listener_.port(); }
  // Relays until SIGINT or SIGTERM.
  void run();

 private:
  class Opening;
  class Control;
  class Pipe;
  struct Waiting;
  struct TokenHash {
    std::size_t operator()(const net::RelayToken& t) const;
  };

  // The first message of a connection decides what it is.
  void opened(tcp::socket socket, Admission admission, const net::CPacket& first);
  void hello(std::shared_ptr<Control> control, const net::RelayHelloBody& body);
  void call(tcp::socket caller, Admission admission, const net::CPacket& request);
  void data(tcp::socket callee, Admission admission, const net::RelayToken& token);
  void controlEnded(std::int32_t number, const Control* control);
  void callEnded(const Pipe& pipe);
  std::shared_ptr<Waiting> takeWaiting(const net::RelayToken& token);

  CallRelaySettings settings_;
  UserStore& store_;
  TransactionLog& log_;
  // Ticket checks may wait on a database: never on an I/O thread.
  asio::thread_pool storeWorkers_{2};
  std::mutex lock_;
  std::unordered_map<std::int32_t, std::shared_ptr<Control>> controls_;  // guarded by lock_
  std::unordered_map<net::RelayToken, std::shared_ptr<Waiting>, TokenHash> waiting_;  // lock_
  std::size_t calls_ = 0;  // guarded by lock_: waiting and relayed
  // Last, so that it goes first: calls still running when it stops end
  // while everything they report to is there.
  Listener listener_;
};

// Sets what every relayed connection needs: no delay for small messages
// (voice), and the liveness checks of call connections, so that a vanished
// phone frees its side; a call's two sides (voice) keep the voice marking.
void tuneRelayed(tcp::socket& socket, bool voice);

}  // namespace orvalis::server
