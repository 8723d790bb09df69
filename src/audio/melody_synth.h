#pragma once
// MelodySynth: the key tone (two frequencies for about a quarter second per
// digit key) and the melodies, both sine waves read from one table whose
// peak is the square of the melody volume.
//
// The GUI thread (and, for stopMelody, the call thread) only posts
// requests; the playback thread owns the running state, takes the requests
// at the start of a block, keeps per-sample work in locals and stores it
// at the block's end. A request posted while a block is being mixed is
// therefore never overwritten: it is taken by the next block.

#include <array>
#include <atomic>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "audio/melody_notation.h"
#include "store/cnf_data.h"

namespace orvalis::audio {

inline constexpr std::int32_t sineTableSize = 629;
// Indices are taken modulo 628: 628 entries make one cycle.
inline constexpr std::int32_t sineCycle = 628;
// Table entries per sample for one hertz (628.32 / 8000).
inline constexpr double stepPerHertz = 0.07854;
inline constexpr std::int32_t maxMelodyBytes = 1023;
inline constexpr std::int32_t minVolume = 20;
inline constexpr std::int32_t maxVolume = 160;

// A key tone lasts until more than this many frames have been produced.
inline constexpr std::int32_t toneMaxFrames = 10;

enum class ToneState : std::int32_t { idle = 0, requested = 1, sounding = 2 };

constexpr std::int16_t clampSample(std::int32_t v) {
  return static_cast<std::int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
}

class MelodySynth {
 public:
  // Low tones 696, 770, 852, 941 Hz, then high tones 1209, 1336, 1472 Hz.
  static constexpr std::array<double, 7> keySteps = {
      stepPerHertz * 696, stepPerHertz * 770, stepPerHertz * 852, stepPerHertz * 941,
      stepPerHertz * 1209, stepPerHertz * 1336, stepPerHertz * 1472};
  // c, #c, d, #d, e, #e, f, #f, g, #g, a, #a, b, #b in octaves 1, 2, 3.
  static constexpr std::array<double, noteCount> noteSteps = [] {
    constexpr std::array<double, notesPerOctave> octaveOneHz = {
        261.63, 277.18, 293.67, 311.13, 329.63, 349.22, 349.22,
        369.99, 391.99, 415.3,  440.0,  466.16, 493.88, 0.0};
    std::array<double, noteCount> steps{};
    for (std::int32_t i = 0; i < notesPerOctave; ++i) {
      // #b is the c of the next octave.
      const double step = i == notesPerOctave - 1 ? stepPerHertz * octaveOneHz[0] * 2
                                                   : stepPerHertz * octaveOneHz[i];
      steps[i] = step;
      steps[i + notesPerOctave] = step * 2;
      steps[i + 2 * notesPerOctave] = step * 4;
    }
    return steps;
  }();

  explicit MelodySynth(const store::CnfData& cnf);
  MelodySynth(const MelodySynth&) = delete;
  MelodySynth& operator=(const MelodySynth&) = delete;

  // Rebuilds the sine table for a volume, kept within 20..160.
  void setVolume(std::int32_t volume);
  // Starts (or restarts) the tone of a digit key; other keys have none.
  void startTone(char digit);
  void stopTone();
  // Stores a melody text, lower-cased and cut to 1023 bytes.
  void setMelody(std::string_view text);
  // Plays the current melody from its first byte.
  void startMelody();
  void stopMelody();

  // Playback thread: add to a block of n frames (160 n samples).
  void mixTone(std::int32_t n, std::span<std::int16_t> block);
  // True when the melody sounded in this block.
  bool mixMelody(std::int32_t n, std::span<std::int16_t> block);

  ToneState toneState() const { return toneState_.load(std::memory_order_acquire); }
  std::int32_t toneFrames() const { return toneFrames_.load(std::memory_order_relaxed); }
  bool melodyOn() const { return (control_.load(std::memory_order_acquire) & melodyOnBit) != 0; }
  std::string melodyText() const;
  std::int32_t sineAt(std::int32_t index) const {
    return sineTable_[static_cast<std::size_t>(index)].load(std::memory_order_relaxed);
  }

 protected:
  const store::CnfData& cnf_;

 private:
  static constexpr std::uint32_t melodyOnBit = 1;
  static constexpr std::uint32_t restartBit = 2;  // start from the text's first byte
  static constexpr std::uint32_t rewindBit = 4;   // a new text: read from its start

  // The running melody, as the playback thread keeps it in locals.
  struct MelodyRun {
    std::int32_t pos;
    std::int32_t noteLeft;
    double noteStep;
    std::int32_t counter;
    std::int32_t index;
  };
  // Reads the next token and sets up its note; false when the melody ends
  // (stop mark, or a text without tokens).
  bool nextNote(MelodyRun& run) const;
  // Ends the melody unless a restart has been posted meanwhile.
  void endMelody();
  std::int32_t tableAt(std::int64_t index) const {
    return sineTable_[static_cast<std::size_t>(index % sineCycle)].load(std::memory_order_relaxed);
  }

  std::array<std::atomic<std::int32_t>, sineTableSize> sineTable_{};

  std::atomic<char> toneKey_{'0'};
  std::atomic<ToneState> toneState_{ToneState::idle};
  std::atomic<std::int32_t> toneFrames_{0};
  std::int32_t toneCounter_ = 0;  // playback thread

  std::array<std::atomic<char>, maxMelodyBytes> melody_{};
  std::atomic<std::int32_t> melodyLen_{0};
  std::atomic<std::uint32_t> control_{0};
  MelodyRun run_{0, 0, 0.0, 0, 0};  // playback thread
};

}  // namespace orvalis::audio
