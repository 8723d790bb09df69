#pragma once
// The one audio format of the phone: linear PCM, 8000 samples per second,
// 16-bit signed, mono. The unit of work is a 20 ms frame of 160 samples,
// which the codec turns into 33 bytes and back.

#include <cstddef>
#include <cstdint>

namespace orvalis::audio {

inline constexpr std::int32_t sampleRate = 8000;
inline constexpr std::size_t frameSamples = 160;
inline constexpr std::size_t frameBytes = 2 * frameSamples;  // 320
inline constexpr std::size_t gsmBytes = 33;
// A device buffer holds one block of 1..5 frames.
inline constexpr std::int32_t minFramesPerBuffer = 1;
inline constexpr std::int32_t maxFramesPerBuffer = 5;
inline constexpr std::int32_t defaultFramesPerBuffer = 2;
inline constexpr std::size_t maxBlockSamples = maxFramesPerBuffer * frameSamples;  // 800

// Frames per buffer as a device wrapper uses them: out-of-range values
// fall back to the default.
constexpr std::int32_t usableFramesPerBuffer(std::int32_t n) {
  return n < minFramesPerBuffer || n > maxFramesPerBuffer ? defaultFramesPerBuffer : n;
}

// The platform's wave-format record, filled once by each device wrapper.
struct WaveFormat {
  std::uint16_t formatTag = 1;  // linear PCM
  std::uint16_t channels = 1;
  std::uint32_t samplesPerSec = sampleRate;
  std::uint16_t bitsPerSample = 16;
  std::uint16_t blockAlign = 2;             // channels * bits / 8
  std::uint32_t avgBytesPerSec = 16000;     // blockAlign * rate
  std::uint16_t extraSize = 0;
};

}  // namespace orvalis::audio
