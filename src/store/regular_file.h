#pragma once
// Reading the phone's own files. Any of them may have been replaced by a
// FIFO or a device, whose open or read could block the phone for good: only
// regular files are read, and the open itself never waits.

#include <cstddef>
#include <string>

namespace orvalis::store {

enum class FileRead {
  ok,       // bytes hold the start of the file
  missing,  // there is no such file
  refused,  // not a regular file, or it could not be opened
  failed,   // a read failed; bytes hold what came before it
};

struct FileBytes {
  FileRead status = FileRead::missing;
  std::string bytes;
};

// Reads at most maxBytes from the start of the regular file at path.
FileBytes readRegularFile(const std::string& path, std::size_t maxBytes);

}  // namespace orvalis::store
