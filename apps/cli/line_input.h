#pragma once
// Lines from a file descriptor, waited for with a time limit so that the
// headless phone can keep its tick going between commands.

#include <string>

namespace orvalis::cli {

class LineInput {
 public:
  enum class Status { line, timeout, end };

  explicit LineInput(int fd) : fd_(fd) {}

  // The next line without its line end. timeoutMs < 0 waits for ever.
  Status next(std::string& line, int timeoutMs);

 private:
  bool takeBufferedLine(std::string& line);

  int fd_;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace orvalis::cli
