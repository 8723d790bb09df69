// The headless phone on a real sound server: orvalis-cli with --audio
// device, its sound going through PortAudio, ALSA and a PulseAudio daemon of
// the test's own (support/pulse_rig.h), where one null sink is the
// loudspeaker and the monitor of another the microphone. The far end of a
// call is the test itself, speaking the peer protocol with the project's
// own wire code and encoding and decoding GSM with libgsm. The reading
// afresh of the device lists is checked on a sound system in the test's
// own process. Skipped, with one line saying why, where the daemon cannot
// start.

#include <gsm.h>
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <regex>
#include <thread>
#include <vector>

#include "audio/portaudio_device.h"
#include "audio/sound_system.h"
#include "cli_phones.h"
#include "far_caller.h"
#include "net/message_codes.h"
#include "net/packet.h"
#include "net/packet_io.h"
#include "net/socket.h"
#include "speech.h"
#include "support/pulse_rig.h"

namespace orvalis::testing {
namespace {

double seconds(const std::vector<std::int16_t>& samples) {
  return static_cast<double>(samples.size()) / 8000.0;
}

constexpr std::int32_t phoneNumber = 400000001;
constexpr std::int32_t farNumber = 400000002;

#define START_RIG(rig)                        \
  PulseRig rig;                               \
  if (!(rig).ready()) GTEST_SKIP() << (rig).why()

// The sample specifications of the phone's streams on the sound server
// (kind: "sink-inputs" or "source-outputs").
std::vector<std::string> phoneStreamSpecs(const PulseRig& rig, const std::string& kind) {
  const std::string text = rig.pactlOutput({"list", kind});
  std::vector<std::string> specs;
  // Format, channels and rate, as in "s16le 1ch 48000Hz".
  static const std::regex format(R"([a-z0-9]+ [0-9]+ch [0-9]+Hz)");
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t next = std::min(text.find("\n\n", at), text.size());
    const std::string block = text.substr(at, next - at);
    at = next + 2;
    std::smatch found;
    if (block.find("orvalis-cli") == std::string::npos || !std::regex_search(block, found, format))
      continue;
    specs.push_back(found.str());
  }
  return specs;
}

// A call answered on the phone: the sentence spoken into its microphone
// goes out in the GSM frames it sends, and in full duplex the sentence the
// far side sends comes out of its loudspeaker; in half duplex the far side
// is silent, as the loudspeaker is closed while the microphone is open.
// `during` runs while both speak. The moment the first voice message left
// after the answer, in ms.
void callBothWays(const PulseRig& rig, bool fullDuplex, const std::function<void()>& during,
                  double& firstWordMs) {
  TempDir media;
  // Spoken from the answer on: in half duplex the microphone opens a few
  // ticks later, within the silence before the words.
  constexpr double leadSeconds = 0.6;
  const auto sentence = makeSentence(media, "sentence", leadSeconds);
  const std::vector<std::int16_t> words(sentence.begin() + static_cast<std::ptrdiff_t>(leadSeconds * 8000),
                                        sentence.end());
  Server server;
  Phone phone(phoneNumber, server.port(),
              {.audio = "device", .silentMelodies = true, .fullDuplex = fullDuplex});
  ASSERT_TRUE(phone.registerOnServer());
  const auto port = static_cast<std::uint16_t>(std::stoi(phone.statusValue("userPort")));
  // As its user would, the phone has been up a while before the call.
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto speaker = rig.recordSpeaker();

  FarCaller far(port);
  ASSERT_TRUE(far.connected());
  phone.markNow();
  ASSERT_TRUE(far.call(phoneNumber, farNumber));
  ASSERT_TRUE(phone.expect("display: Input Call"));
  phone.send("dial");
  const auto answered = far.awaitAnswer(patience);
  ASSERT_TRUE(answered.has_value());
  ASSERT_TRUE(far.accept());
  const auto mouth = rig.speak(media.file("sentence.wav"));
  if (fullDuplex) far.speak(sentence);
  else std::this_thread::sleep_for(std::chrono::duration<double>(seconds(sentence)));
  if (during) during();
  // The phone's spool (1 s) and the devices' buffers.
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  phone.markNow();
  phone.send("hangup");
  EXPECT_TRUE(phone.expect("state: stateClient=5"));
  const auto heard = speaker->stop();
  EXPECT_EQ(phone.quit(), 0);

  const auto voices = far.voices();
  ASSERT_FALSE(voices.empty()) << "the phone sent no voice message";
  firstWordMs = std::chrono::duration<double, std::milli>(voices.front().at - *answered).count();
  std::printf("first voice message %.0f ms after the answer\n", firstWordMs);
  EXPECT_EQ(voices.front().code, net::peerVoiceFirst);
  const auto sent = decode(voices);
  ASSERT_GT(seconds(sent), seconds(sentence)) << "the phone sent " << seconds(sent) << " s";
  EXPECT_GT(bestAlignment(words, sent), 0.8);
  if (!fullDuplex) return;
  ASSERT_GT(seconds(heard), seconds(sentence)) << "the speaker played " << seconds(heard) << " s";
  EXPECT_GT(bestAlignment(sentence, heard), 0.8);
}

// The first voice message leaves within 300 ms of the answer: the
// microphone was ready before the call.
TEST(PhoneOnSoundServer, ACallCarriesSpeechBothWaysFromTheFirstWord) {
  START_RIG(rig);
  double firstWordMs = 0;
  callBothWays(rig, true, nullptr, firstWordMs);
  if (HasFatalFailure()) return;
  EXPECT_LT(firstWordMs, 300.0);
}

// In half duplex the microphone opens only when the call comes up, two
// ticks after the loudspeaker closes; it still delivers at once.
TEST(PhoneOnSoundServer, InHalfDuplexTheFirstWordLeavesSoonAfterTheAnswer) {
  START_RIG(rig);
  double firstWordMs = 0;
  callBothWays(rig, false, nullptr, firstWordMs);
  if (HasFatalFailure()) return;
  EXPECT_LT(firstWordMs, 500.0);
}

// A card that takes 48 kHz only: the phone's streams run at its rate, and
// the call sounds as on any other card.
TEST(PhoneOnSoundServer, OnACardThatRefuses8kHzTheCallRunsAtTheCardsRate) {
  PulseRig rig({.speakerRate = 48000, .cardRate = 48000, .extraModules = {}});
  if (!rig.ready()) GTEST_SKIP() << rig.why();
  std::vector<std::string> played, captured;
  double firstWordMs = 0;
  callBothWays(rig, true, [&] {
    played = phoneStreamSpecs(rig, "sink-inputs");
    captured = phoneStreamSpecs(rig, "source-outputs");
  }, firstWordMs);
  if (HasFatalFailure()) return;
  EXPECT_LT(firstWordMs, 300.0);
  ASSERT_EQ(played.size(), 1u);
  ASSERT_EQ(captured.size(), 1u);
  EXPECT_EQ(played.front(), "s16le 1ch 48000Hz");
  EXPECT_EQ(captured.front(), "s16le 1ch 48000Hz");
}

// A headset plugged in while the phone runs is listed once the lists are
// read afresh, after the devices listed before, which keep their numbers;
// the speaker open between calls is open again afterwards. While a call
// holds the microphone, the lists stay as they are.
TEST(PhoneOnSoundServer, AHeadsetPluggedInLaterIsListedAfterARefresh) {
  START_RIG(rig);
  store::CnfData cnf;
  net::CallFields call;
  net::CallState calls;
  std::atomic<std::int32_t> level{0}, hold{0};
  audio::SoundSystem sound({cnf, call, calls, level, hold, {}}, std::make_shared<audio::PortAudioDevices>());
  const auto speakers = sound.deviceNames(audio::Direction::playback);
  const auto microphones = sound.deviceNames(audio::Direction::capture);
  ASSERT_FALSE(speakers.empty());
  sound.openPlayback(0, 2);
  ASSERT_TRUE(sound.playing.opened());

  ASSERT_TRUE(rig.plug("headset"));
  sound.refreshDevices();
  EXPECT_TRUE(sound.playing.opened());
  for (const auto& [direction, before] :
       {std::pair{audio::Direction::playback, speakers}, std::pair{audio::Direction::capture, microphones}}) {
    auto after = sound.deviceNames(direction);
    ASSERT_EQ(after.size(), before.size() + 1);
    EXPECT_EQ(after.back(), "headset");
    after.pop_back();
    EXPECT_EQ(after, before);
  }

  sound.openCapture(0, 2);
  ASSERT_TRUE(sound.captureOpen());
  ASSERT_TRUE(rig.plug("earpiece"));
  sound.refreshDevices();
  EXPECT_TRUE(sound.captureOpen());
  EXPECT_EQ(sound.deviceNames(audio::Direction::playback).size(), speakers.size() + 1);
}

// The microphone test (full duplex): what the microphone hears comes out of
// the loudspeaker through the codec.
TEST(PhoneOnSoundServer, TheMicrophoneTestPlaysBackWhatItHears) {
  START_RIG(rig);
  TempDir media;
  const auto sentence = makeSentence(media, "sentence", 0.3);
  Phone phone(phoneNumber, 1, {.audio = "device", .silentMelodies = true, .fullDuplex = true});
  std::this_thread::sleep_for(std::chrono::seconds(1));
  auto speaker = rig.recordSpeaker();
  phone.markNow();
  phone.send("mic-test start");
  ASSERT_TRUE(phone.expect("mic-test: rec=0 play=0"));
  const auto mouth = rig.speak(media.file("sentence.wav"));
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds(sentence) + 1.0));
  phone.send("mic-test stop");
  EXPECT_TRUE(phone.expect("mic-test: rec=1 play=1"));
  const auto heard = speaker->stop();
  EXPECT_EQ(phone.quit(), 0);
  ASSERT_GT(seconds(heard), seconds(sentence));
  EXPECT_GT(bestAlignment(sentence, heard), 0.8);
}

// The loudest 20 ms window of a stretch of a recording.
int loudestWindow(const std::vector<std::int16_t>& samples) {
  const auto e = envelope(samples);
  double best = 0;
  for (const double v : e) best = std::max(best, v);
  return static_cast<int>(best);
}

// A melody and a key tone come out of the loudspeaker (the default half
// duplex, where the speaker is open whenever no call is up).
TEST(PhoneOnSoundServer, MelodiesAndKeyTonesSound) {
  START_RIG(rig);
  Phone phone(phoneNumber, 1, {.audio = "device"});
  std::this_thread::sleep_for(std::chrono::seconds(1));

  auto quiet = rig.recordSpeaker("quiet");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  EXPECT_LT(loudestWindow(quiet->stop()), 50);

  auto melody = rig.recordSpeaker("melody");
  phone.send("melody play in");
  std::this_thread::sleep_for(std::chrono::milliseconds(1500));
  phone.send("melody stop");
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  EXPECT_GT(loudestWindow(melody->stop()), 1000);

  auto tone = rig.recordSpeaker("tone");
  phone.send("key 5");
  std::this_thread::sleep_for(std::chrono::milliseconds(800));
  const auto toneSamples = tone->stop();
  EXPECT_GT(loudestWindow(toneSamples), 1000);
  // A key tone lasts about ten frames (200 ms).
  const auto e = envelope(toneSamples);
  const auto loud = std::count_if(e.begin(), e.end(), [](double v) { return v > 300; });
  EXPECT_GE(loud, 7);
  EXPECT_LE(loud, 16);
  EXPECT_EQ(phone.quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
