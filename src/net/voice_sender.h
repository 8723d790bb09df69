#pragma once
// The voice messages of one call on their way out. The capture thread
// queues them and never waits on the network; a thread of the sender's own
// sends them in order, each whole. Behind a stalled peer the queue keeps
// the newest: the oldest are dropped, and when a spurt's first message goes
// the next one of that spurt takes over its peerVoiceFirst code, so that
// the far end still sees where the spurt starts.

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/packet.h"
#include "net/socket.h"

namespace orvalis::net {

// A bounded first-in first-out queue of voice messages; not thread-safe.
class VoiceQueue {
 public:
  explicit VoiceQueue(std::size_t capacity);
  // Adds the message, dropping the oldest when full; false when one was
  // dropped.
  bool push(const CPacket& message);
  // Takes the oldest; false when empty.
  bool pop(CPacket& message);
  bool empty() const { return count_ == 0; }

 private:
  std::vector<CPacket> slots_;  // a ring: count_ messages from head_ on
  std::size_t head_ = 0;
  std::size_t count_ = 0;
};

class VoiceSender {
 public:
  // 8 messages are at least 160 ms of speech: enough to ride out a short
  // hold-up without letting the delay grow behind a stalled peer.
  static constexpr std::size_t defaultCapacity = 8;

  explicit VoiceSender(SocketPtr socket, std::size_t capacity = defaultCapacity);
  // Stops.
  ~VoiceSender();
  VoiceSender(const VoiceSender&) = delete;
  VoiceSender& operator=(const VoiceSender&) = delete;

  // Any thread; takes a short lock and returns.
  void post(const CPacket& message);
  // Ends and joins the thread; messages still queued are not sent. A send
  // in progress is waited for: close the socket first to cut it short.
  void stop();
  // Messages dropped so far because the queue was full.
  std::uint64_t dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  void run();

  SocketPtr socket_;
  std::mutex lock_;  // guards queue_, stopping_
  std::condition_variable posted_;
  VoiceQueue queue_;
  bool stopping_ = false;
  std::atomic<std::uint64_t> dropped_{0};
  std::thread thread_;  // last: starts once everything above is ready
};

// The current call's sender, published by the call thread for the capture
// thread: assigning and reading it is safe from any thread.
class SharedVoiceSender {
 public:
  std::shared_ptr<VoiceSender> get() const;
  void set(std::shared_ptr<VoiceSender> sender);
  // Empties the variable only while it still holds expected.
  void resetIf(const std::shared_ptr<VoiceSender>& expected);

 private:
  mutable std::mutex lock_;
  std::shared_ptr<VoiceSender> sender_;
};

}  // namespace orvalis::net
