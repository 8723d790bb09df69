#pragma once
// A program driven line by line, like a user at a terminal: the test writes
// lines to its standard input and waits for lines of its standard output.
// Several of them can run side by side (phones calling each other). Its
// standard error goes to the test's own, so sanitizer reports stay visible.

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "support/subprocess.h"

namespace orvalis::testing {

class InteractiveProcess {
 public:
  using Millis = std::chrono::milliseconds;

  InteractiveProcess(const std::string& program, const std::vector<std::string>& args,
                     const std::string& workDir = ".") {
    std::array<int, 2> in{}, out{};
    if (::pipe2(in.data(), O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    if (::pipe2(out.data(), O_CLOEXEC) != 0) {
      ::close(in[0]);
      ::close(in[1]);
      throw std::runtime_error("pipe failed");
    }
    pid_ = spawnProgram(program, args, workDir, {in[0], out[1], -1});
    ::close(in[0]);
    ::close(out[1]);
    if (pid_ < 0) {
      ::close(in[1]);
      ::close(out[0]);
      throw std::runtime_error("cannot start " + program);
    }
    input_ = in[1];
    // A program that ended early must fail the test, not kill it on write.
    ::signal(SIGPIPE, SIG_IGN);
    reader_ = std::thread([this, fd = out[0]] { collect(fd); });
  }

  ~InteractiveProcess() {
    finish(Millis(10'000));
    if (reader_.joinable()) reader_.join();
  }

  InteractiveProcess(const InteractiveProcess&) = delete;
  InteractiveProcess& operator=(const InteractiveProcess&) = delete;

  // Writes one line; false when the program no longer reads.
  bool send(std::string_view line) {
    if (input_ < 0) return false;
    std::string text(line);
    text += '\n';
    std::size_t done = 0;
    while (done < text.size()) {
      const ssize_t n = ::write(input_, text.data() + done, text.size() - done);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // The number of complete lines so far: a mark to wait from.
  std::size_t mark() const {
    std::lock_guard lock(lock_);
    return lines_.size();
  }

  // Waits for a line at index from or later that contains text and returns
  // its index; nullopt when the time ran out or the output ended first.
  std::optional<std::size_t> waitForLine(std::size_t from, std::string_view text,
                                         Millis timeout) {
    std::unique_lock lock(lock_);
    std::optional<std::size_t> found;
    changed_.wait_for(lock, timeout, [&] {
      found = findLine(from, text);
      return found.has_value() || closed_;
    });
    if (!found) found = findLine(from, text);
    return found;
  }

  std::string line(std::size_t index) const {
    std::lock_guard lock(lock_);
    return index < lines_.size() ? lines_[index] : std::string();
  }

  // The output from line index from on, unfinished line included.
  std::string outputSince(std::size_t from) const {
    std::lock_guard lock(lock_);
    std::string text;
    for (std::size_t i = from; i < lines_.size(); ++i) text += lines_[i] + '\n';
    return text + partial_;
  }

  // The running program's process id; -1 once it has ended.
  pid_t pid() const { return pid_; }

  // Sends the program a signal, as a user's Ctrl-C or a shutdown would.
  void signal(int number) {
    if (pid_ > 0) ::kill(pid_, number);
  }

  // Closes the input, waits up to timeout for the program to end (then
  // kills it) and returns its exit status, or 128 + the ending signal.
  int finish(Millis timeout) {
    if (input_ >= 0) {
      ::close(input_);
      input_ = -1;
    }
    if (pid_ <= 0) return status_;
    const auto until = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < until) {
      if (reap(WNOHANG)) return status_;
      std::this_thread::sleep_for(Millis(10));
    }
    ::kill(pid_, SIGKILL);
    reap(0);
    return status_;
  }

 private:
  std::optional<std::size_t> findLine(std::size_t from, std::string_view text) const {
    for (std::size_t i = from; i < lines_.size(); ++i)
      if (lines_[i].find(text) != std::string::npos) return i;
    return std::nullopt;
  }

  bool reap(int flags) {
    int status = 0;
    if (::waitpid(pid_, &status, flags) != pid_) return false;
    status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    pid_ = -1;
    return true;
  }

  void collect(int fd) {
    std::array<char, 4096> buffer{};
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) != 0;) {
      if (n < 0) {
        if (errno == EINTR) continue;
        break;
      }
      std::lock_guard lock(lock_);
      partial_.append(buffer.data(), static_cast<std::size_t>(n));
      for (std::size_t eol; (eol = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, eol));
        partial_.erase(0, eol + 1);
      }
      changed_.notify_all();
    }
    ::close(fd);
    std::lock_guard lock(lock_);
    closed_ = true;
    changed_.notify_all();
  }

  pid_t pid_ = -1;
  int status_ = -1;
  int input_ = -1;
  mutable std::mutex lock_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;  // complete lines, guarded by lock_
  std::string partial_;             // a line still without its end
  bool closed_ = false;
  std::thread reader_;
};

}  // namespace orvalis::testing
