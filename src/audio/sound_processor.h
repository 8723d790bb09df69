#pragma once
// SoundProcessor: what the microphone's sound goes through before the voice
// detector and the encoder in full duplex. An adaptive echo canceller takes
// out what the loudspeaker played (the far end's voice coming back through
// the air), then a preprocessor suppresses the echo that remains and the
// steady noise, and levels the voice. Both work on the engine's 20 ms
// frames at 8 kHz; all memory is taken when the object is made, so a frame
// costs no allocation.
//
// One thread at a time: the capture thread.

#include <cstdint>
#include <span>

#include "audio/audio_format.h"

struct SpeexEchoState_;
struct SpeexPreprocessState_;

namespace orvalis::audio {

// The echo paths the canceller can model: 300 ms, room for the acoustic
// path plus what the alignment of the two devices' clocks leaves over.
inline constexpr std::int32_t echoTailSamples = 2400;

class SoundProcessor {
 public:
  SoundProcessor();
  ~SoundProcessor();
  SoundProcessor(const SoundProcessor&) = delete;
  SoundProcessor& operator=(const SoundProcessor&) = delete;

  // Cleans one captured frame in place; `played` is what the loudspeaker
  // sounded at the same moment (silence when nothing played).
  void process(std::span<std::int16_t, frameSamples> captured,
               std::span<const std::int16_t, frameSamples> played);
  // Forgets the echo path and the noise learnt: the devices have changed.
  void reset();

 private:
  SpeexEchoState_* echo_ = nullptr;
  SpeexPreprocessState_* pre_ = nullptr;
};

}  // namespace orvalis::audio
