// One TCP socket shared between threads, closed exactly once.
//
// Closing shuts the socket down first: that wakes a thread blocked on it in
// recv or accept and aborts a connect in progress. The descriptor is only
// released when no thread is inside a system call on it, so its number can
// never be reused under a call still running on the old socket.

#include "net/socket.h"

#include <algorithm>
#include <arpa/inet.h>
#include <limits>
#include <cerrno>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace orvalis::net {

namespace {

sockaddr_in makeAddress(std::uint32_t address, std::uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = address;
  sa.sin_port = htons(port);
  return sa;
}

const sockaddr* asGeneric(const sockaddr_in& sa) { return reinterpret_cast<const sockaddr*>(&sa); }

bool bindAndListen(int fd, std::uint32_t address, std::uint16_t port, int backlog) {
  const int on = 1;
  if (::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) return false;
  const sockaddr_in sa = makeAddress(address, port);
  return ::bind(fd, asGeneric(sa), sizeof sa) == 0 && ::listen(fd, backlog) == 0;
}

// Waits up to timeoutMs (-1: no limit) for the events; false with errno
// ETIMEDOUT when the time ran out.
bool pollFor(int fd, short events, int timeoutMs) {
  pollfd p{.fd = fd, .events = events, .revents = 0};
  for (;;) {
    const int n = ::poll(&p, 1, timeoutMs);
    if (n > 0) return true;
    if (n == 0) {
      errno = ETIMEDOUT;
      return false;
    }
    if (errno != EINTR) return false;
  }
}

// Milliseconds left until the deadline, rounded up so that a wait never
// ends just before it; 0 when it has passed.
int msUntil(Socket::Clock::time_point deadline) {
  const auto left = deadline - Socket::Clock::now();
  if (left <= Socket::Clock::duration::zero()) return 0;
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<int>(std::min<decltype(ms)>(ms, std::numeric_limits<int>::max()));
}

bool setIntOption(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

// Waits until a non-blocking connect has finished; true when it succeeded.
bool awaitConnect(int fd, int timeoutMs) {
  if (!pollFor(fd, POLLOUT, timeoutMs)) return false;
  int error = 0;
  socklen_t len = sizeof error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0) return false;
  if (error != 0) {
    errno = error;
    return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<Socket> Socket::createTcp() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return nullptr;
  setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  return std::make_shared<Socket>(fd);
}

Socket::Socket(int fd) : fd_(fd), closed_(fd < 0) {}

Socket::~Socket() { close(); }

void Socket::close() {
  const int savedErrno = errno;
  std::lock_guard lock(stateLock_);
  if (closed_) return;
  closed_ = true;
  ::shutdown(fd_, SHUT_RDWR);
  if (users_ == 0) {
    ::close(fd_);
    fd_ = -1;
  }
  errno = savedErrno;
}

bool Socket::isOpen() const {
  std::lock_guard lock(stateLock_);
  return !closed_;
}

bool Socket::enter(int& fd) const {
  std::lock_guard lock(stateLock_);
  if (closed_) {
    errno = EBADF;
    return false;
  }
  ++users_;
  fd = fd_;
  return true;
}

void Socket::leave() const {
  const int savedErrno = errno;
  std::lock_guard lock(stateLock_);
  --users_;
  if (closed_ && users_ == 0 && fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  errno = savedErrno;
}

void Socket::setDeadline(Clock::time_point deadline) {
  // Never 0, which means no deadline.
  deadline_.store(std::max<Clock::rep>(deadline.time_since_epoch().count(), 1),
                  std::memory_order_relaxed);
}

void Socket::clearDeadline() { deadline_.store(0, std::memory_order_relaxed); }

int Socket::remainingMs() const {
  const Clock::rep deadline = deadline_.load(std::memory_order_relaxed);
  if (deadline == 0) return -1;
  return msUntil(Clock::time_point(Clock::duration(deadline)));
}

bool Socket::awaitReady(int fd, short events) const {
  const int timeoutMs = remainingMs();
  return timeoutMs < 0 || pollFor(fd, events, timeoutMs);
}

bool Socket::connect(std::uint32_t address, std::uint16_t port) {
  int fd = -1;
  if (!enter(fd)) return false;
  // A blocking connect started just after a concurrent close() would not see
  // the shutdown and could hang for minutes. So the connect is started
  // without blocking, the closed flag is checked once it is under way (any
  // later close() aborts it through the shutdown), and only then waited for.
  const int flags = ::fcntl(fd, F_GETFL);
  bool ok = flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
  if (ok) {
    const sockaddr_in sa = makeAddress(address, port);
    if (::connect(fd, asGeneric(sa), sizeof sa) != 0) {
      ok = errno == EINPROGRESS && isOpen() && awaitConnect(fd, remainingMs());
    }
    const int savedErrno = errno;
    ::fcntl(fd, F_SETFL, flags);
    errno = savedErrno;
  }
  ok = ok && isOpen();
  leave();
  return ok;
}

bool Socket::listen(std::uint32_t address, std::uint16_t port, int backlog) {
  int fd = -1;
  if (!enter(fd)) return false;
  const bool ok = bindAndListen(fd, address, port, backlog);
  leave();
  return ok;
}

std::optional<sockaddr_in> Socket::localName() const {
  int fd = -1;
  if (!enter(fd)) return std::nullopt;
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  const bool ok = ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) == 0 &&
                  sa.sin_family == AF_INET;
  leave();
  if (!ok) return std::nullopt;
  return sa;
}

std::uint16_t Socket::localPort() const {
  const auto name = localName();
  return name ? ntohs(name->sin_port) : 0;
}

std::uint32_t Socket::localAddress() const {
  const auto name = localName();
  return name ? name->sin_addr.s_addr : 0;
}

std::shared_ptr<Socket> Socket::accept(std::uint32_t* peerAddress, std::uint16_t* peerPort) {
  int fd = -1;
  if (!enter(fd)) return nullptr;
  sockaddr_in sa{};
  int client = -1;
  do {
    socklen_t len = sizeof sa;
    client = ::accept4(fd, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
    // A connection reset before it was taken is not the listener's failure.
  } while (client < 0 && (errno == EINTR || errno == ECONNABORTED) && isOpen());
  leave();
  if (client < 0) return nullptr;
  if (peerAddress != nullptr) *peerAddress = sa.sin_addr.s_addr;
  if (peerPort != nullptr) *peerPort = ntohs(sa.sin_port);
  setIntOption(client, IPPROTO_TCP, TCP_NODELAY, 1);
  return std::make_shared<Socket>(client);
}

void Socket::setSeal(std::shared_ptr<SocketSeal> seal) {
  std::lock_guard guard(stateLock_);
  seal_ = std::move(seal);
}

std::shared_ptr<SocketSeal> Socket::seal() const {
  std::lock_guard guard(stateLock_);
  return seal_;
}

namespace {

// The count a sealed message's send reports: the plain message's when its
// sealed form went whole, short of it otherwise.
ssize_t plainCount(ssize_t sent, std::size_t sealedSize, std::size_t plainSize) {
  if (sent < 0) return sent;
  if (static_cast<std::size_t>(sent) == sealedSize) return static_cast<ssize_t>(plainSize);
  return std::min<ssize_t>(sent, static_cast<ssize_t>(plainSize) - 1);
}

}  // namespace

ssize_t Socket::send(std::span<const std::uint8_t> bytes) {
  std::lock_guard sending(sendLock_);
  if (const auto sealing = seal()) {
    const std::vector<std::uint8_t> sealed = sealing->seal(bytes);
    if (sealed.empty()) return -1;
    return plainCount(sendLocked(sealed), sealed.size(), bytes.size());
  }
  return sendLocked(bytes);
}

ssize_t Socket::sendLocked(std::span<const std::uint8_t> bytes) {
  int fd = -1;
  if (!enter(fd)) return -1;
  ssize_t n = -1;
  if (awaitReady(fd, POLLOUT)) {
    do {
      n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
  }
  leave();
  return n;
}

ssize_t Socket::sendBy(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  if (!sendLock_.lockUntil(deadline)) {
    errno = ETIMEDOUT;
    return -1;
  }
  std::lock_guard sending(sendLock_, std::adopt_lock);
  if (const auto sealing = seal()) {
    const std::vector<std::uint8_t> sealed = sealing->seal(bytes);
    if (sealed.empty()) return -1;
    return plainCount(sendLockedBy(sealed, deadline), sealed.size(), bytes.size());
  }
  return sendLockedBy(bytes, deadline);
}

ssize_t Socket::sendLockedBy(std::span<const std::uint8_t> bytes, Clock::time_point deadline) {
  int fd = -1;
  if (!enter(fd)) return -1;
  // Without blocking, so that no single send can outlast the deadline; the
  // socket's own deadline, when nearer, still counts.
  std::size_t sent = 0;
  bool failed = false;
  while (sent < bytes.size() && !failed) {
    const int own = remainingMs();
    const int left = own < 0 ? msUntil(deadline) : std::min(own, msUntil(deadline));
    if (!pollFor(fd, POLLOUT, left)) break;
    const ssize_t n =
        ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0) {
      sent += static_cast<std::size_t>(n);
    } else {
      failed = errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK;
    }
  }
  leave();
  if (sent == 0 && !bytes.empty()) return -1;
  return static_cast<ssize_t>(sent);
}

ssize_t Socket::recv(std::span<std::uint8_t> bytes) {
  int fd = -1;
  if (!enter(fd)) return -1;
  ssize_t n = -1;
  if (awaitReady(fd, POLLIN)) {
    do {
      n = ::recv(fd, bytes.data(), bytes.size(), 0);
    } while (n < 0 && errno == EINTR);
  }
  leave();
  return n;
}

bool Socket::enableLiveness() {
  int fd = -1;
  if (!enter(fd)) return false;
  const auto userTimeoutMs = std::chrono::milliseconds(livenessUserTimeout).count();
  const bool ok =
      setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1) &&
      setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, static_cast<int>(livenessIdle.count())) &&
      setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, static_cast<int>(livenessInterval.count())) &&
      setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, livenessProbes) &&
      setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, static_cast<int>(userTimeoutMs));
  leave();
  return ok;
}

bool Socket::enableVoiceClass() {
  int fd = -1;
  if (!enter(fd)) return false;
  // Each is tried even when one before it was refused.
  const bool noDelay = setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
  const bool marked = setIntOption(fd, IPPROTO_IP, IP_TOS, voiceTypeOfService);
  const bool unsent = setIntOption(fd, IPPROTO_TCP, TCP_NOTSENT_LOWAT, voiceUnsentLimit);
  leave();
  return noDelay && marked && unsent;
}

bool Socket::awaitRoom(std::chrono::milliseconds timeout) const {
  int fd = -1;
  if (!enter(fd)) return true;
  const bool ready = pollFor(fd, POLLOUT, static_cast<int>(timeout.count()));
  const bool timedOut = !ready && errno == ETIMEDOUT;
  leave();
  return !timedOut;
}

std::optional<int> Socket::unsentBytes() const {
  int fd = -1;
  if (!enter(fd)) return std::nullopt;
  int bytes = 0;
  const bool ok = ::ioctl(fd, SIOCOUTQNSD, &bytes) == 0;
  leave();
  if (!ok) return std::nullopt;
  return bytes;
}

std::optional<int> Socket::intOption(int level, int name) const {
  int fd = -1;
  if (!enter(fd)) return std::nullopt;
  int value = 0;
  socklen_t len = sizeof value;
  const bool ok = ::getsockopt(fd, level, name, &value, &len) == 0;
  leave();
  if (!ok) return std::nullopt;
  return value;
}

void Socket::SendLock::lock() {
  std::unique_lock guard(lock_);
  freed_.wait(guard, [this] { return !held_; });
  held_ = true;
}

bool Socket::SendLock::lockUntil(Clock::time_point deadline) {
  std::unique_lock guard(lock_);
  if (!freed_.wait_until(guard, deadline, [this] { return !held_; })) return false;
  held_ = true;
  return true;
}

void Socket::SendLock::unlock() {
  {
    std::lock_guard guard(lock_);
    held_ = false;
  }
  freed_.notify_one();
}

SocketPtr SharedSocket::get() const {
  std::lock_guard lock(lock_);
  return socket_;
}

void SharedSocket::set(SocketPtr socket) { exchange(std::move(socket)); }

SocketPtr SharedSocket::exchange(SocketPtr socket) {
  std::lock_guard lock(lock_);
  socket_.swap(socket);
  return socket;
}

void SharedSocket::closeAndReset() {
  // Closed outside the variable's lock: close() takes the socket's own lock.
  if (const SocketPtr old = exchange(nullptr)) old->close();
}

}  // namespace orvalis::net

namespace orvalis::net {

bool SharedSocket::closeAndResetIf(const SocketPtr& expected) {
  SocketPtr old;
  {
    std::lock_guard lock(lock_);
    if (!expected || socket_ != expected) return false;
    old.swap(socket_);
  }
  old->close();
  return true;
}

}  // namespace orvalis::net
