#pragma once
// The settings keep the GSM frames per sound buffer as nGsm, the count
// less one (the configuration dialog's index). A damaged record may hold
// any value there.
#include <cstdint>

namespace orvalis::store {

inline constexpr std::int32_t maxNGsm = 4;            // 5 frames
inline constexpr std::int32_t defaultGsmFrames = 2;   // as the sound devices default

// Frames per buffer for nGsm: 1..5, or the default for a value outside
// 0..4. Range first, so that no value overflows the count.
constexpr std::int32_t gsmFramesPerBuffer(std::int32_t nGsm) {
  return nGsm >= 0 && nGsm <= maxNGsm ? nGsm + 1 : defaultGsmFrames;
}

}  // namespace orvalis::store
