#pragma once
// CBind: the thread that listens for incoming calls on the phone's own
// port. Each accepted connection's first message decides: a call request
// starts an incoming call, or is answered busy; anything else is closed.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "net/call_host.h"

namespace orvalis::net {

// A connection that has not sent its first message by then is closed, so
// that a silent program cannot keep the phone from receiving calls.
inline constexpr std::chrono::milliseconds firstMessageLimit{5'000};
inline constexpr int listenBacklog = 10;

// Call state idle, no call socket, listener stopped, no port to refresh.
void resetNetState(CallState& call);
// Closes the call and listening sockets, then resetNetState. The listener
// thread ends with it.
void stopNetwork(CallState& call);

class CBind {
 public:
  // resetNetState, then the thread starts.
  CBind(CallHost& host, std::chrono::milliseconds firstMessageWait = firstMessageLimit);
  // Waits for the thread: stopNetwork must have closed the listening socket.
  ~CBind();
  CBind(const CBind&) = delete;
  CBind& operator=(const CBind&) = delete;

  // The thread has ended: stopped, or it could not listen.
  bool ended() const { return ended_.load(); }
  // Waits until the listener listens or has ended, at most limit; true
  // when it did in time.
  bool waitSettled(std::chrono::milliseconds limit);

 private:
  void run();
  void serve(SocketPtr connection);
  void endListener();
  void settle();

  CallHost& host_;
  CallState& call_;
  const std::chrono::milliseconds firstMessageWait_;
  SocketPtr listening_;
  std::atomic<bool> ended_{false};
  std::mutex settleLock_;
  std::condition_variable settled_;
  bool isSettled_ = false;  // guarded by settleLock_
  std::thread thread_;  // last: starts once everything above is ready
};

}  // namespace orvalis::net
