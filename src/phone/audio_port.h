#pragma once
// What the controller asks of the sound side: melodies for its status texts
// and opening and closing the playback and capture devices. The audio
// engine implements it; SilentAudio is a phone without sound.

#include <cstdint>
#include <string_view>

namespace orvalis::phone {

class AudioPort {
 public:
  virtual ~AudioPort() = default;

  virtual void setMelody(std::string_view text) = 0;
  virtual void startMelody() = 0;

  // framesPerBuffer: 20 ms GSM frames per device buffer (nGsm + 1).
  virtual void openPlayback(std::int32_t device, std::int32_t framesPerBuffer) = 0;
  virtual void closePlayback() = 0;
  virtual void openCapture(std::int32_t device, std::int32_t framesPerBuffer) = 0;
  virtual void closeCapture() = 0;
};

// No sound device: every request is accepted and nothing sounds.
class SilentAudio final : public AudioPort {
 public:
  void setMelody(std::string_view) override {}
  void startMelody() override {}
  void openPlayback(std::int32_t, std::int32_t) override {}
  void closePlayback() override {}
  void openCapture(std::int32_t, std::int32_t) override {}
  void closeCapture() override {}
};

}  // namespace orvalis::phone
