#pragma once
// A spoken sentence for the end-to-end speech tests, and the measures that
// say whether it was heard: the energy envelope of a recording, and how
// well one envelope follows another at the best delay.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <numeric>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "audio/wav_file.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::testing {

inline constexpr std::size_t envelopeWindow = 160;  // 20 ms envelope windows

// Speaks a sentence into an 8 kHz mono WAV file, after `leadSeconds` of
// silence.
inline std::vector<std::int16_t> makeSentence(const TempDir& dir, const std::string& name,
                                       double leadSeconds) {
  const std::string raw = dir.file(name + "-raw.wav").string();
  const std::string out = dir.file(name + ".wav").string();
  const RunResult spoken = runProgram(
      "espeak-ng", {"-w", raw, "-s", "150", "Orvalis carries this sentence to the other phone."},
      dir.path().string(), "");
  if (spoken.exitStatus != 0) throw std::runtime_error("espeak-ng failed");
  const RunResult converted =
      runProgram("sox", {raw, "-r", "8000", "-c", "1", "-b", "16", out, "pad",
                         std::to_string(leadSeconds), "0.5"},
                 dir.path().string(), "");
  if (converted.exitStatus != 0) throw std::runtime_error("sox failed");
  auto sentence = audio::loadWav(out);
  if (!sentence.ok()) throw std::runtime_error("the sentence cannot be read: " + sentence.error);
  return std::move(sentence.samples);
}

inline std::vector<double> envelope(const std::vector<std::int16_t>& samples) {
  std::vector<double> e(samples.size() / envelopeWindow);
  for (std::size_t k = 0; k < e.size(); ++k) {
    double sum = 0;
    for (std::size_t j = 0; j < envelopeWindow; ++j) sum += std::abs(samples[k * envelopeWindow + j]);
    e[k] = sum / envelopeWindow;
  }
  return e;
}

inline double pearson(std::span<const double> a, std::span<const double> b) {
  const double n = static_cast<double>(a.size());
  const double ma = std::accumulate(a.begin(), a.end(), 0.0) / n;
  const double mb = std::accumulate(b.begin(), b.end(), 0.0) / n;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0.0;
}

// The best correlation of the input's envelope with the output's over
// every delay of the output.
inline double bestAlignment(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output) {
  const auto a = envelope(input);
  const auto b = envelope(output);
  double best = -1;
  for (std::size_t lag = 0; lag + a.size() <= b.size(); ++lag)
    best = std::max(best, pearson(a, std::span<const double>(b).subspan(lag, a.size())));
  return best;
}

// The delay, in envelope windows, at which the output's envelope follows
// the input's best.
inline std::size_t bestLag(const std::vector<std::int16_t>& input, const std::vector<std::int16_t>& output) {
  const auto a = envelope(input);
  const auto b = envelope(output);
  double best = -2;
  std::size_t at = 0;
  for (std::size_t lag = 0; lag + a.size() <= b.size(); ++lag) {
    const double r = pearson(a, std::span<const double>(b).subspan(lag, a.size()));
    if (r > best) best = r, at = lag;
  }
  return at;
}

inline int peak(const std::vector<std::int16_t>& samples) {
  int p = 0;
  for (const std::int16_t s : samples) p = std::max(p, std::abs(static_cast<int>(s)));
  return p;
}

}  // namespace orvalis::testing
