#pragma once
// Socket: one blocking IPv4 TCP socket, shared by the threads of a call or
// a listener. It is closed exactly once; closing it from another thread
// shuts it down first, which wakes a thread blocked on it in recv, accept
// or connect, and the descriptor itself is released when the last such
// thread has left. Sends are serialised so that each message stays
// contiguous on the stream.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <optional>
#include <span>
#include <sys/types.h>
#include <vector>

namespace orvalis::net {

// What a private call does to each whole message it sends and receives.
class SocketSeal {
 public:
  virtual ~SocketSeal() = default;
  // The bytes to send in place of one whole message; called under the
  // socket's send lock, so messages leave in the order they were sealed.
  virtual std::vector<std::uint8_t> seal(std::span<const std::uint8_t> message) = 0;
  // The message a received one carries (header and payload as on the
  // wire); nullopt when it does not open, which ends the call.
  virtual std::optional<std::vector<std::uint8_t>> open(std::span<const std::uint8_t> message) = 0;
};

// Liveness of a call connection: after livenessIdle without traffic the
// peer is probed livenessProbes times, livenessInterval apart, and data
// left unacknowledged for livenessUserTimeout breaks the connection; so a
// peer that vanished without a word is noticed whether or not voice flows.
inline constexpr std::chrono::seconds livenessIdle{10};
inline constexpr std::chrono::seconds livenessInterval{3};
inline constexpr int livenessProbes = 4;
inline constexpr std::chrono::seconds livenessUserTimeout{20};

// Voice is marked Expedited Forwarding (DSCP 46) in the IP header, which
// home routers and Wi-Fi queue first.
inline constexpr int voiceTypeOfService = 0xB8;
// Bytes a call connection may hold in the kernel not yet sent. Beyond it a
// send waits, so that behind a slow link voice waits in the call's bounded
// queue, where the oldest is dropped, instead of piling up here as delay.
inline constexpr int voiceUnsentLimit = 512;

class Socket {
 public:
  // A new IPv4 stream socket; nullptr when none could be created. Its
  // messages leave as soon as they are sent (no Nagle delay): every
  // exchange on them is a request and its answer, or a call.
  static std::shared_ptr<Socket> createTcp();

  explicit Socket(int fd);
  ~Socket();
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;

  using Clock = std::chrono::steady_clock;

  // From now on connect, send and recv give up with ETIMEDOUT once the
  // deadline has passed, so a silent peer cannot hold a thread for ever.
  // Accept is not affected.
  void setDeadline(Clock::time_point deadline);
  void clearDeadline();

  // Shuts the socket down and releases it; later calls do nothing.
  void close();
  bool isOpen() const;

  // Connects to address (network order) and port (host order); false on
  // failure. A close from another thread aborts it.
  bool connect(std::uint32_t address, std::uint16_t port);
  // Binds to address (network order) and port (host order; 0 lets the
  // system choose) and listens.
  bool listen(std::uint32_t address, std::uint16_t port, int backlog = SOMAXCONN_DEFAULT);
  // The bound local port (host order), 0 when unknown.
  std::uint16_t localPort() const;
  // The local address (network order) of a bound or connected socket; 0
  // when unknown.
  std::uint32_t localAddress() const;
  // Waits for a connection; nullptr on failure or after close. The peer's
  // address is given in network order, its port in host order.
  std::shared_ptr<Socket> accept(std::uint32_t* peerAddress = nullptr,
                                 std::uint16_t* peerPort = nullptr);

  // From now on every message sent is sealed, and every one received must
  // open (see recvPacket). Set once, by the thread that made the handshake.
  void setSeal(std::shared_ptr<SocketSeal> seal);
  std::shared_ptr<SocketSeal> seal() const;

  // One send operation of all bytes while holding the send lock; the
  // count sent, or -1 on error. With a seal the bytes are one whole
  // message, and the count is theirs when all of its sealed form went.
  ssize_t send(std::span<const std::uint8_t> bytes);
  // The same, but waiting for the send lock and for room to send only
  // until the deadline: a thread that must not hang behind a stalled peer
  // sends this way. The count sent, which falls short (errno ETIMEDOUT)
  // when the time ran out, or -1 when nothing could be sent.
  ssize_t sendBy(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
  // One receive; the count read, 0 when the peer closed, -1 on error.
  ssize_t recv(std::span<std::uint8_t> bytes);

  // Turns on the liveness checks above; false when the system refused one.
  bool enableLiveness();
  // Makes this a call connection: sent at once, marked as voice, and with
  // little held unsent (above); false when the system refused one.
  bool enableVoiceClass();
  // Waits up to timeout until the kernel takes more to send (for a call
  // connection: until little is left unsent); true also when the socket
  // has failed or was closed, so that the next send says so.
  bool awaitRoom(std::chrono::milliseconds timeout) const;
  // Bytes written but not yet sent by the kernel; nullopt when unknown.
  std::optional<int> unsentBytes() const;
  // An integer socket option; nullopt when it cannot be read.
  std::optional<int> intOption(int level, int name) const;

  static constexpr int SOMAXCONN_DEFAULT = 16;

 private:
  std::optional<sockaddr_in> localName() const;
  // The sends themselves, the send lock held.
  ssize_t sendLocked(std::span<const std::uint8_t> bytes);
  ssize_t sendLockedBy(std::span<const std::uint8_t> bytes, Clock::time_point deadline);
  // Marks a system call in progress; false when the socket is closed.
  bool enter(int& fd) const;
  void leave() const;
  // Waits for the events within the deadline, if one is set; false (errno
  // ETIMEDOUT) when it passed first.
  bool awaitReady(int fd, short events) const;
  // Milliseconds left before the deadline: -1 without one, 0 when passed.
  int remainingMs() const;

  // The send lock: a mutex that can also be waited for with a time limit.
  // Not std::timed_mutex, whose steady-clock wait ThreadSanitizer cannot
  // follow.
  class SendLock {
   public:
    void lock();
    bool lockUntil(Clock::time_point deadline);
    void unlock();

   private:
    std::mutex lock_;
    std::condition_variable freed_;
    bool held_ = false;
  };

  mutable std::mutex stateLock_;  // guards fd_, users_, closed_
  mutable int users_ = 0;
  mutable int fd_ = -1;  // released by the last thread to leave
  bool closed_ = false;
  std::atomic<Clock::rep> deadline_{0};  // 0: none
  SendLock sendLock_;
  std::shared_ptr<SocketSeal> seal_;  // guarded by stateLock_
};

using SocketPtr = std::shared_ptr<Socket>;

// A socket variable shared between threads (the current call or listening
// socket): assigning and reading it is safe from any thread.
class SharedSocket {
 public:
  SocketPtr get() const;
  void set(SocketPtr socket);
  SocketPtr exchange(SocketPtr socket);
  // Closes the socket held, if any, and empties the variable.
  void closeAndReset();
  // The same, but only while the variable still holds expected; true when
  // it did.
  bool closeAndResetIf(const SocketPtr& expected);
  explicit operator bool() const { return get() != nullptr; }

 private:
  mutable std::mutex lock_;
  SocketPtr socket_;
};

}  // namespace orvalis::net
