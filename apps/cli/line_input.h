#pragma once
// Lines from a file descriptor, waited for with a time limit so that the
// headless phone can keep its tick going between commands.

#include <string>

namespace orvalis::cli {

class LineInput {
 public:
  enum class Status { line, timeout, end };

  // stopFd, when given, ends the input as soon as it becomes readable
  // (a signal to quit), whatever lines are still unread.
  explicit LineInput(int fd, int stopFd = -1) : fd_(fd), stopFd_(stopFd) {}

  // The next line without its line end. timeoutMs < 0 waits for ever.
  Status next(std::string& line, int timeoutMs);

 private:
  bool takeBufferedLine(std::string& line);

  int fd_;
  int stopFd_;
  bool stopped_ = false;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace orvalis::cli
