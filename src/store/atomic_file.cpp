// Replace a file in one step: a crash leaves either the old file or the new
// one, never a truncated or missing file.

#include "store/atomic_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace orvalis::store {

namespace {

// Owns a file descriptor; close() reports whether the kernel accepted it.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { if (fd_ >= 0) ::close(fd_); }

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }
  bool close() { return ::close(std::exchange(fd_, -1)) == 0; }

 private:
  int fd_;
};

bool writeAll(int fd, std::span<const std::uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return true;
}

std::string parentDir(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

// Filesystems that cannot sync a directory answer EINVAL; that is not a
// failure.
bool syncDirectory(const std::string& dir) {
  Fd fd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.valid()) return false;
  if (::fsync(fd.get()) != 0 && errno != EINVAL) return false;
  return fd.close();
}

bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         mode_t mode, DirSync syncDir) {
  // mkostemp picks a name no other writer holds and creates it exclusively.
  std::string temp = path + ".XXXXXX";
  Fd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.valid()) return false;
  // The mode is set before any byte is written, whatever the umask.
  const bool ok = ::fchmod(fd.get(), mode) == 0 && writeAll(fd.get(), bytes) &&
                  ::fsync(fd.get()) == 0 && fd.close() &&
                  ::rename(temp.c_str(), path.c_str()) == 0;
  if (!ok) {
    ::unlink(temp.c_str());
    return false;
  }
  // Only the durability of the rename is at stake here, not the save.
  syncDir(parentDir(path));
  return true;
}

}  // namespace orvalis::store
