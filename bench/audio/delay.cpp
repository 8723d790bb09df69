// orvalis-voice-delay: the mouth-to-ear delay through two phones in one
// process, calling each other on loopback with the virtual sound device in
// real time and no spool. Phone A's microphone plays a tape of short tone
// bursts; each burst's onset is found in what phone B's speaker played, and
// the two are compared on the devices' own clocks. The design sets a floor
// of one capture block plus the five playback buffers queued ahead.

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
#include <memory>
#include <numbers>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "audio/sound_system.h"
#include "audio/virtual_device.h"
#include "audio/wav_file.h"
#include "phone/phone.h"
#include "store/config.h"

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

struct Side {
  Side(std::int32_t number, std::int32_t n, audio::VirtualDevices::Options options)
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
    options.clock = audio::VirtualDevices::Clock::realtime;
    devices = std::make_shared<audio::VirtualDevices>(std::move(options));
    phone = std::make_unique<phone::CPhone>(ui, dir.string() + "/",
                                            [d = devices](const audio::SoundLinks &links) {
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
  std::shared_ptr<audio::VirtualDevices> devices;
  std::unique_ptr<phone::CPhone> phone;
};

struct Result {
  std::vector<double> delaysMs;
};

// answerLag shifts A's microphone clock against B's speaker clock: A's
// microphone opens when B answers.
std::optional<Result> measure(std::int32_t n, std::chrono::milliseconds answerLag) {
  const auto tape = burstTape();
  const std::string heardPath = (std::filesystem::temp_directory_path() /
                                 ("orvalis-delay-" + std::to_string(::getpid()) + ".wav"))
                                    .string();
  Side a(300000001, n, {.microphone = tape});
  Side b(300000002, n, {.speakerFile = heardPath});

  // Everything the window would do runs on this thread, every 50 ms.
  const auto until = Clock::now() + 3s + std::chrono::milliseconds(tape.size() * 1000 / rate);
  bool called = false, answered = false, hungUp = false;
  for (auto next = Clock::now(); Clock::now() < until + 1s; next += 50ms) {
    std::this_thread::sleep_until(next);
    for (Side *s : {&a, &b}) {
      s->phone->tick();
      s->phone->soundTick();
    }
    const auto stateB = b.phone->callState.stateBind.load();
    if (!called && stateB == net::BindState::bindListening && b.phone->cnf.userPort.get() != 0) {
      called = a.phone->startCall(htonl(INADDR_LOOPBACK), b.phone->cnf.userPort.get()) == 1;
    }
    if (!answered && b.phone->callState.stateClient.load() == net::ClientState::clientIncoming) {
      std::this_thread::sleep_for(answerLag);
      b.phone->dial(a.phone->cnf.userNumber);
      answered = true;
    }
    if (!hungUp && Clock::now() >= until) {
      a.phone->stopVoice();
      a.phone->hangUp();
      hungUp = true;
    }
  }
  const auto mouth = a.devices->microphoneOrigin();
  const auto ear = b.devices->speakerOrigin();
  a.phone.reset();
  b.phone.reset();
  b.devices.reset();  // writes the file's header
  const auto heard = audio::loadWav(heardPath);
  std::filesystem::remove(heardPath);
  if (!mouth || !ear || !heard.ok()) return std::nullopt;

  const auto spoken = onsets(tape);
  const auto arrived = onsets(heard.samples);
  const double offsetMs = std::chrono::duration<double, std::milli>(*ear - *mouth).count();
  Result r;
  // Pair each burst with the first arrival after it.
  for (const std::size_t s : spoken) {
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
  std::printf("%-3s %-8s %-10s %-8s %-8s %-8s %-8s %s\n", "n", "lag ms", "floor ms", "min",
              "median", "mean", "max", "bursts");
  for (const std::int32_t n : {1, 2}) {
    for (const int quarter : {0, 1, 2, 3}) {
      const auto lag = std::chrono::milliseconds(quarter * n * 5);
      const auto r = measure(n, lag);
      const double floorMs = 6.0 * n * 20;
      if (!r || r->delaysMs.empty()) {
        std::printf("%-3d %-8d %-10.0f no bursts arrived\n", n, static_cast<int>(lag.count()),
                    floorMs);
        continue;
      }
      auto d = r->delaysMs;
      std::sort(d.begin(), d.end());
      double mean = 0;
      for (const double x : d) mean += x / static_cast<double>(d.size());
      std::printf("%-3d %-8d %-10.0f %-8.1f %-8.1f %-8.1f %-8.1f %zu/%d\n", n,
                  static_cast<int>(lag.count()), floorMs, d.front(), d[d.size() / 2], mean,
                  d.back(), d.size(), bursts);
    }
  }
  return 0;
}
