#include "audio/resampler.h"

#include <speex/speex_resampler.h>

#include <limits>

namespace orvalis::audio {

Resampler::Resampler(std::uint32_t from, std::uint32_t to) {
  int error = RESAMPLER_ERR_SUCCESS;
  if (from != 0 && to != 0)
    state_.reset(speex_resampler_init(1, from, to, SPEEX_RESAMPLER_QUALITY_VOIP, &error));
  if (error != RESAMPLER_ERR_SUCCESS) state_.reset();
}

void Resampler::Destroy::operator()(SpeexResamplerState_* state) const { speex_resampler_destroy(state); }

Resampler::Moved Resampler::process(std::span<const std::int16_t> in, std::span<std::int16_t> out) {
  if (!state_) return {};
  constexpr std::size_t most = std::numeric_limits<spx_uint32_t>::max();
  auto inLength = static_cast<spx_uint32_t>(std::min(in.size(), most));
  auto outLength = static_cast<spx_uint32_t>(std::min(out.size(), most));
  speex_resampler_process_int(state_.get(), 0, in.data(), &inLength, out.data(), &outLength);
  return {inLength, outLength};
}

void Resampler::clear() {
  if (state_) speex_resampler_reset_mem(state_.get());
}

}  // namespace orvalis::audio
