#include "server/transaction_log.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <climits>
#include <utility>

#include "net/message_codes.h"

namespace orvalis::server {

std::string_view requestName(std::int16_t code) {
  switch (code) {
    case net::reqRegister:
      return "reqRegister";
    case net::reqDeleteUser:
      return "reqDeleteUser";
    case net::reqLogin:
      return "reqLogin";
    case net::reqLogout:
      return "reqLogout";
    case net::reqChangePasswd:
      return "reqChangePasswd";
    case net::reqFindUser:
      return "reqFindUser";
    case net::reqTestServer:
      return "reqTestServer";
    case net::reqUserKey:
      return "reqUserKey";
    default:
      return "unknown";
  }
}

std::string_view answerName(std::int16_t code) {
  switch (code) {
    case net::ansFailed:
      return "ansFailed";
    case net::ansDone:
      return "ansDone";
    case net::ansUserOffline:
      return "ansUserOffline";
    case net::ansNumberDuplicate:
      return "ansNumberDuplicate";
    case net::ansUserInvalid:
      return "ansUserInvalid";
    case net::ansUserFound:
      return "ansUserFound";
    case net::ansLoggedIn:
      return "ansLoggedIn";
    case net::ansUserKey:
      return "ansUserKey";
    default:
      return "unknown";
  }
}

std::string endpointText(std::uint32_t address, std::uint16_t port) {
  std::array<char, INET_ADDRSTRLEN> text{};
  in_addr a{};
  a.s_addr = address;
  ::inet_ntop(AF_INET, &a, text.data(), text.size());
  return std::string(text.data()) + ":" + std::to_string(port);
}

std::string formatTransaction(std::int16_t requestCode, const Outcome& outcome, const Peer& peer) {
  std::string line = "number=";
  line += outcome.number != 0 ? std::to_string(outcome.number) : std::string("-");
  line += " request=";
  line += requestName(requestCode);
  if (requestName(requestCode) == "unknown") {
    line += '(';
    line += std::to_string(requestCode);
    line += ')';
  }
  line += " answer=";
  line += outcome.answer ? answerName(outcome.answer->code) : "malformed";
  line += " peer=" + endpointText(peer.address, peer.port);
  if (outcome.target != 0) line += " target=" + std::to_string(outcome.target);
  return line;
}

TransactionLog::TransactionLog(int fd, bool quiet) : fd_(fd), quiet_(quiet) {
  if (quiet_) return;
  wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  writer_ = std::thread([this] { run(); });
}

TransactionLog::~TransactionLog() {
  if (!writer_.joinable()) return;
  {
    std::lock_guard guard(lock_);
    stopping_ = true;
  }
  // The writer may be waiting on a stalled descriptor: from now on it gives
  // up on one that takes nothing for a second.
  stop_ = true;
  const std::uint64_t one = 1;
  [[maybe_unused]] const auto n = ::write(wake_, &one, sizeof one);
  queued_.notify_one();
  writer_.join();
  if (wake_ >= 0) ::close(wake_);
}

void TransactionLog::write(std::string_view line) {
  if (quiet_) return;
  {
    std::lock_guard guard(lock_);
    if (pending_.size() + line.size() + 1 > maxQueued) {
      ++dropped_;
      return;
    }
    pending_.append(line);
    pending_.push_back('\n');
  }
  queued_.notify_one();
}

void TransactionLog::run() {
  std::string batch;
  for (;;) {
    std::size_t dropped = 0;
    bool stopping = false;
    {
      std::unique_lock guard(lock_);
      queued_.wait(guard, [this] { return stopping_ || !pending_.empty() || dropped_ > 0; });
      batch.swap(pending_);
      pending_.clear();
      dropped = std::exchange(dropped_, 0);
      stopping = stopping_;
    }
    if (!writeOut(batch)) return;
    if (dropped > 0 &&
        !writeOut("orvalis-server: " + std::to_string(dropped) +
                  " log lines dropped while the log output was stalled\n")) {
      return;
    }
    batch.clear();
    if (stopping) {
      std::lock_guard guard(lock_);
      if (pending_.empty() && dropped_ == 0) return;
    }
  }
}

bool TransactionLog::writeOut(std::string_view bytes) {
  // A socket (the journal's stream) is written without waiting; other
  // descriptors in pieces a pipe takes whole once it is writable.
  bool socket = true;
  while (!bytes.empty()) {
    std::array<pollfd, 2> fds{{{fd_, POLLOUT, 0}, {wake_, POLLIN, 0}}};
    const int ready = ::poll(fds.data(), stop_ ? 1 : 2, stop_ ? 1000 : -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready <= 0 || (fds[0].revents & (POLLERR | POLLNVAL)) != 0) return false;
    if ((fds[0].revents & (POLLOUT | POLLHUP)) == 0) continue;
    ssize_t n = -1;
    if (socket) {
      n = ::send(fd_, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n < 0 && errno == ENOTSOCK) socket = false;
    }
    if (!socket) n = ::write(fd_, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace orvalis::server
