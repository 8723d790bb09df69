#pragma once
// Rate conversion for a card that refuses the phone's 8 kHz: 16-bit mono
// sound through the speexdsp resampler. A Resampler keeps its filter's
// state from call to call, so a stream converted in chunks of any length
// joins up as if converted whole. The two adapters sit in a device's
// callback: everything they need is made with them, and converting neither
// allocates nor waits.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

struct SpeexResamplerState_;

namespace orvalis::audio {

class Resampler {
 public:
  // Null state when the library refuses the rates (see ok).
  Resampler(std::uint32_t from, std::uint32_t to);

  bool ok() const { return state_ != nullptr; }

  struct Moved {
    std::size_t consumed = 0;
    std::size_t produced = 0;
  };
  // Converts from the front of `in` until it is used up or `out` is full.
  Moved process(std::span<const std::int16_t> in, std::span<std::int16_t> out);
  // Forgets the past: what comes next starts a new stream.
  void clear();

 private:
  struct Destroy {
    void operator()(SpeexResamplerState_* state) const;
  };
  std::unique_ptr<SpeexResamplerState_, Destroy> state_;
};

// A capture at the card's rate, handed on at the phone's a piece at a time.
class CaptureResampler {
 public:
  CaptureResampler(std::uint32_t cardRate, std::uint32_t phoneRate) : resampler_(cardRate, phoneRate) {}

  bool ok() const { return resampler_.ok(); }

  // Converts all of `input`; `deliver` takes each converted piece
  // (std::span<const std::int16_t>).
  template <class Deliver>
  void convert(std::span<const std::int16_t> input, Deliver&& deliver) {
    while (!input.empty()) {
      const auto moved = resampler_.process(input, scratch_);
      if (moved.consumed == 0 && moved.produced == 0) return;
      input = input.subspan(moved.consumed);
      if (moved.produced > 0) deliver(std::span<const std::int16_t>(scratch_).first(moved.produced));
    }
  }

  // Forgets the filter's past: the next capture starts afresh.
  void clear() { resampler_.clear(); }

 private:
  Resampler resampler_;
  std::array<std::int16_t, 256> scratch_{};
};

// Playback at the card's rate from sound at the phone's, drawn a chunk
// (10 ms) at a time; what a chunk gives beyond the card's request waits
// for its next one, so each request is filled exactly.
class PlaybackResampler {
 public:
  static constexpr std::size_t chunkSamples = 80;

  PlaybackResampler(std::uint32_t phoneRate, std::uint32_t cardRate)
      : resampler_(phoneRate, cardRate),
        carry_(chunkSamples * cardRate / std::max<std::uint32_t>(phoneRate, 1) + 16) {}

  bool ok() const { return resampler_.ok(); }

  // Fills all of `output`; `draw` fills the whole span it is given
  // (std::span<std::int16_t>, chunkSamples long) at the phone's rate.
  template <class Draw>
  void fill(std::span<std::int16_t> output, Draw&& draw) {
    while (!output.empty()) {
      if (carryPos_ == carryLen_) {
        draw(std::span<std::int16_t>(chunk_));
        carryLen_ = resampler_.process(chunk_, carry_).produced;
        carryPos_ = 0;
        if (carryLen_ == 0) break;
      }
      const std::size_t take = std::min(output.size(), carryLen_ - carryPos_);
      std::copy_n(carry_.begin() + static_cast<std::ptrdiff_t>(carryPos_), take, output.begin());
      carryPos_ += take;
      output = output.subspan(take);
    }
    std::fill(output.begin(), output.end(), std::int16_t{0});
  }

  // Drops what waits, and the filter's past: the next fill starts afresh.
  void clear() {
    carryPos_ = carryLen_ = 0;
    resampler_.clear();
  }

 private:
  Resampler resampler_;
  std::array<std::int16_t, chunkSamples> chunk_{};
  std::vector<std::int16_t> carry_;
  std::size_t carryPos_ = 0;
  std::size_t carryLen_ = 0;
};

}  // namespace orvalis::audio
