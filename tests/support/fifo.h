#pragma once
// A FIFO in place of a file the phone reads, and a bounded wait for a reader
// that must not block on it.

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <stdexcept>

namespace orvalis::testing {

inline void makeFifo(const std::filesystem::path& path) {
  if (::mkfifo(path.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
}

// Runs read and tells whether it returned within a few seconds. A read stuck
// on the FIFO is then freed by a writer that comes and goes, so that the
// test ends either way.
inline bool returnsDespiteFifo(const std::filesystem::path& fifo,
                              const std::function<void()>& read) {
  std::future<void> done = std::async(std::launch::async, read);
  if (done.wait_for(std::chrono::seconds(5)) == std::future_status::ready) {
    done.get();
    return true;
  }
  while (done.wait_for(std::chrono::milliseconds(50)) != std::future_status::ready) {
    const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) ::close(fd);
  }
  done.get();
  return false;
}

}  // namespace orvalis::testing
