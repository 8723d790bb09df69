#include "audio/sound_system.h"

#include <utility>

namespace orvalis::audio {

SoundSystem::SoundSystem(const SoundLinks& links, std::shared_ptr<WaveDevices> devices)
    : devices_(devices ? std::move(devices) : std::make_shared<NoDevices>()),
      testBuf(links.cnf, links.switchToPlayback),
      clientBuf(links.cnf),
      snd(links, testBuf, clientBuf),
      recording(*devices_, snd),
      playing(*devices_, snd) {}

SoundSystem::~SoundSystem() {
  // The devices stop calling the engine before anything is taken apart.
  recording.close();
  playing.close();
}

}  // namespace orvalis::audio
