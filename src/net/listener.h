#pragma once
// CBind: the thread that listens for incoming calls on the phone's own
// port. Each accepted connection's first message decides: a call request
// starts an incoming call, or is answered busy; anything else is closed.
// Connections are examined side by side, each on a thread of its own, so
// that silent ones do not hold back a real caller; calls are still taken
// one at a time.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <list>
#include <optional>
#include <mutex>
#include <thread>

#include "net/call_host.h"
#include "net/call_owner.h"
#include "net/packet.h"

namespace orvalis::net {

// A connection that has not sent its first message by then is closed, so
// that a silent program cannot keep the phone from receiving calls.
inline constexpr std::chrono::milliseconds firstMessageLimit{5'000};
inline constexpr int listenBacklog = 10;
// The pause after a failed accept of an open listening socket.
inline constexpr std::chrono::milliseconds acceptRetryPause{100};
// Connections examined at once; any more are closed at once, so that a
// flood of silent connections costs a bounded number of threads.
inline constexpr std::size_t maxExamined = 32;

class CBind {
 public:
  // Runs on an examiner between reading a call request and taking the
  // call; tests stop the network or hang up there.
  using Hook = std::function<void()>;

  // The bind fields are reset (a call placed meanwhile is left alone), then
  // the thread starts.
  CBind(CallHost& host, std::chrono::milliseconds firstMessageWait = firstMessageLimit,
        Hook beforeTake = {});
  // Waits for the thread, which has joined its examiners: stopNetwork must
  // have closed the listening socket.
  ~CBind();
  CBind(const CBind&) = delete;
  CBind& operator=(const CBind&) = delete;

  // The thread has ended: stopped, or it could not listen.
  bool ended() const { return ended_.load(); }
  // Waits until the listener listens or has ended, at most limit; true
  // when it did in time.
  bool waitSettled(std::chrono::milliseconds limit);
  // Connections whose first message is awaited now.
  std::size_t examining() const { return awaiting_.load(); }
  // Examines a connection made elsewhere as if it had been accepted here:
  // a call relayed by the server arrives on a connection the phone opened
  // itself. Any thread; closed at once once the listener has ended.
  void adopt(SocketPtr connection);

 private:
  enum class Taken { started, refused, busy };

  // One connection under examination. The list is guarded by
  // examinersLock_; its examiner only reads the connection and sets done
  // last.
  struct Examiner {
    SocketPtr connection;
    std::thread thread;
    std::atomic<bool> done{false};
  };

  void run();
  void admit(SocketPtr connection);
  // Starts an examiner unless over the cap or stopped; examinersLock_ held.
  void startExaminer(SocketPtr connection);
  void examine(const SocketPtr& connection);
  // proven: the key a private call's caller proved it holds.
  Taken takeCall(const SocketPtr& connection, const CPacket& request,
                 const std::optional<PublicKey>& proven);
  void reapExaminers();
  void stopExaminers();
  void endListener();
  void settle();

  CallHost& host_;
  CallState& call_;
  const std::chrono::milliseconds firstMessageWait_;
  const Hook beforeTake_;
  SocketPtr listening_;
  std::mutex examinersLock_;
  std::list<Examiner> examiners_;  // guarded by examinersLock_
  bool stopped_ = false;           // guarded by examinersLock_
  std::atomic<std::size_t> awaiting_{0};  // examiners before the first message
  std::atomic<bool> ended_{false};
  std::mutex settleLock_;
  std::condition_variable settled_;
  bool isSettled_ = false;  // guarded by settleLock_
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
