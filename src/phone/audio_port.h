#pragma once
// What the controller asks of the sound side: melodies for its status texts,
// opening and closing the playback and capture devices, and what a call
// hands over. The audio engine implements it; SilentAudio is a phone
// without sound. The call thread calls stopMelody, stopTone, stopTest,
// markSpurt and putFrame, and may open or close a device.

#include <cstdint>
#include <span>
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
  virtual void stopMelody() = 0;
  virtual void stopTone() = 0;
  // Ends the microphone test.
  virtual void stopTest() = 0;
  // Received speech: the start of a talk spurt, and one 33-byte GSM frame.
  virtual void markSpurt() = 0;
  virtual void putFrame(std::span<const std::uint8_t, 33> frame) = 0;
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
  void stopMelody() override {}
  void stopTone() override {}
  void stopTest() override {}
  void markSpurt() override {}
  void putFrame(std::span<const std::uint8_t, 33>) override {}
};

}  // namespace orvalis::phone
