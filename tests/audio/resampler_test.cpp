#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace orvalis::audio {
namespace {

constexpr std::uint32_t phoneRate = 8000;
constexpr std::uint32_t cardRate = 48000;
constexpr double amplitude = 10000;

double toneAt(std::size_t i) {
  return amplitude * std::sin(2 * std::numbers::pi * 1000 * static_cast<double>(i) / phoneRate);
}

// Chunk lengths that fall at every phase of the converters' own chunks.
std::size_t oddLength(std::size_t k) { return 1 + (k * 37 + 11) % 301; }

// A 1 kHz tone at 8 kHz, to a 48 kHz card as its callbacks ask for it and
// back as a capture callback would bring it: the same tone, as long as
// what was drawn, with no gap or jump on the way.
TEST(Resampler, ToneThroughACardAtAnotherRateAndBackKeepsPitchLevelAndLength) {
  PlaybackResampler up(phoneRate, cardRate);
  CaptureResampler down(cardRate, phoneRate);
  ASSERT_TRUE(up.ok());
  ASSERT_TRUE(down.ok());
  std::size_t drawn = 0;
  std::vector<std::int16_t> card;
  for (std::size_t k = 0; card.size() < cardRate; ++k) {
    std::vector<std::int16_t> request(oddLength(k), 12345);
    up.fill(request, [&](std::span<std::int16_t> chunk) {
      EXPECT_EQ(chunk.size(), PlaybackResampler::chunkSamples);
      for (auto& s : chunk) s = static_cast<std::int16_t>(toneAt(drawn++));
    });
    card.insert(card.end(), request.begin(), request.end());
  }
  // What waits for the next request is less than a chunk.
  EXPECT_GE(drawn * 6, card.size());
  EXPECT_LT(drawn * 6, card.size() + 6 * PlaybackResampler::chunkSamples);

  std::vector<std::int16_t> back;
  std::span<const std::int16_t> rest(card);
  for (std::size_t k = 0; !rest.empty(); ++k) {
    const auto piece = rest.first(std::min(rest.size(), oddLength(k) * 7));
    rest = rest.subspan(piece.size());
    down.convert(piece,
                 [&](std::span<const std::int16_t> p) { back.insert(back.end(), p.begin(), p.end()); });
  }
  EXPECT_NEAR(static_cast<double>(back.size()), static_cast<double>(card.size()) / 6, 2.0);

  // Past the filters' start: 10 ms windows each hold ten periods at the
  // tone's level, and the zero crossings keep its pitch.
  constexpr std::size_t settle = 200;
  constexpr std::size_t window = 80;
  for (std::size_t at = settle; at + window <= back.size(); at += window) {
    double power = 0;
    for (std::size_t i = at; i < at + window; ++i) power += static_cast<double>(back[i]) * back[i];
    EXPECT_NEAR(std::sqrt(power / window), amplitude / std::numbers::sqrt2, 0.1 * amplitude) << "at " << at;
  }
  int crossings = 0;
  for (std::size_t i = settle + 1; i < back.size(); ++i) crossings += (back[i - 1] < 0) != (back[i] < 0);
  const double seconds = static_cast<double>(back.size() - settle) / phoneRate;
  EXPECT_NEAR(crossings / 2.0 / seconds, 1000.0, 5.0);
}

// Converting a capture in pieces gives what converting it whole gives.
TEST(Resampler, CaptureInPiecesJoinsUpAsIfWhole) {
  std::vector<std::int16_t> card(cardRate / 4);
  for (std::size_t i = 0; i < card.size(); ++i) card[i] = static_cast<std::int16_t>(toneAt(i * 37 / 41));
  auto collect = [&](std::size_t piece) {
    CaptureResampler down(cardRate, phoneRate);
    std::vector<std::int16_t> out;
    std::span<const std::int16_t> rest(card);
    for (std::size_t k = 0; !rest.empty(); ++k) {
      const auto part = rest.first(std::min(rest.size(), piece == 0 ? oddLength(k) : piece));
      rest = rest.subspan(part.size());
      down.convert(part, [&](std::span<const std::int16_t> p) { out.insert(out.end(), p.begin(), p.end()); });
    }
    return out;
  };
  const auto whole = collect(card.size());
  EXPECT_EQ(whole.size(), card.size() / 6);
  EXPECT_EQ(collect(0), whole);
}

// After a clear, a playback starts from silence again rather than from
// the tail of what it played before.
TEST(Resampler, ClearedPlaybackDropsWhatWaited) {
  PlaybackResampler up(phoneRate, cardRate);
  std::vector<std::int16_t> out(7);
  up.fill(out, [](std::span<std::int16_t> chunk) { std::fill(chunk.begin(), chunk.end(), 20000); });
  up.clear();
  std::size_t draws = 0;
  up.fill(out, [&](std::span<std::int16_t> chunk) {
    ++draws;
    std::fill(chunk.begin(), chunk.end(), 0);
  });
  EXPECT_EQ(draws, 1u);
  for (const auto s : out) EXPECT_EQ(s, 0);
}

}  // namespace
}  // namespace orvalis::audio
