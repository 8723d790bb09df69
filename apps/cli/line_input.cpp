#include "cli/line_input.h"

#include <cerrno>
#include <poll.h>
#include <unistd.h>

#include <array>

namespace orvalis::cli {

bool LineInput::takeBufferedLine(std::string& line) {
  const auto eol = buffer_.find('\n');
  if (eol == std::string::npos) {
    if (!ended_ || buffer_.empty()) return false;
    line = std::move(buffer_);  // a last line without a line feed
    buffer_.clear();
    return true;
  }
  line = buffer_.substr(0, eol);
  buffer_.erase(0, eol + 1);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return true;
}

LineInput::Status LineInput::next(std::string& line, int timeoutMs) {
  for (;;) {
    if (stopped_) return Status::end;
    if (takeBufferedLine(line)) return Status::line;
    if (ended_) return Status::end;

    std::array<pollfd, 2> fds{pollfd{fd_, POLLIN, 0}, pollfd{stopFd_, POLLIN, 0}};
    const int ready = ::poll(fds.data(), stopFd_ >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return Status::timeout;
    if (ready < 0) {
      ended_ = true;
      continue;
    }
    if (stopFd_ >= 0 && fds[1].revents != 0) {
      stopped_ = true;
      continue;
    }
    if (fds[0].revents == 0) continue;
    std::array<char, 4096> chunk{};
    const ssize_t n = ::read(fd_, chunk.data(), chunk.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ended_ = true;
      continue;
    }
    buffer_.append(chunk.data(), static_cast<std::size_t>(n));
  }
}

}  // namespace orvalis::cli
