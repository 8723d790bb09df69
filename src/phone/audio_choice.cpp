#include "phone/audio_choice.h"

#include <exception>
#include <memory>
#include <utility>

#include "audio/portaudio_device.h"
#include "audio/sound_system.h"
#include "audio/virtual_device.h"

namespace orvalis::phone {

std::optional<AudioChoice> parseAudioChoice(std::string_view text) {
  using Kind = AudioChoice::Kind;
  if (text == "null") return AudioChoice{Kind::none, {}, {}};
  if (text == "device") return AudioChoice{Kind::device, {}, {}};
  constexpr std::string_view wavPrefix = "wav:";
  if (!text.starts_with(wavPrefix)) return std::nullopt;
  text.remove_prefix(wavPrefix.size());
  const auto comma = text.find(',');
  if (comma == std::string_view::npos) return std::nullopt;
  return AudioChoice{Kind::wav, std::string(text.substr(0, comma)),
                     std::string(text.substr(comma + 1))};
}

namespace {

CPhone::AudioFactory systemOn(std::shared_ptr<audio::WaveDevices> devices) {
  // The factory runs once, inside the phone's constructor.
  return [devices = std::move(devices)](const audio::SoundLinks& links) mutable {
    return std::make_unique<audio::SoundSystem>(links, std::move(devices));
  };
}

}  // namespace

CPhone::AudioFactory makeAudioFactory(const AudioChoice& choice, std::string& error) {
  using Kind = AudioChoice::Kind;
  switch (choice.kind) {
    case Kind::none:
      return systemOn(std::make_unique<audio::NoDevices>());
    case Kind::device:
      return systemOn(std::make_unique<audio::PortAudioDevices>());
    case Kind::automatic: {
      auto card = std::make_unique<audio::PortAudioDevices>();
      if (card->available()) return systemOn(std::move(card));
      return systemOn(std::make_unique<audio::NoDevices>());
    }
    case Kind::wav:
      break;
  }
  audio::VirtualDevices::Options options;
  options.clock = audio::VirtualDevices::Clock::realtime;
  options.microphoneFile = choice.capturePath;
  options.speakerFile = choice.playbackPath;
  options.keepPlayed = false;  // the file has it all
  try {
    return systemOn(std::make_shared<audio::VirtualDevices>(std::move(options)));
  } catch (const std::exception& e) {
    error = e.what();
    return nullptr;
  }
}

}  // namespace orvalis::phone
