#pragma once
// What several fuzz targets share: a failed check that libFuzzer reports
// as a crash, a local socket pair, and a scratch directory in memory.
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "net/socket.h"

// Aborts with the failed condition, so the input is kept as a crash.
#define FUZZ_CHECK(cond)                                                        \
  do {                                                                          \
    if (!(cond)) {                                                              \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                             \
    }                                                                           \
  } while (false)

namespace orvalis::fuzz {

// The near end for the code under test; the far end, which the target
// plays, as a plain descriptor.
struct SocketPair {
  net::SocketPtr near;
  int far = -1;
  SocketPair() {
    std::array<int, 2> fds{-1, -1};
    FUZZ_CHECK(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds.data()) == 0);
    near = std::make_shared<net::Socket>(fds[0]);
    far = fds[1];
  }
  ~SocketPair() { ::close(far); }
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
};

// Writes all bytes, then ends the sending direction: the reader sees the
// input, then the end of the connection.
inline void sendAndEnd(int fd, const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;  // libFuzzer's timer signal
    if (n <= 0) break;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  ::shutdown(fd, SHUT_WR);
}

// A directory for the life of the process, in memory where possible: the
// file targets save with a sync for every input.
class ScratchDir {
 public:
  ScratchDir() {
    const std::filesystem::path base = std::filesystem::is_directory("/dev/shm")
                                           ? "/dev/shm"
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "orvalis-fuzz-XXXXXX").string();
    FUZZ_CHECK(::mkdtemp(pattern.data()) != nullptr);
    path_ = pattern;
  }
  ~ScratchDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::filesystem::path file(const std::string& name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Everything the peer sends until it closes.
inline std::vector<std::uint8_t> recvUntilClosed(int fd) {
  std::vector<std::uint8_t> bytes;
  std::array<std::uint8_t, 4096> buf{};
  for (;;) {
    const ssize_t n = ::recv(fd, buf.data(), buf.size(), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return bytes;
    bytes.insert(bytes.end(), buf.begin(), buf.begin() + n);
  }
}

inline std::vector<std::uint8_t> readBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void writeBytes(const std::filesystem::path& path, const std::uint8_t* data,
                       std::size_t size) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace orvalis::fuzz
