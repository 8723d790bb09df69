#pragma once
// What the sound engine reads and writes of its phone: the settings, the
// call fields and call state it shares with the call thread, the voice
// meter, and the controller's half-duplex switch. All of it outlives the
// engine.

#include <atomic>
#include <cstdint>
#include <functional>

#include "net/call_state.h"
#include "store/cnf_data.h"

namespace orvalis::audio {

struct SoundLinks {
  const store::CnfData& cnf;
  net::CallFields& call;
  net::CallState& calls;
  std::atomic<std::int32_t>& voiceLevel;
  std::atomic<std::int32_t>& voiceHold;
  // Schedules the switch from microphone to speaker (half duplex); called
  // on the capture thread when the microphone test's recording is full.
  std::function<void()> switchToPlayback;
};

}  // namespace orvalis::audio
