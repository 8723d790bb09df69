#pragma once
// The --audio option of the phones: no sound, the sound card, or the
// virtual device on WAV files.

#include <optional>
#include <string>
#include <string_view>

#include "phone/phone.h"

namespace orvalis::phone {

struct AudioChoice {
  enum class Kind { automatic, none, device, wav };
  Kind kind = Kind::automatic;
  std::string capturePath;   // wav: the microphone's recording; empty: silence
  std::string playbackPath;  // wav: where everything played is written; empty: nowhere
};

// "null", "device" or "wav:CAPTURE.wav,PLAYBACK.wav"; nothing for any other text.
std::optional<AudioChoice> parseAudioChoice(std::string_view text);

// Builds the sound side; automatic takes the sound card when it has a
// device and no sound otherwise. A capture file that cannot be read is an
// error, reported in `error` with a null result.
CPhone::AudioFactory makeAudioFactory(const AudioChoice& choice, std::string& error);

}  // namespace orvalis::phone
