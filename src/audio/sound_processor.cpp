#include "audio/sound_processor.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <array>
#include <new>

namespace orvalis::audio {

namespace {

// Steady noise is taken down by this much (dB); the default leaves white
// noise plainly audible in the pauses.
constexpr int noiseSuppressDb = -30;
// Echo left by the canceller, when the near end is silent and when it talks.
constexpr int echoSuppressDb = -45;
constexpr int echoSuppressActiveDb = -15;
// The level control never lifts by more than this: it takes the echo the
// canceller leaves for quiet speech, and would raise it with the rest.
constexpr int agcMaxGainDb = 6;
constexpr float agcLevel = 8000.0F;

void setInt(SpeexPreprocessState_* state, int request, int value) {
  speex_preprocess_ctl(state, request, &value);
}

}  // namespace

SoundProcessor::SoundProcessor() {
  echo_ = speex_echo_state_init(static_cast<int>(frameSamples), echoTailSamples);
  if (echo_ == nullptr) throw std::bad_alloc();
  int rate = sampleRate;
  speex_echo_ctl(echo_, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
  pre_ = speex_preprocess_state_init(static_cast<int>(frameSamples), sampleRate);
  if (pre_ == nullptr) {
    speex_echo_state_destroy(echo_);
    throw std::bad_alloc();
  }
  setInt(pre_, SPEEX_PREPROCESS_SET_DENOISE, 1);
  setInt(pre_, SPEEX_PREPROCESS_SET_NOISE_SUPPRESS, noiseSuppressDb);
  setInt(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS, echoSuppressDb);
  setInt(pre_, SPEEX_PREPROCESS_SET_ECHO_SUPPRESS_ACTIVE, echoSuppressActiveDb);
  setInt(pre_, SPEEX_PREPROCESS_SET_AGC, 1);
  setInt(pre_, SPEEX_PREPROCESS_SET_AGC_MAX_GAIN, agcMaxGainDb);
  float level = agcLevel;
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_AGC_LEVEL, &level);
  speex_preprocess_ctl(pre_, SPEEX_PREPROCESS_SET_ECHO_STATE, echo_);
}

SoundProcessor::~SoundProcessor() {
  speex_preprocess_state_destroy(pre_);
  speex_echo_state_destroy(echo_);
}

void SoundProcessor::process(std::span<std::int16_t, frameSamples> captured,
                             std::span<const std::int16_t, frameSamples> played) {
  std::array<spx_int16_t, frameSamples> cleaned{};
  speex_echo_cancellation(echo_, captured.data(), played.data(), cleaned.data());
  speex_preprocess_run(pre_, cleaned.data());
  std::copy(cleaned.begin(), cleaned.end(), captured.begin());
}

void SoundProcessor::reset() { speex_echo_state_reset(echo_); }

}  // namespace orvalis::audio
