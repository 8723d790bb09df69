#include "store/regular_file.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace orvalis::store {

FileBytes readRegularFile(const std::string& path, std::size_t maxBytes) {
  FileBytes out;
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a writer.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    out.status = errno == ENOENT ? FileRead::missing : FileRead::refused;
    return out;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    ::close(fd);
    out.status = FileRead::refused;
    return out;
  }
  out.status = FileRead::ok;
  std::array<char, 4096> buf{};
  while (out.bytes.size() < maxBytes) {
    const std::size_t want = std::min(buf.size(), maxBytes - out.bytes.size());
    const ssize_t n = ::read(fd, buf.data(), want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) out.status = FileRead::failed;
    if (n <= 0) break;
    out.bytes.append(buf.data(), static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

}  // namespace orvalis::store
