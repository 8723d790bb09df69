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
#include "net/message_codes.h"
#include "net/packet.h"
#include "net/packet_io.h"
#include "net/socket.h"
#include "speech.h"
#include "support/pulse_rig.h"

namespace orvalis::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr std::size_t frameSamples = 160;
constexpr std::size_t gsmBytes = 33;

// The calling side of a call, played by the test: it calls the phone's
// listener, takes its answer, and from then on records every voice message
// the phone sends (with the moment it came) while it can send speech of its
// own.
class FarCaller {
 public:
  struct Voice {
    Clock::time_point at;
    int code = 0;
    std::vector<std::uint8_t> frames;
  };

  explicit FarCaller(std::uint16_t port) : socket_(net::Socket::createTcp()) {
    connected_ = socket_ && socket_->connect(loopback, port);
  }
  ~FarCaller() {
    if (socket_) socket_->close();
    if (reader_.joinable()) reader_.join();
  }
  FarCaller(const FarCaller&) = delete;
  FarCaller& operator=(const FarCaller&) = delete;

  bool connected() const { return connected_; }

  bool call(std::int32_t callee, std::int32_t caller) {
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, callee);
    net::writeInt32(numbers, 4, caller);
    return send(net::peerCall, numbers);
  }

  // The moment the phone's answer (its peerAccept) came; none when the
  // phone closed or the time ran out.
  std::optional<Clock::time_point> awaitAnswer(std::chrono::milliseconds timeout) {
    socket_->setDeadline(Clock::now() + timeout);
    net::CPacket message;
    for (int code; (code = net::recvPacket(*socket_, message)) != 0;) {
      if (code == net::peerAccept) {
        const auto at = Clock::now();
        socket_->clearDeadline();
        return at;
      }
    }
    return std::nullopt;
  }

  // Completes the handshake (transmitting constantly) and starts recording
  // the phone's voice messages.
  bool accept() {
    std::array<std::uint8_t, 4> mode{};
    if (!send(net::peerAccept, mode)) return false;
    reader_ = std::thread([this] { read(); });
    return true;
  }

  // Sends the samples as the phone would, in messages of two GSM frames,
  // one every 40 ms, the first opening a talk spurt.
  void speak(const std::vector<std::int16_t>& samples) {
    gsm encoder = gsm_create();
    auto next = Clock::now();
    int code = net::peerVoiceFirst;
    constexpr std::size_t perMessage = 2;
    for (std::size_t at = 0; at + perMessage * frameSamples <= samples.size();
         at += perMessage * frameSamples) {
      std::array<std::uint8_t, perMessage * gsmBytes> payload{};
      for (std::size_t k = 0; k < perMessage; ++k) {
        std::array<gsm_signal, frameSamples> in{};
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at + k * frameSamples), frameSamples,
                    in.begin());
        gsm_encode(encoder, in.data(), payload.data() + k * gsmBytes);
      }
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(40);
      if (!send(static_cast<std::int16_t>(code), payload)) break;
      code = net::peerVoice;
    }
    gsm_destroy(encoder);
  }

  std::vector<Voice> voices() const {
    std::lock_guard lock(lock_);
    return voices_;
  }

 private:
  bool send(std::int16_t code, std::span<const std::uint8_t> payload) {
    net::CPacket message;
    net::buildPacket(message, code, static_cast<std::int16_t>(payload.size()), payload);
    return net::sendPacket(*socket_, message) != 0;
  }

  void read() {
    net::CPacket message;
    for (int code; (code = net::recvPacket(*socket_, message)) != 0;) {
      if (code != net::peerVoice && code != net::peerVoiceFirst) continue;
      const auto body = message.body();
      std::lock_guard lock(lock_);
      voices_.push_back(Voice{Clock::now(), code, {body.begin(), body.end()}});
    }
  }

  net::SocketPtr socket_;
  bool connected_ = false;
  std::thread reader_;
  mutable std::mutex lock_;
  std::vector<Voice> voices_;
};

std::vector<std::int16_t> decode(const std::vector<FarCaller::Voice>& voices) {
  gsm decoder = gsm_create();
  std::vector<std::int16_t> samples;
  for (const auto& v : voices) {
    for (std::size_t at = 0; at + gsmBytes <= v.frames.size(); at += gsmBytes) {
      std::array<gsm_byte, gsmBytes> frame{};
      std::copy_n(v.frames.begin() + static_cast<std::ptrdiff_t>(at), gsmBytes, frame.begin());
      std::array<gsm_signal, frameSamples> out{};
      gsm_decode(decoder, frame.data(), out.data());
      samples.insert(samples.end(), out.begin(), out.end());
    }
  }
  gsm_destroy(decoder);
  return samples;
}

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
