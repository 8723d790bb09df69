// orvalis-voice-delay: the mouth-to-ear delay through two phones in one
// process, calling each other on loopback with no spool. Phone A's
// microphone hears a tape of short tone bursts; each burst's onset is found
// in what phone B's speaker played. The design sets a floor of one capture
// block plus the five playback buffers queued ahead.
//
// Twice: on the virtual sound device in real time, where the two are
// compared on the devices' own clocks; and on a real sound server, a
// PulseAudio daemon of the bench's own (tests/support/pulse_rig.h) reached
// through PortAudio and ALSA, where A's microphone is the monitor of the
// "mouth" sink that the tape is played into and B's speaker the "speaker"
// sink. There the tape is played into both sinks at once, on the left
// channel only, so the speaker's recording shows each burst on the left as
// it enters the microphone and on the right as the phones play it. The
// same measure of a plain loopback from mouth to speaker, instead of the
// phones, gives what the sound server adds by itself; and once more with
// a card that takes 48 kHz only, for what converting the rate adds.

#include <arpa/inet.h>
#include <gsm.h>
#include <netinet/in.h>
#include <stdlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/portaudio_device.h"
#include "audio/sound_system.h"
#include "audio/virtual_device.h"
#include "audio/wav_file.h"
#include "phone/phone.h"
#include "store/config.h"
#include "support/pulse_rig.h"

namespace {

using namespace orvalis;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr std::size_t rate = audio::sampleRate;
constexpr std::size_t leadSamples = rate / 2;
constexpr std::size_t burstSamples = rate * 60 / 1000;
// Not a multiple of any block length, so the bursts fall at every phase of
// the capture blocks and of the playback buffers.
constexpr std::size_t burstPeriod = rate * 613 / 1000;
constexpr int bursts = 6;

class QuietUi final : public phone::PhoneUi {
 public:
  void setDisplay(std::string_view) override {}
  void setLoginCaption(std::string_view) override {}
  void setLoginPrompt(std::string_view) override {}
  void setLoginSaveCaption(std::string_view) override {}
  phone::LoginOutcome runLoginDialog(const phone::LoginPrefill &) override { return {}; }
  void setLocalHostLabel(std::string_view) override {}
  void setTestServerLabel(std::string_view) override {}
  void showMessage(std::string_view) override {}
};

std::vector<std::int16_t> burstTape() {
  std::vector<std::int16_t> tape(leadSamples + bursts * burstPeriod);
  for (int b = 0; b < bursts; ++b) {
    for (std::size_t i = 0; i < burstSamples; ++i) {
      const double t = static_cast<double>(i) / rate;
      tape[leadSamples + b * burstPeriod + i] =
          static_cast<std::int16_t>(12000 * std::sin(2 * std::numbers::pi * 1000 * t));
    }
  }
  return tape;
}

// The first sample of each burst in a recording: where a 2.5 ms window's
// mean level first rises above a quarter of the bursts' after a quiet spell.
std::vector<std::size_t> onsets(const std::vector<std::int16_t> &s) {
  constexpr std::size_t window = 20;
  std::vector<std::size_t> found;
  std::size_t quietSince = 0;
  for (std::size_t at = 0; at + window <= s.size(); at += window) {
    double sum = 0;
    for (std::size_t j = 0; j < window; ++j) sum += std::abs(static_cast<double>(s[at + j]));
    const bool loud = sum / window > 2000;
    if (loud && at >= quietSince + burstPeriod / 2) found.push_back(at);
    if (loud) quietSince = at;
  }
  return found;
}

// What the codec and the onset detector add by themselves: the tape through
// a bare encoder and decoder, onsets compared with the tape's.
double codecBiasMs(const std::vector<std::int16_t> &tape) {
  gsm encoder = gsm_create(), decoder = gsm_create();
  std::vector<std::int16_t> decoded(tape.size() / audio::frameSamples * audio::frameSamples);
  std::array<gsm_signal, audio::frameSamples> in{}, out{};
  std::array<gsm_byte, audio::gsmBytes> frame{};
  for (std::size_t at = 0; at < decoded.size(); at += audio::frameSamples) {
    std::copy_n(tape.begin() + static_cast<std::ptrdiff_t>(at), in.size(), in.begin());
    gsm_encode(encoder, in.data(), frame.data());
    gsm_decode(decoder, frame.data(), out.data());
    std::copy(out.begin(), out.end(), decoded.begin() + static_cast<std::ptrdiff_t>(at));
  }
  gsm_destroy(encoder);
  gsm_destroy(decoder);
  const auto a = onsets(tape), b = onsets(decoded);
  double sum = 0;
  const std::size_t count = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < count; ++i)
    sum += static_cast<double>(b[i]) - static_cast<double>(a[i]);
  return count == 0 ? 0.0 : 1000.0 * sum / static_cast<double>(count) / rate;
}

// Capture from one set of devices and playback to another.
class SplitDevices final : public audio::WaveDevices {
 public:
  SplitDevices(std::shared_ptr<audio::WaveDevices> capture, std::shared_ptr<audio::WaveDevices> playback)
      : capture_(std::move(capture)), playback_(std::move(playback)) {}
  std::vector<std::string> names(audio::Direction d) const override { return of(d).names(d); }
  std::unique_ptr<audio::WaveStream> open(audio::Direction d, std::int32_t device,
                                          const audio::WaveFormat &format,
                                          audio::WaveStream::Done done) override {
    return of(d).open(d, device, format, std::move(done));
  }
  void standby(std::int32_t device, const audio::WaveFormat &format) override {
    capture_->standby(device, format);
  }

 private:
  audio::WaveDevices &of(audio::Direction d) const {
    return d == audio::Direction::capture ? *capture_ : *playback_;
  }
  std::shared_ptr<audio::WaveDevices> capture_, playback_;
};

struct Side {
  Side(std::int32_t number, std::int32_t n, std::shared_ptr<audio::WaveDevices> devices)
      : dir(std::filesystem::temp_directory_path() /
            ("orvalis-delay-" + std::to_string(::getpid()) + "-" + std::to_string(number))) {
    std::filesystem::create_directories(dir);
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.string() + "/");
    store::setDefaults(cnf);
    cnf.userNumber = number;
    cnf.dynamicPort = 1;
    cnf.nGsm = n - 1;
    cnf.nGsmDelay = 0;  // no spool
    cnf.msa = 0;
    cnf.soundSystem = static_cast<std::int32_t>(store::SoundSystem::fullDuplex);
    for (auto *melody : {&cnf.musicCallIn, &cnf.musicCallOut, &cnf.musicFind, &cnf.musicMsg})
      melody->set("1- ");
    config.save();
    phone = std::make_unique<phone::CPhone>(ui, dir.string() + "/",
                                            [d = std::move(devices)](const audio::SoundLinks &links) {
                                              return std::make_unique<audio::SoundSystem>(links, d);
                                            });
    // A bench of the sound path: no server, both sides count as logged in.
    phone->serverState = phone::ServerState::loggedIn;
  }
  ~Side() {
    phone.reset();
    std::filesystem::remove_all(dir);
  }

  std::filesystem::path dir;
  QuietUi ui;
  std::unique_ptr<phone::CPhone> phone;
};

// The virtual device in real time: a microphone tape, and a file the
// speaker writes (none: nowhere).
std::shared_ptr<audio::VirtualDevices> virtualDevices(std::vector<std::int16_t> microphone = {},
                                                      std::filesystem::path speakerFile = {}) {
  audio::VirtualDevices::Options options;
  options.clock = audio::VirtualDevices::Clock::realtime;
  options.microphone = std::move(microphone);
  options.speakerFile = std::move(speakerFile);
  return std::make_shared<audio::VirtualDevices>(std::move(options));
}

// A calls B, B answers after answerLag, and the call lasts `talk` (with
// the tape's start, `started`, run when it is answered); everything the
// window would do runs on this thread, every 50 ms.
void converse(Side &a, Side &b, std::chrono::milliseconds answerLag, Clock::duration talk,
              const std::function<void()> &started = nullptr) {
  bool called = false, answered = false, hungUp = false;
  std::optional<Clock::time_point> until;
  const auto giveUp = Clock::now() + 20s;  // never answered
  for (auto next = Clock::now(); until ? Clock::now() < *until + 1s : Clock::now() < giveUp;
       next += 50ms) {
    std::this_thread::sleep_until(next);
    for (Side *s : {&a, &b}) {
      s->phone->tick();
      s->phone->soundTick();
      // No server: the automatic login would log the phone out again.
      s->phone->serverState = phone::ServerState::loggedIn;
    }
    const auto stateB = b.phone->callState.stateBind.load();
    if (!called && stateB == net::BindState::bindListening && b.phone->cnf.userPort.get() != 0) {
      called = a.phone->startCall(htonl(INADDR_LOOPBACK), b.phone->cnf.userPort.get()) == 1;
    }
    if (!answered && b.phone->callState.stateClient.load() == net::ClientState::clientIncoming) {
      std::this_thread::sleep_for(answerLag);
      b.phone->dial(a.phone->cnf.userNumber);
      answered = true;
      until = Clock::now() + talk;
      if (started) started();
    }
    if (until && !hungUp && Clock::now() >= *until) {
      a.phone->stopVoice();
      a.phone->hangUp();
      hungUp = true;
    }
  }
}

struct Result {
  std::vector<double> delaysMs;
};

// Pairs each burst on the left with the first on the right that follows
// it within a second.
Result pairUp(const std::vector<std::size_t> &sent, const std::vector<std::size_t> &arrived,
              double offsetMs = 0) {
  Result r;
  for (const std::size_t s : sent) {
    const double sentMs = 1000.0 * static_cast<double>(s) / rate;
    for (const std::size_t h : arrived) {
      const double delay = offsetMs + 1000.0 * static_cast<double>(h) / rate - sentMs;
      if (delay > 0 && delay < 1000) {
        r.delaysMs.push_back(delay);
        break;
      }
    }
  }
  return r;
}

// answerLag shifts A's microphone clock against B's speaker clock: A's
// microphone opens when B answers.
std::optional<Result> measure(std::int32_t n, std::chrono::milliseconds answerLag) {
  const auto tape = burstTape();
  const std::string heardPath = (std::filesystem::temp_directory_path() /
                                 ("orvalis-delay-" + std::to_string(::getpid()) + ".wav"))
                                    .string();
  auto micDevices = virtualDevices(tape);
  auto speakerDevices = virtualDevices({}, heardPath);
  Side a(300000001, n, micDevices);
  Side b(300000002, n, speakerDevices);
  converse(a, b, answerLag, 3s + std::chrono::milliseconds(tape.size() * 1000 / rate));
  const auto mouth = micDevices->microphoneOrigin();
  const auto ear = speakerDevices->speakerOrigin();
  a.phone.reset();
  b.phone.reset();
  speakerDevices.reset();  // writes the file's header
  const auto heard = audio::loadWav(heardPath);
  std::filesystem::remove(heardPath);
  if (!mouth || !ear || !heard.ok()) return std::nullopt;

  const double offsetMs = std::chrono::duration<double, std::milli>(*ear - *mouth).count();
  return pairUp(onsets(tape), onsets(heard.samples), offsetMs);
}

// ---- the real sound server ------------------------------------------------------

// The tap: a sink that plays into both the microphone's sink and the
// loudspeaker's at once. The tape goes into it on the left channel only, so
// the loudspeaker's left channel carries each burst as it enters the
// microphone, and both channels what the phones play (mono).
std::vector<std::string> tapModules(bool wire) {
  std::vector<std::string> lines = {
      "load-module module-combine-sink sink_name=tap slaves=mouth,speaker channels=2"};
  // Instead of the phones: the sound server's own path from mouth to speaker.
  if (wire)
    lines.push_back("load-module module-loopback source=mouth.monitor sink=speaker channels=1 latency_msec=20");
  return lines;
}

// Plays the tape into the tap while `run` runs (it calls the tape's start),
// and finds the bursts on the loudspeaker's two channels.
std::optional<Result> onTheRig(testing::PulseRig &rig,
                               const std::function<void(const std::function<void()> &)> &run) {
  const auto mono = rig.writeWav("tape-mono", burstTape());
  const auto tapePath = rig.dir().file("tape.wav");
  if (testing::runProgram("sox", {mono.string(), tapePath.string(), "remix", "1", "0"},
                          rig.dir().path().string(), "")
          .exitStatus != 0)
    return std::nullopt;
  auto speaker = rig.record("speaker.monitor", "heard", 2);
  std::unique_ptr<testing::ChildProcess> mouth;
  run([&] {
    mouth = std::make_unique<testing::ChildProcess>(
        "paplay", std::vector<std::string>{"-d", "tap", tapePath.string()}, rig.dir().path().string());
  });
  const auto stereo = speaker->stop();
  // What the phones play is on both channels alike: the left less the right
  // is the tape alone.
  std::vector<std::int16_t> tape(stereo.size() / 2), played(stereo.size() / 2);
  for (std::size_t i = 0; i < tape.size(); ++i) {
    played[i] = stereo[2 * i + 1];
    tape[i] = static_cast<std::int16_t>(std::clamp(stereo[2 * i] - stereo[2 * i + 1], -32768, 32767));
  }
  return pairUp(onsets(tape), onsets(played));
}

std::optional<Result> measureWire() {
  testing::PulseRig rig({.extraModules = tapModules(true)});
  if (!rig.ready()) return std::nullopt;
  return onTheRig(rig, [](const std::function<void()> &start) {
    std::this_thread::sleep_for(500ms);
    start();
    std::this_thread::sleep_for(std::chrono::milliseconds(burstTape().size() * 1000 / rate) + 1s);
  });
}

// cardRate: the card takes only this rate, and the phones' sound is
// converted to and from 8 kHz (0: the card takes 8 kHz).
std::optional<Result> measureRig(std::int32_t n, std::chrono::milliseconds answerLag,
                                 unsigned cardRate = 0) {
  testing::PulseRig rig({.speakerRate = cardRate, .cardRate = 0, .extraModules = tapModules(false)});
  if (!rig.ready()) return std::nullopt;
  // Made after the rig, whose environment routes ALSA's default to it.
  auto card = std::make_shared<audio::PortAudioDevices>(
      audio::PortAudioDevices::Options{.onlyRate = static_cast<double>(cardRate)});
  if (!card->available()) return std::nullopt;
  Side a(300000001, n, std::make_shared<SplitDevices>(card, virtualDevices()));
  Side b(300000002, n, std::make_shared<SplitDevices>(virtualDevices(), card));
  const auto talk = 1s + std::chrono::milliseconds(burstTape().size() * 1000 / rate);
  return onTheRig(rig, [&](const std::function<void()> &start) { converse(a, b, answerLag, talk, start); });
}

void printHeader() {
  std::printf("%-3s %-8s %-10s %-8s %-8s %-8s %-8s %s\n", "n", "lag ms", "floor ms", "min",
              "median", "mean", "max", "bursts");
}

void printRow(const char *n, int lagMs, double floorMs, const std::optional<Result> &r) {
  if (!r || r->delaysMs.empty()) {
    std::printf("%-3s %-8d %-10.0f no bursts arrived\n", n, lagMs, floorMs);
    return;
  }
  auto d = r->delaysMs;
  std::sort(d.begin(), d.end());
  double mean = 0;
  for (const double x : d) mean += x / static_cast<double>(d.size());
  std::printf("%-3s %-8d %-10.0f %-8.1f %-8.1f %-8.1f %-8.1f %zu/%d\n", n, lagMs, floorMs, d.front(),
              d[d.size() / 2], mean, d.back(), d.size(), bursts);
}

}  // namespace

int main() {
  std::printf(
      "Mouth-to-ear delay, two phones on loopback, virtual device in "
      "real time, spool 0\n");
  std::printf(
      "(the codec and the onset detector alone account for %.1f ms of "
      "each figure)\n",
      codecBiasMs(burstTape()));
  std::printf(
      "Each row: %d bursts, B answering after the given lag, so the "
      "two devices'\n"
      "clocks meet at another phase; the design allows floor .. floor "
      "+ one block.\n",
      bursts);
  printHeader();
  for (const std::int32_t n : {1, 2}) {
    for (const int quarter : {0, 1, 2, 3}) {
      const auto lag = std::chrono::milliseconds(quarter * n * 5);
      printRow(std::to_string(n).c_str(), static_cast<int>(lag.count()), 6.0 * n * 20, measure(n, lag));
    }
  }

  std::printf(
      "\nMouth-to-ear delay on a PulseAudio sound server (PortAudio, ALSA, null\n"
      "sinks for microphone and loudspeaker), full duplex, spool 0. \"wire\" is a\n"
      "plain loopback from microphone to loudspeaker instead of the phones: what\n"
      "the sound server adds by itself, part of every row below it.\n");
  if (testing::PulseRig rig; !rig.ready()) {
    std::printf("skipped: %s\n", rig.why().c_str());
    return 0;
  }
  printHeader();
  printRow("-", 0, 0, measureWire());
  for (const std::int32_t n : {1, 2}) {
    for (const int quarter : {0, 2}) {
      const auto lag = std::chrono::milliseconds(quarter * n * 5);
      printRow(std::to_string(n).c_str(), static_cast<int>(lag.count()), 6.0 * n * 20,
               measureRig(n, lag));
    }
  }
  std::printf(
      "\nThe same on a card that takes 48 kHz only: the phones' sound converted to\n"
      "and from 8 kHz on the way.\n");
  printHeader();
  for (const std::int32_t n : {1, 2})
    printRow(std::to_string(n).c_str(), 0, 6.0 * n * 20, measureRig(n, std::chrono::milliseconds(0), 48000));
  return 0;
}
