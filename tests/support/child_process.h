#pragma once
// A program the tests start and stop themselves: a server, a relay or a
// proxy on loopback. Its standard output and error are collected by a
// reader thread so that the test can wait for a line such as
// "listening on 40123".

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/subprocess.h"

namespace orvalis::testing {

class ChildProcess {
 public:
  ChildProcess(std::string program, std::vector<std::string> args, std::string workDir = ".") {
    std::array<int, 2> out{}, err{};
    if (::pipe2(out.data(), O_CLOEXEC) != 0 || ::pipe2(err.data(), O_CLOEXEC) != 0)
      throw std::runtime_error("pipe failed");
    pid_ = spawnProgram(program, args, workDir, {-1, out[1], err[1]});
    ::close(out[1]);
    ::close(err[1]);
    if (pid_ < 0) {
      ::close(out[0]);
      ::close(err[0]);
      throw std::runtime_error("cannot start " + program);
    }
    reader_ = std::thread([this, o = out[0], e = err[0]] { collect(o, e); });
  }

  ~ChildProcess() {
    stop();
    if (reader_.joinable()) reader_.join();
  }

  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Waits for a line of standard output that starts with prefix and returns
  // the rest of it; nullopt when the time ran out or the program ended.
  std::optional<std::string> waitForLine(std::string_view prefix,
                                         std::chrono::milliseconds timeout) {
    std::unique_lock lock(lock_);
    std::optional<std::string> found;
    changed_.wait_for(lock, timeout, [&] {
      found = lineStarting(prefix);
      return found.has_value() || outputClosed_;
    });
    if (!found) found = lineStarting(prefix);
    return found;
  }

  // Ends the program (SIGTERM, SIGKILL after 5 s) and returns its exit
  // status, or 128 + the signal that ended it.
  int stop() {
    if (pid_ <= 0) return status_;
    ::kill(pid_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      if (reap(WNOHANG)) return status_;
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ::kill(pid_, SIGKILL);
    reap(0);
    return status_;
  }

  pid_t pid() const { return pid_; }

  std::string outText() const {
    std::lock_guard lock(lock_);
    return out_;
  }
  std::string errText() const {
    std::lock_guard lock(lock_);
    return err_;
  }

 private:
  bool reap(int flags) {
    int status = 0;
    if (::waitpid(pid_, &status, flags) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
  }

  std::optional<std::string> lineStarting(std::string_view prefix) const {
    std::size_t start = 0;
    while (start < out_.size()) {
      const std::size_t end = out_.find('\n', start);
      if (end == std::string::npos) break;
      const std::string_view line(out_.data() + start, end - start);
      if (line.starts_with(prefix)) return std::string(line.substr(prefix.size()));
      start = end + 1;
    }
    return std::nullopt;
  }

  void collect(int outFd, int errFd) {
    std::array<pollfd, 2> fds{pollfd{outFd, POLLIN, 0}, pollfd{errFd, POLLIN, 0}};
    int open = 2;
    std::array<char, 4096> buffer{};
    while (open > 0) {
      if (::poll(fds.data(), fds.size(), -1) < 0) continue;
      for (std::size_t i = 0; i < fds.size(); ++i) {
        if (fds[i].fd < 0 || fds[i].revents == 0) continue;
        const ssize_t n = ::read(fds[i].fd, buffer.data(), buffer.size());
        if (n <= 0) {
          ::close(fds[i].fd);
          fds[i].fd = -1;
          --open;
          continue;
        }
        std::lock_guard lock(lock_);
        (i == 0 ? out_ : err_).append(buffer.data(), static_cast<std::size_t>(n));
        changed_.notify_all();
      }
    }
    std::lock_guard lock(lock_);
    outputClosed_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int status_ = -1;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::string out_;
  std::string err_;
  bool outputClosed_ = false;
  std::thread reader_;
};

// A port that was free on every address a moment ago, for programs that
// cannot be told to choose their own. It is picked below the range the kernel
// takes client ports from, so that no connection made meanwhile by a test
// running beside this one can take it before the program binds it.
inline std::uint16_t freePort() {
  std::random_device seed;
  std::uniform_int_distribution<int> pick(20000, 32000);
  for (int attempt = 0; attempt < 100; ++attempt) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    sa.sin_port = htons(static_cast<std::uint16_t>(pick(seed)));
    const bool free = ::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    if (free) return ntohs(sa.sin_port);
  }
  return 0;
}

// Waits until something accepts connections on 127.0.0.1:port.
inline bool waitForPort(std::uint16_t port, std::chrono::milliseconds timeout) {
  const auto until = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < until) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(port);
    const bool ok = ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(fd);
    if (ok) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace orvalis::testing
