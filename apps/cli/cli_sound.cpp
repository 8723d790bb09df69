// The headless phone's sound commands: key tones, melodies and the
// microphone test, and the heartbeat's sound duties.

#include <string>

#include "cli/cli_phone.h"
#include "cli/words.h"

namespace orvalis::cli {

namespace {

// The melody slots by number or by word, in the order of the settings.
int melodySlot(std::string_view word) {
  constexpr std::string_view names[] = {"in", "out", "find", "info"};
  for (int i = 0; i < 4; ++i)
    if (word == names[i] || word == std::to_string(i)) return i;
  return -1;
}

int asNumber(audio::TestState state) { return static_cast<int>(state); }

}  // namespace

void CliPhone::addSoundCommands() {
  commands_.emplace("key", [this](std::string_view args) {
    if (args.size() != 1 || args[0] < '0' || args[0] > '9') {
      ui_.print("error: expected: key DIGIT");
      return;
    }
    phone_->audio().startTone(args[0]);
  });
  commands_.emplace("melody", [this](std::string_view args) {
    const auto [verb, slotWord] = splitWord(args);
    if (verb == "stop" && slotWord.empty()) {
      phone_->audio().stopMelody();
      return;
    }
    const int slot = melodySlot(slotWord);
    if (verb != "play" || slot < 0) {
      ui_.print("error: expected: melody play in|out|find|info (or 0..3), or melody stop");
      return;
    }
    const store::CnfData& cnf = phone_->cnf;
    const store::TextField<store::melodySize>* texts[] = {&cnf.musicCallIn, &cnf.musicCallOut,
                                                          &cnf.musicFind, &cnf.musicMsg};
    phone_->audio().setMelody(texts[slot]->str());
    phone_->audio().startMelody();
  });
  commands_.emplace("mic-test", [this](std::string_view args) {
    if (args == "start") {
      if (!phone_->startMicTest()) ui_.print("error: the test is recording, or a call is up");
    } else if (args == "stop") {
      phone_->stopMicTest();
    } else {
      ui_.print("error: expected: mic-test start|stop");
    }
  });
}

void CliPhone::refreshSound() {
  phone_->soundTick();
  if (const audio::TestStates states = phone_->audio().testStates(); states != reportedTest_) {
    reportedTest_ = states;
    ui_.print("mic-test: rec=" + std::to_string(asNumber(states.rec)) +
              " play=" + std::to_string(asNumber(states.play)));
  }
}

}  // namespace orvalis::cli
