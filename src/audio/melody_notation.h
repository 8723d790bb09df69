#pragma once
// The melody notation. A melody is a circular text of tokens separated by
// blanks: "4#c2" is a quarter note c sharp of octave 2, "8-" an eighth
// rest, "16e2" a sixteenth e2; "!" ends the melody. A token is at most six
// bytes; its first byte, and its second when that is a digit, give the
// duration, the rest names the note. Unknown durations count as quarters,
// unknown notes as rests.
//
// Everything here is a pure function: the synthesizer calls it once per
// note on the playback thread, so nothing allocates.

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace orvalis::audio {

inline constexpr std::int32_t maxTokenBytes = 6;
inline constexpr std::int32_t noteCount = 42;  // 14 names in 3 octaves
inline constexpr std::int32_t notesPerOctave = 14;
inline constexpr char stopMark = '!';
inline constexpr std::int32_t minTempo = 30;
inline constexpr std::int32_t maxTempo = 100;

// Blanks, control bytes and every byte from 0x80 up (non-Latin letters)
// separate tokens.
constexpr bool isSeparator(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b <= 0x20 || b >= 0x80;
}

// ASCII only: other bytes are separators anyway.
constexpr char lowerMelodyByte(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Up to six bytes of one part of a token, held in place.
struct TokenPart {
  std::array<char, maxTokenBytes> bytes{};
  std::int32_t size = 0;

  constexpr void push(char c) { bytes[static_cast<std::size_t>(size++)] = c; }
  constexpr std::string_view view() const {
    return {bytes.data(), static_cast<std::size_t>(size)};
  }
};

enum class ReadKind {
  token,  // duration and note hold the token
  stop,   // the stop mark was met
  none,   // the text holds no token at all: reading would never end
};

struct TokenRead {
  ReadKind kind = ReadKind::none;
  TokenPart duration;
  TokenPart note;
  std::int32_t next = 0;  // where reading goes on
};

// Reads one token of a circular text of `length` bytes from position pos,
// wrapping at the end, also in the middle of a token. byteAt(i) yields
// byte i for 0 <= i < length.
template <class ByteAt>
constexpr TokenRead readToken(ByteAt&& byteAt, std::int32_t length, std::int32_t pos) {
  TokenRead r;
  if (length <= 0) return r;
  std::int32_t collected = 0;
  std::int32_t skipped = 0;
  for (;;) {
    if (pos < 0 || pos >= length) pos = 0;
    const char c = byteAt(pos++);
    if (c == stopMark) {
      r.kind = ReadKind::stop;
      break;
    }
    if (isSeparator(c)) {
      if (collected > 0) {
        r.kind = ReadKind::token;
        break;
      }
      // A whole lap of separators: there is nothing to read.
      if (++skipped >= length) break;
      continue;
    }
    const bool durationByte = collected == 0 || (collected == 1 && c >= '0' && c <= '9');
    (durationByte ? r.duration : r.note).push(c);
    if (++collected == maxTokenBytes) {
      r.kind = ReadKind::token;
      break;
    }
  }
  r.next = pos;
  return r;
}

TokenRead readToken(std::string_view text, std::int32_t pos);

// 1, 2, 4, 8 or 16 for a duration text; 4 for anything else.
std::int32_t durationDivisor(std::string_view duration);

// Index 0..41 of a note name ("c1", "#c1", ... "#b3"); nullopt for a rest.
std::optional<std::int32_t> noteIndex(std::string_view note);

// Samples of a note: a whole note lasts 480000 / tempo samples. The tempo
// is kept within 30..100, so every note lasts a positive time.
std::int32_t noteSamples(std::int32_t tempo, std::int32_t divisor);

}  // namespace orvalis::audio
