#pragma once
// Replacing a file so that a crash or a full disk never leaves it half
// written: write a temporary file beside it, flush it, rename it over.

#include <cstdint>
#include <span>
#include <string>
#include <sys/types.h>

namespace orvalis::store {

// The temporary file used while replacing path.
std::string tempPathFor(const std::string& path);

// Writes bytes to path atomically with the given mode. On failure the old
// file (if any) is left unchanged and false is returned; the one exception is
// a failed sync of the directory after the rename, where path already holds
// the new bytes but their survival of a crash is not assured (also false).
bool writeFileAtomically(const std::string& path, std::span<const std::uint8_t> bytes,
                         mode_t mode);

}  // namespace orvalis::store
