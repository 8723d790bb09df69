#pragma once
// Replacing a file so that a crash or a full disk never leaves it half
// written: write a temporary file beside it, flush it, rename it over.

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

namespace orvalis::store {

// Makes the renames in dir survive a crash; false when it could not.
using DirSync = bool (*)(const std::string& dir);
bool syncDirectory(const std::string& dir);

// Writes bytes to path atomically with the given mode. On failure the old
// file (if any) is left unchanged and false is returned. The temporary file
// is unique to the call, so that several writers of one path (two phones
// sharing a directory) never write into each other's. Once the rename has
// put the new bytes in place the save counts as done, even when syncDir
// then fails: a retry would write the same bytes again.
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         mode_t mode, DirSync syncDir = syncDirectory);

}  // namespace orvalis::store
