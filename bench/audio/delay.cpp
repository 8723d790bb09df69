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
//
// Then with a new user's settings (whatever spool and frames a message a
// new settings file has), on loopback and across a long path: the two
// phones in two hosts of a lab of network namespaces joined by a router
// that delays, jitters and drops packets (tests/support/delay_line.h).
// Each phone's work that makes sockets or threads runs on a thread of its
// own that has entered its host. The tape is a quiet tone that never
// stops, with loud bursts at irregular intervals: a silence in what B
// plays is an underrun, and the bursts' onsets give the delay, how it
// moves after an underrun and how long it takes to come back.
//
// The phones run with echo cancellation and noise suppression as a new
// user has them (on); ORVALIS_SOUND_PROCESSING=off runs them without, for
// what the processing adds.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gsm.h>
#include <netinet/in.h>
#include <sched.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/portaudio_device.h"
#include "audio/sound_system.h"
#include "audio/virtual_device.h"
#include "audio/wav_file.h"
#include "phone/phone.h"
#include "store/config.h"
#include "store/device_names.h"
#include "support/delay_line.h"
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

// A thread that enters a network namespace once and then runs the tasks it
// is given there, one at a time, each before run() returns. Sockets belong
// to the namespace of the thread that makes them, and threads start in
// their maker's, so a phone made and ticked here lives in that host.
class HostThread {
 public:
  explicit HostThread(const std::string &name) : thread_([this, name] { serve("/run/netns/" + name); }) {}
  ~HostThread() {
    {
      std::lock_guard guard(lock_);
      stopping_ = true;
    }
    changed_.notify_all();
    thread_.join();
  }
  HostThread(const HostThread &) = delete;
  HostThread &operator=(const HostThread &) = delete;

  // The task's exception is thrown here.
  void run(const std::function<void()> &task) {
    std::unique_lock guard(lock_);
    task_ = &task;
    changed_.notify_all();
    changed_.wait(guard, [this] { return task_ == nullptr; });
    if (error_) std::rethrow_exception(std::exchange(error_, nullptr));
  }

 private:
  void serve(const std::string &path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool entered = fd >= 0 && ::setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) ::close(fd);
    std::unique_lock guard(lock_);
    for (;;) {
      changed_.wait(guard, [this] { return stopping_ || task_ != nullptr; });
      if (task_ == nullptr) return;
      guard.unlock();
      try {
        if (!entered) throw std::runtime_error("cannot enter " + path);
        (*task_)();
      } catch (...) {
        error_ = std::current_exception();
      }
      guard.lock();
      task_ = nullptr;
      changed_.notify_all();
    }
  }

  std::mutex lock_;
  std::condition_variable changed_;
  const std::function<void()> *task_ = nullptr;  // guarded by lock_, as is the rest
  std::exception_ptr error_;
  bool stopping_ = false;
  std::thread thread_;
};

// What a row changes in a new user's settings; none: as a new settings
// file has it. Every row transmits constantly in full duplex.
struct Tuning {
  std::optional<std::int32_t> frames;  // frames a message
  std::optional<std::int32_t> spool;   // nGsmDelay
};

struct Side {
  // host: where the phone runs; none: on the calling thread.
  Side(std::int32_t number, Tuning tuning, std::shared_ptr<audio::WaveDevices> devices,
       HostThread *host = nullptr)
      : dir(std::filesystem::temp_directory_path() /
            ("orvalis-delay-" + std::to_string(::getpid()) + "-" + std::to_string(number))),
        host_(host) {
    std::filesystem::create_directories(dir);
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.string() + "/");
    store::setDefaults(cnf);
    cnf.userNumber = number;
    cnf.dynamicPort = 1;
    if (tuning.frames) cnf.nGsm = *tuning.frames - 1;
    if (tuning.spool) cnf.nGsmDelay = *tuning.spool;
    cnf.msa = 0;
    cnf.soundSystem = static_cast<std::int32_t>(store::SoundSystem::fullDuplex);
    for (auto *melody : {&cnf.musicCallIn, &cnf.musicCallOut, &cnf.musicFind, &cnf.musicMsg})
      melody->set("1- ");
    config.save();
    if (const char *processing = std::getenv("ORVALIS_SOUND_PROCESSING");
        processing != nullptr && std::string(processing) == "off")
      store::saveSoundProcessing((dir / store::deviceNamesFile).string(), false);
    run([&] {
      phone = std::make_unique<phone::CPhone>(ui, dir.string() + "/",
                                              [d = std::move(devices)](const audio::SoundLinks &links) {
                                                return std::make_unique<audio::SoundSystem>(links, d);
                                              });
      // A bench of the sound path: no server, both sides count as logged in.
      phone->serverState = phone::ServerState::loggedIn;
    });
  }
  ~Side() {
    run([this] { phone.reset(); });
    std::filesystem::remove_all(dir);
  }

  void run(const std::function<void()> &task) {
    if (host_ != nullptr)
      host_->run(task);
    else
      task();
  }

  std::filesystem::path dir;
  QuietUi ui;
  std::unique_ptr<phone::CPhone> phone;

 private:
  HostThread *host_;
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

// A calls B at calleeAddress (network order), B answers after answerLag,
// and the call lasts `talk` (with the tape's start, `started`, run when it
// is answered); everything the window would do runs every 50 ms, on each
// side's thread.
void converse(Side &a, Side &b, std::uint32_t calleeAddress, std::chrono::milliseconds answerLag,
              Clock::duration talk, const std::function<void()> &started = nullptr) {
  bool called = false, answered = false, hungUp = false;
  std::optional<Clock::time_point> until;
  const auto giveUp = Clock::now() + 20s;  // never answered
  for (auto next = Clock::now(); until ? Clock::now() < *until + 1s : Clock::now() < giveUp;
       next += 50ms) {
    std::this_thread::sleep_until(next);
    for (Side *s : {&a, &b}) {
      s->run([s] {
        s->phone->tick();
        s->phone->soundTick();
        // No server: the automatic login would log the phone out again.
        s->phone->serverState = phone::ServerState::loggedIn;
      });
    }
    const auto stateB = b.phone->callState.stateBind.load();
    if (!called && stateB == net::BindState::bindListening && b.phone->cnf.userPort.get() != 0) {
      a.run([&] { called = a.phone->startCall(calleeAddress, b.phone->cnf.userPort.get()) == 1; });
    }
    if (!answered && b.phone->callState.stateClient.load() == net::ClientState::clientIncoming) {
      std::this_thread::sleep_for(answerLag);
      b.run([&] { b.phone->dial(a.phone->cnf.userNumber); });
      answered = true;
      until = Clock::now() + talk;
      if (started) started();
    }
    if (until && !hungUp && Clock::now() >= *until) {
      a.run([&] {
        a.phone->stopVoice();
        a.phone->hangUp();
      });
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
  Side a(300000001, {n, 0}, micDevices);
  Side b(300000002, {n, 0}, speakerDevices);
  converse(a, b, htonl(INADDR_LOOPBACK), answerLag,
           3s + std::chrono::milliseconds(tape.size() * 1000 / rate));
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
  Side a(300000001, {n, 0}, std::make_shared<SplitDevices>(card, virtualDevices()));
  Side b(300000002, {n, 0}, std::make_shared<SplitDevices>(virtualDevices(), card));
  const auto talk = 1s + std::chrono::milliseconds(burstTape().size() * 1000 / rate);
  return onTheRig(rig, [&](const std::function<void()> &start) {
    converse(a, b, htonl(INADDR_LOOPBACK), answerLag, talk, start);
  });
}

// ---- a new user's settings, on loopback and across a long path ---------------

constexpr double quietLevel = 1500;  // the tone that never stops
constexpr double loudLevel = 12000;  // the bursts on top of it
constexpr std::size_t loudSamples = rate * 60 / 1000;
// Silent at this level for 20 ms: nothing was played, the speaker ran dry.
constexpr int silentBelow = 64;
constexpr std::size_t dropoutSamples = rate * 20 / 1000;
// A burst's delay is back once within this of its median before a dropout.
constexpr double settledMs = 10;

// A quiet 300 Hz tone with 60 ms bursts of 1 kHz every 250 to 600 ms: no
// two stretches between bursts alike, so a delay that lines up one heard
// burst with a spoken one lines up its neighbours only when it is right.
std::vector<std::int16_t> hummingTape(Clock::duration length, std::uint32_t seed) {
  const auto samples = static_cast<std::size_t>(std::chrono::duration<double>(length).count() * rate);
  std::vector<std::int16_t> tape(samples);
  std::vector<bool> loud(samples);
  std::mt19937 random(seed);
  std::uniform_int_distribution<std::size_t> gap(rate * 250 / 1000, rate * 600 / 1000);
  for (std::size_t at = leadSamples; at + loudSamples < samples; at += gap(random))
    std::fill_n(loud.begin() + static_cast<std::ptrdiff_t>(at), loudSamples, true);
  for (std::size_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / rate;
    double x = quietLevel * std::sin(2 * std::numbers::pi * 300 * t);
    if (loud[i]) x += loudLevel * std::sin(2 * std::numbers::pi * 1000 * t);
    tape[i] = static_cast<std::int16_t>(x);
  }
  return tape;
}

// Where the bursts start: a 2.5 ms window's mean level well above the
// quiet tone's after at least 100 ms without.
std::vector<std::size_t> loudOnsets(const std::vector<std::int16_t> &s) {
  constexpr std::size_t window = 20;
  std::vector<std::size_t> found;
  std::optional<std::size_t> loudAt;
  for (std::size_t at = 0; at + window <= s.size(); at += window) {
    double sum = 0;
    for (std::size_t j = 0; j < window; ++j) sum += std::abs(static_cast<double>(s[at + j]));
    if (sum / window < (quietLevel + loudLevel) / 4) continue;
    if (!loudAt || at >= *loudAt + rate / 10) found.push_back(at);
    loudAt = at;
  }
  return found;
}

struct Dropout {
  double atMs, endMs;  // in what B played
};

// Silences of 20 ms or more in what B played, from the first sound to the last.
std::vector<Dropout> dropouts(const std::vector<std::int16_t> &heard, std::size_t first, std::size_t last) {
  std::vector<Dropout> found;
  std::size_t quietFrom = first;
  for (std::size_t i = first; i <= last; ++i) {
    if (std::abs(static_cast<int>(heard[i])) < silentBelow) continue;
    if (i - quietFrom >= dropoutSamples)
      found.push_back({1000.0 * static_cast<double>(quietFrom) / rate, 1000.0 * static_cast<double>(i) / rate});
    quietFrom = i + 1;
  }
  return found;
}

struct HeardBurst {
  double atMs;     // in what B played
  double delayMs;  // mouth to ear
};

// Heard onsets paired with spoken ones, in order, by the pairing whose
// successive delays agree (within 25 ms) most often: the delay stays put
// between underruns, and a wrong pair breaks the agreement on both sides.
// A heard onset left out (a burst cut in two by a dropout) or a spoken
// burst never heard costs a little. offsetMs: when B's recording started,
// on the clock of A's tape.
std::vector<HeardBurst> matchBursts(const std::vector<std::size_t> &spoken,
                                    const std::vector<std::size_t> &heard, double offsetMs) {
  struct Pair {
    std::size_t heard, spoken;
    double delayMs;
    double score = 0;
    std::ptrdiff_t before = -1;  // the pair ahead of it in the best chain
  };
  std::vector<Pair> pairs;  // by heard onset, then spoken
  for (std::size_t j = 0; j < heard.size(); ++j) {
    for (std::size_t i = 0; i < spoken.size(); ++i) {
      const double d = offsetMs + 1000.0 * (static_cast<double>(heard[j]) - static_cast<double>(spoken[i])) / rate;
      if (d > 0 && d <= 3000) pairs.push_back({j, i, d});
    }
  }
  constexpr std::size_t maxSkip = 3;
  for (std::size_t c = 0; c < pairs.size(); ++c) {
    Pair &p = pairs[c];
    for (std::size_t k = c; k-- > 0;) {
      const Pair &q = pairs[k];
      if (q.heard + maxSkip < p.heard) break;
      if (q.heard == p.heard || q.spoken >= p.spoken || q.spoken + maxSkip < p.spoken) continue;
      const double skipped = static_cast<double>(p.heard - q.heard - 1 + p.spoken - q.spoken - 1);
      const double score = q.score + (std::abs(q.delayMs - p.delayMs) <= 25 ? 1 : 0) - 0.2 * skipped;
      if (score > p.score) {
        p.score = score;
        p.before = static_cast<std::ptrdiff_t>(k);
      }
    }
  }
  std::vector<HeardBurst> matched;
  if (pairs.empty()) return matched;
  auto at = std::max_element(pairs.begin(), pairs.end(),
                             [](const Pair &a, const Pair &b) { return a.score < b.score; }) -
            pairs.begin();
  for (; at >= 0; at = pairs[static_cast<std::size_t>(at)].before) {
    const Pair &p = pairs[static_cast<std::size_t>(at)];
    matched.push_back({1000.0 * static_cast<double>(heard[p.heard]) / rate, p.delayMs});
  }
  std::reverse(matched.begin(), matched.end());
  return matched;
}

double percentileOf(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size())))];
}

struct LongResult {
  std::size_t spoken = 0;
  std::vector<HeardBurst> bursts;
  std::size_t dropouts = 0;
  double playedMinutes = 0;
  std::vector<double> recoveriesMs;  // from a dropout until the delay is back
  int notBack = 0;                   // dropouts after which it never came back
};

LongResult analyse(const std::vector<std::int16_t> &tape, const std::vector<std::int16_t> &heard,
                   double offsetMs) {
  LongResult r;
  const auto spoken = loudOnsets(tape);
  r.spoken = spoken.size();
  r.bursts = matchBursts(spoken, loudOnsets(heard), offsetMs);
  const auto sounding = [](std::int16_t x) { return std::abs(static_cast<int>(x)) >= 4 * silentBelow; };
  const auto first = std::find_if(heard.begin(), heard.end(), sounding);
  if (first == heard.end()) return r;
  const auto last = std::find_if(heard.rbegin(), heard.rend(), sounding).base() - 1;
  const auto from = static_cast<std::size_t>(first - heard.begin());
  // Up to the last burst heard: past the tape's end the decoder trails off.
  auto to = static_cast<std::size_t>(last - heard.begin());
  if (!r.bursts.empty())
    to = std::min(to, static_cast<std::size_t>(r.bursts.back().atMs * rate / 1000) + loudSamples);
  r.playedMinutes = static_cast<double>(to - from) / rate / 60;
  const auto gaps = dropouts(heard, from, to);
  r.dropouts = gaps.size();
  double since = 0;  // the end of the dropout before
  for (const Dropout &gap : gaps) {
    std::vector<double> before;
    for (const HeardBurst &b : r.bursts)
      if (b.atMs >= since && b.atMs < gap.atMs) before.push_back(b.delayMs);
    since = gap.endMs;
    if (before.empty()) continue;  // nothing to come back to
    const double target = percentileOf(before, 0.5);
    const auto back = std::find_if(r.bursts.begin(), r.bursts.end(), [&](const HeardBurst &b) {
      return b.atMs > gap.endMs && std::abs(b.delayMs - target) <= settledMs;
    });
    if (back == r.bursts.end())
      ++r.notBack;
    else
      r.recoveriesMs.push_back(back->atMs - gap.atMs);
  }
  return r;
}

// A calls B for `length` of the tape; phones on loopback, or A in the
// path's near host and B in its far one.
std::optional<LongResult> measureLong(Clock::duration length, testing::LongPathLab *path = nullptr) {
  const auto tape = hummingTape(length, 7);
  const std::string heardPath = (std::filesystem::temp_directory_path() /
                                 ("orvalis-delay-long-" + std::to_string(::getpid()) + ".wav"))
                                    .string();
  auto micDevices = virtualDevices(tape);
  auto speakerDevices = virtualDevices({}, heardPath);
  std::optional<HostThread> nearHost, farHost;  // outlive the sides
  std::uint32_t calleeAddress = htonl(INADDR_LOOPBACK);
  if (path) {
    nearHost.emplace(path->lab.name("near"));
    farHost.emplace(path->lab.name("far"));
    ::inet_pton(AF_INET, testing::LongPathLab::farAddress, &calleeAddress);
  }
  std::optional<LongResult> result;
  {
    Side a(300000001, {}, micDevices, nearHost ? &*nearHost : nullptr);
    Side b(300000002, {}, speakerDevices, farHost ? &*farHost : nullptr);
    converse(a, b, calleeAddress, 0ms, length + 3s);
  }
  const auto mouth = micDevices->microphoneOrigin();
  const auto ear = speakerDevices->speakerOrigin();
  speakerDevices.reset();  // writes the file's header
  const auto heard = audio::loadWav(heardPath);
  std::filesystem::remove(heardPath);
  if (!mouth || !ear || !heard.ok()) return std::nullopt;
  return analyse(tape, heard.samples, std::chrono::duration<double, std::milli>(*ear - *mouth).count());
}

// The lab's hosts take the machine's, which decides how the call's
// connection paces itself.
void printCongestionControl() {
  if (std::FILE *f = std::fopen("/proc/sys/net/ipv4/tcp_congestion_control", "r")) {
    char name[32] = "";
    if (std::fscanf(f, "%31s", name) == 1) std::printf("TCP congestion control: %s\n", name);
    std::fclose(f);
  }
}

void printLongHeader() {
  std::printf("%-30s %-8s %-8s %-14s %-26s %s\n", "path", "median", "p95", "underruns/min",
              "recovery ms median/max", "bursts");
}

void printLongRow(const char *label, const std::optional<LongResult> &r) {
  if (!r || r->bursts.empty()) {
    std::printf("%-30s no bursts arrived\n", label);
    return;
  }
  std::vector<double> delays;
  for (const HeardBurst &b : r->bursts) delays.push_back(b.delayMs);
  const double perMinute = r->playedMinutes > 0 ? static_cast<double>(r->dropouts) / r->playedMinutes : 0;
  char recovery[64];
  if (r->dropouts == 0)
    std::snprintf(recovery, sizeof recovery, "no underruns");
  else if (r->recoveriesMs.empty())
    std::snprintf(recovery, sizeof recovery, "never (%d)", r->notBack);
  else
    std::snprintf(recovery, sizeof recovery, "%.0f/%.0f%s", percentileOf(r->recoveriesMs, 0.5),
                  *std::max_element(r->recoveriesMs.begin(), r->recoveriesMs.end()),
                  r->notBack > 0 ? (", " + std::to_string(r->notBack) + " never").c_str() : "");
  std::printf("%-30s %-8.1f %-8.1f %-14.1f %-26s %zu/%zu\n", label, percentileOf(delays, 0.5),
              percentileOf(delays, 0.95), perMinute, recovery, r->bursts.size(), r->spoken);
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
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // rows as they come: the long ones take a minute
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
      "\nA new user's settings (the spool and frames a message of a new settings\n"
      "file), transmitting constantly. The tape: a quiet tone with loud bursts every\n"
      "250-600 ms; mouth-to-ear from the bursts' onsets; an underrun is a silence\n"
      "of 20 ms or more in what B plays; recovery is the time from an underrun until\n"
      "a burst's delay is back within %.0f ms of their median before it.\n",
      settledMs);
  printLongHeader();
  printLongRow("loopback", measureLong(20s));
  std::printf(
      "\nAcross a long path: A and B in two hosts of a lab of network namespaces,\n"
      "joined by a router that holds every packet (a minute a row).\n");
  try {
    struct PathRow {
      const char *label;
      testing::DelayOptions options;
    };
    const PathRow rows[] = {
        {"200 ms round trip", {.delay = 100ms}},
        {"200 ms, +-30 ms jitter, 1% loss", {.delay = 100ms, .jitter = 30ms, .loss = 0.01}},
    };
    bool headed = false;
    for (const PathRow &row : rows) {
      testing::LongPathLab path(row.options);
      if (!std::exchange(headed, true)) {
        printCongestionControl();
        printLongHeader();
      }
      printLongRow(row.label, measureLong(60s, &path));
    }
  } catch (const testing::LabUnavailable &e) {
    std::printf("skipped: %s\n", e.what());
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
