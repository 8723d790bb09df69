#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>
#include <vector>

#include "audio/sound_processor.h"

namespace orvalis::audio {
namespace {

using Signal = std::vector<double>;

constexpr std::size_t second = sampleRate;

// A voiced sound at `pitch` with its harmonics, spoken in syllables of
// `syllable` seconds with pauses of the same length between them.
Signal talker(std::size_t samples, double pitch, double syllable, double amplitude) {
  Signal s(samples);
  for (std::size_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / sampleRate;
    const bool voiced = std::fmod(t, 2 * syllable) < syllable;
    if (!voiced) continue;
    const double f = pitch * (1 + 0.1 * std::sin(2 * std::numbers::pi * 1.3 * t));
    double v = 0;
    for (int h = 1; h <= 10; ++h) v += std::sin(2 * std::numbers::pi * f * h * t + h) / h;
    s[i] = amplitude * v * std::sin(std::numbers::pi * std::fmod(t, syllable) / syllable);
  }
  return s;
}

// The loudspeaker as the microphone hears it: 40 ms later, at about -6 dB,
// with a weaker reflection 15 ms after that.
Signal echoOf(const Signal& played) {
  Signal e(played.size());
  for (std::size_t i = 320; i < e.size(); ++i) e[i] = 0.5 * played[i - 320] + (i >= 440 ? 0.15 * played[i - 440] : 0);
  return e;
}

double energy(const Signal& s, std::size_t from, std::size_t to) {
  double sum = 0;
  for (std::size_t i = from; i < to; ++i) sum += s[i] * s[i];
  return sum;
}

// Per-frame energies, for how well one signal's loudness follows another.
Signal envelope(const Signal& s, std::size_t from, std::size_t to) {
  Signal e;
  for (std::size_t i = from; i + frameSamples <= to; i += frameSamples) e.push_back(std::sqrt(energy(s, i, i + frameSamples)));
  return e;
}

double correlation(const Signal& a, const Signal& b) {
  const double n = static_cast<double>(a.size());
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) ma += a[i] / n, mb += b[i] / n;
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < a.size(); ++i) {
    ab += (a[i] - ma) * (b[i] - mb);
    aa += (a[i] - ma) * (a[i] - ma);
    bb += (b[i] - mb) * (b[i] - mb);
  }
  return ab / std::sqrt(aa * bb);
}

// What goes out for `microphone` while the loudspeaker plays `played`.
Signal processed(const Signal& microphone, const Signal& played) {
  SoundProcessor processor;
  Signal out(microphone.size());
  std::array<std::int16_t, frameSamples> mic{}, far{};
  for (std::size_t at = 0; at + frameSamples <= microphone.size(); at += frameSamples) {
    for (std::size_t j = 0; j < frameSamples; ++j) {
      mic[j] = static_cast<std::int16_t>(std::clamp(microphone[at + j], -32768.0, 32767.0));
      far[j] = static_cast<std::int16_t>(std::clamp(played[at + j], -32768.0, 32767.0));
    }
    processor.process(mic, far);
    std::copy(mic.begin(), mic.end(), out.begin() + static_cast<std::ptrdiff_t>(at));
  }
  return out;
}

Signal sum(const Signal& a, const Signal& b) {
  Signal s(a.size());
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = a[i] + b[i];
  return s;
}

TEST(SoundProcessor, TakesTheLoudspeakerOutOfWhatIsSent) {
  const Signal far = talker(8 * second, 180, 0.3, 6000);
  const Signal mic = echoOf(far);
  const Signal out = processed(mic, far);
  // Echo return loss enhancement once the canceller has learnt the path.
  const double erle = 10 * std::log10(energy(mic, 4 * second, 8 * second) /
                                      std::max(1.0, energy(out, 4 * second, 8 * second)));
  EXPECT_GE(erle, 25.0);
}

TEST(SoundProcessor, NearSpeechOverTheFarEndStillGoesOut) {
  const Signal far = talker(10 * second, 180, 0.3, 6000);
  Signal near = talker(10 * second, 110, 0.45, 5000);
  std::fill(near.begin(), near.begin() + 4 * second, 0.0);  // the canceller learns first
  const Signal out = processed(sum(echoOf(far), near), far);
  EXPECT_GE(correlation(envelope(near, 5 * second, 10 * second), envelope(out, 5 * second, 10 * second)), 0.7);
}

TEST(SoundProcessor, QuietsSteadyNoiseInThePausesAndKeepsTheSpeech) {
  const Signal speech = talker(8 * second, 140, 0.5, 5000);
  Signal noise(speech.size());
  std::mt19937 random(11);
  // -35 dBFS: an RMS of 32768 * 10^(-35/20), about 580.
  std::normal_distribution<double> white(0, 580);
  for (double& n : noise) n = white(random);
  const Signal mic = sum(speech, noise);
  const Signal out = processed(mic, Signal(mic.size()));
  // The pauses of the last four seconds, away from the syllables' edges.
  double before = 0, after = 0;
  for (std::size_t pause = 4 * second + 4000 + 400; pause < 8 * second; pause += 8000) {
    before += energy(mic, pause, pause + 3200);
    after += energy(out, pause, pause + 3200);
  }
  EXPECT_GE(10 * std::log10(before / std::max(1.0, after)), 10.0);
  EXPECT_GE(correlation(envelope(speech, 2 * second, 8 * second), envelope(out, 2 * second, 8 * second)), 0.8);
}

}  // namespace
}  // namespace orvalis::audio
