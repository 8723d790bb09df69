#include "audio/melody_notation.h"

#include <algorithm>
#include <limits>

namespace orvalis::audio {

namespace {

constexpr std::array<std::string_view, notesPerOctave> noteNames = {
    "c", "#c", "d", "#d", "e", "#e", "f", "#f", "g", "#g", "a", "#a", "b", "#b"};

}  // namespace

TokenRead readToken(std::string_view text, std::int32_t pos) {
  const auto length = static_cast<std::int32_t>(
      std::min<std::size_t>(text.size(), std::numeric_limits<std::int32_t>::max()));
  return readToken([text](std::int32_t i) { return text[static_cast<std::size_t>(i)]; },
                   length, pos);
}

std::int32_t durationDivisor(std::string_view duration) {
  if (duration == "1") return 1;
  if (duration == "2") return 2;
  if (duration == "8") return 8;
  if (duration == "16") return 16;
  return 4;
}

std::optional<std::int32_t> noteIndex(std::string_view note) {
  if (note.size() < 2) return std::nullopt;
  const char octave = note.back();
  if (octave < '1' || octave > '3') return std::nullopt;
  const auto name = note.substr(0, note.size() - 1);
  const auto it = std::find(noteNames.begin(), noteNames.end(), name);
  if (it == noteNames.end()) return std::nullopt;
  return (octave - '1') * notesPerOctave + static_cast<std::int32_t>(it - noteNames.begin());
}

std::int32_t noteSamples(std::int32_t tempo, std::int32_t divisor) {
  return 480000 / std::clamp(tempo, minTempo, maxTempo) / std::max(divisor, 1);
}

}  // namespace orvalis::audio
