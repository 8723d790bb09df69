#pragma once
// WAV files in the phone's one format (8000 Hz, 16-bit, mono linear PCM):
// parsing from bytes, building bytes, and loading/saving on paths. The
// virtual microphone plays such files and the virtual speaker writes them.

#include <array>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

namespace orvalis::audio {

inline constexpr std::size_t wavHeaderBytes = 44;

struct WavRead {
  std::vector<std::int16_t> samples;
  std::string error;  // empty when the file was read
  bool ok() const { return error.empty(); }
};

// Accepts any chunk order and unknown chunks (odd sizes padded to even).
// A data chunk that claims more bytes than the file holds is cut to what is
// there, so a recording that was never closed still reads; anything in
// another format is refused with a message saying what it is.
WavRead parseWav(std::span<const std::uint8_t> bytes);

// The canonical 44-byte header for `sampleCount` samples; sizes beyond
// what the format can say are saturated.
std::array<std::uint8_t, wavHeaderBytes> wavHeader(std::size_t sampleCount);

// Header followed by the samples, little-endian.
std::vector<std::uint8_t> buildWav(std::span<const std::int16_t> samples);

WavRead loadWav(const std::filesystem::path& path);
// Empty on success, else what went wrong.
std::string saveWav(const std::filesystem::path& path, std::span<const std::int16_t> samples);

}  // namespace orvalis::audio
