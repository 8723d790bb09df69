#include "audio/melody_synth.h"

#include <algorithm>
#include <cmath>
#include <optional>
#include <utility>

#include "store/default_melodies.h"

namespace orvalis::audio {

namespace {

constexpr std::int32_t samplesPerFrame = 160;
// Counters restart before their products leave the table's precision.
constexpr std::int32_t toneCounterLimit = 1256001;
constexpr std::int32_t melodyCounterLimit = 1000000;

// Indices into keySteps of the low and the high tone of a digit key.
std::optional<std::pair<std::size_t, std::size_t>> keyPair(char digit) {
  if (digit == '0') return std::pair<std::size_t, std::size_t>{3, 5};
  if (digit < '1' || digit > '9') return std::nullopt;
  const auto k = static_cast<std::size_t>(digit - '1');
  return std::pair<std::size_t, std::size_t>{k / 3, 4 + k % 3};
}

std::size_t blockSamples(std::int32_t n, std::span<std::int16_t> block) {
  if (n <= 0) return 0;
  return std::min(static_cast<std::size_t>(n) * samplesPerFrame, block.size());
}

std::int64_t phase(std::int32_t counter, double step) {
  return static_cast<std::int64_t>(counter * step);
}

}  // namespace

MelodySynth::MelodySynth(const store::CnfData& cnf) : cnf_(cnf) {
  setVolume(cnf.musicVol.get());
  setMelody(store::musicDefCallOut);
}

void MelodySynth::setVolume(std::int32_t volume) {
  // A damaged settings file must not make the square overflow.
  const auto v = std::clamp(volume, minVolume, maxVolume);
  const double peak = static_cast<double>(v) * v;
  for (std::size_t i = 0; i < sineTable_.size(); ++i)
    sineTable_[i].store(static_cast<std::int32_t>(std::sin(static_cast<double>(i) * 0.01) * peak),
                        std::memory_order_relaxed);
}

void MelodySynth::startTone(char digit) {
  if (!keyPair(digit)) return;
  toneKey_.store(digit, std::memory_order_relaxed);
  // The mixer resets counter and frames when it sees a request.
  toneState_.store(ToneState::requested, std::memory_order_release);
}

void MelodySynth::stopTone() { toneState_.store(ToneState::idle, std::memory_order_release); }

void MelodySynth::setMelody(std::string_view text) {
  const auto len = static_cast<std::int32_t>(
      std::min<std::size_t>(text.size(), static_cast<std::size_t>(maxMelodyBytes)));
  for (std::int32_t i = 0; i < len; ++i)
    melody_[static_cast<std::size_t>(i)].store(lowerMelodyByte(text[static_cast<std::size_t>(i)]),
                                               std::memory_order_relaxed);
  melodyLen_.store(len, std::memory_order_release);
  control_.fetch_or(rewindBit, std::memory_order_acq_rel);
}

void MelodySynth::startMelody() {
  control_.fetch_or(melodyOnBit | restartBit, std::memory_order_acq_rel);
}

void MelodySynth::stopMelody() {
  control_.fetch_and(~(melodyOnBit | restartBit), std::memory_order_acq_rel);
}

std::string MelodySynth::melodyText() const {
  const auto len = melodyLen_.load(std::memory_order_acquire);
  std::string text;
  for (std::int32_t i = 0; i < len; ++i)
    text.push_back(melody_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed));
  return text;
}

void MelodySynth::mixTone(std::int32_t n, std::span<std::int16_t> block) {
  auto state = toneState_.load(std::memory_order_acquire);
  if (state == ToneState::idle) return;
  std::int32_t counter = toneCounter_;
  std::int32_t frames = toneFrames_.load(std::memory_order_relaxed);
  if (state == ToneState::requested) {
    // Fails only when the tone was stopped meanwhile.
    if (!toneState_.compare_exchange_strong(state, ToneState::sounding,
                                            std::memory_order_acq_rel))
      return;
    counter = 0;
    frames = 0;
  }
  const auto pair = keyPair(toneKey_.load(std::memory_order_relaxed));
  if (!pair) return;
  const double low = keySteps[pair->first];
  const double high = keySteps[pair->second];
  const auto count = blockSamples(n, block);
  for (std::size_t i = 0; i < count; ++i) {
    if (++counter > toneCounterLimit) counter = 0;
    const std::int32_t sum = tableAt(phase(counter, low)) + tableAt(phase(counter, high));
    block[i] = clampSample(block[i] + (sum >> 1));
  }
  toneCounter_ = counter;
  frames += std::max(n, 0);
  toneFrames_.store(frames, std::memory_order_relaxed);
  if (frames > toneMaxFrames) {
    // A key pressed during this block has posted a new request: keep it.
    auto sounding = ToneState::sounding;
    toneState_.compare_exchange_strong(sounding, ToneState::idle, std::memory_order_acq_rel);
  }
}

bool MelodySynth::nextNote(MelodyRun& run) const {
  const auto len = melodyLen_.load(std::memory_order_acquire);
  const auto read = readToken(
      [this](std::int32_t i) {
        return melody_[static_cast<std::size_t>(i)].load(std::memory_order_relaxed);
      },
      len, run.pos);
  run.pos = read.next;
  if (read.kind != ReadKind::token) return false;
  // The tempo is read at every note, so a change applies from the next one.
  run.noteLeft = noteSamples(cnf_.musicTakt.get(), durationDivisor(read.duration.view()));
  const auto note = noteIndex(read.note.view());
  const double step = note ? noteSteps[static_cast<std::size_t>(*note)] : 0.0;
  if (step != run.noteStep) {
    run.noteStep = step;
    // Start the new note where the old one left the table.
    run.counter = step > 0 ? static_cast<std::int32_t>(run.index / step) : 0;
  }
  if (run.counter > melodyCounterLimit) run.counter = 0;
  return true;
}

void MelodySynth::endMelody() {
  auto c = control_.load(std::memory_order_acquire);
  while ((c & restartBit) == 0 &&
         !control_.compare_exchange_weak(c, c & ~melodyOnBit, std::memory_order_acq_rel)) {
  }
}

bool MelodySynth::mixMelody(std::int32_t n, std::span<std::int16_t> block) {
  if (!melodyOn()) return false;
  const auto requests = control_.fetch_and(~(restartBit | rewindBit), std::memory_order_acq_rel);
  if ((requests & melodyOnBit) == 0) return false;
  MelodyRun run = run_;
  if ((requests & restartBit) != 0) {
    run.counter = 0;
    run.index = 0;
    run.pos = 0;
    if (!nextNote(run)) {
      run_ = run;
      endMelody();
      return false;
    }
  } else if ((requests & rewindBit) != 0) {
    run.pos = 0;
  }
  const auto count = blockSamples(n, block);
  for (std::size_t i = 0; i < count; ++i) {
    run.index = static_cast<std::int32_t>(phase(run.counter, run.noteStep) % sineCycle);
    block[i] = clampSample(block[i] + tableAt(run.index));
    ++run.counter;
    if (--run.noteLeft <= 0) {
      run.index = static_cast<std::int32_t>(phase(run.counter, run.noteStep) % sineCycle);
      if (!nextNote(run)) {
        // The rest of the block keeps what the other sources put there.
        endMelody();
        break;
      }
    }
  }
  run_ = run;
  return true;
}

}  // namespace orvalis::audio
