#pragma once
// A real sound server for the tests: a PulseAudio daemon of the test's own,
// in user mode, with everything it writes in a temporary directory. Two
// null sinks stand for the sound card: "speaker", where programs play by
// default (its monitor is recorded with parecord), and "mouth", into which
// the test plays with paplay and whose monitor is the default source, the
// microphone. ALSA's default device is routed to the daemon through an
// .asoundrc in the temporary HOME, so PortAudio finds it as a user's
// desktop would.
//
// Making a rig points XDG_RUNTIME_DIR, HOME and PULSE_RUNTIME_PATH of this
// process at its directory, so that the programs the test starts afterwards
// (phones, paplay, parecord) reach this daemon and nothing else; the
// destructor stops the daemon and puts the environment back. One rig at a
// time per process. Where the daemon cannot start, ready() is false and
// why() says in one line what failed.
//
// ALSA's pulse plugin takes any rate and leaves the conversion to the
// daemon, so no device of the rig refuses 8 kHz by itself: a card fixed
// at one rate is PortAudioDevices' onlyRate, set for the phones through
// the environment.

#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "audio/portaudio_device.h"
#include "audio/wav_file.h"
#include "support/child_process.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::testing {

class PulseRig {
 public:
  static constexpr const char* speakerSink = "speaker";
  static constexpr const char* mouthSink = "mouth";

  struct Options {
    // The speaker sink takes only this rate (0: PulseAudio's default).
    unsigned speakerRate = 0;
    // Every PortAudio device takes only this rate (0: any), as a card that
    // refuses 8 kHz.
    unsigned cardRate = 0;
    // Extra lines for the daemon's start-up script.
    std::vector<std::string> extraModules;
  };

  PulseRig() : PulseRig(Options{}) {}
  explicit PulseRig(const Options& options) {
    if (runProgram("sh", {"-c", "command -v pulseaudio && command -v pactl && command -v paplay"},
                   ".", "")
            .exitStatus != 0) {
      why_ = "PulseAudio is not installed (pulseaudio, pulseaudio-utils)";
      return;
    }
    const auto run = dir_.file("run");
    const auto home = dir_.file("home");
    std::filesystem::create_directories(run / "pulse");
    std::filesystem::create_directories(home);
    std::filesystem::permissions(run, std::filesystem::perms::owner_all);
    std::ofstream(home / ".asoundrc") << "pcm.!default { type pulse }\n"
                                         "ctl.!default { type pulse }\n";
    std::ofstream script(dir_.file("rig.pa"));
    script << "load-module module-native-protocol-unix auth-anonymous=1\n"
           << "load-module module-null-sink sink_name=" << speakerSink
           << (options.speakerRate != 0 ? " rate=" + std::to_string(options.speakerRate) : "")
           << " sink_properties=device.description=Speaker\n"
           << "load-module module-null-sink sink_name=" << mouthSink
           << " sink_properties=device.description=Mouth\n";
    for (const auto& line : options.extraModules) script << line << '\n';
    script << "set-default-sink " << speakerSink << '\n'
           << "set-default-source " << mouthSink << ".monitor\n";
    script.close();

    setEnv("XDG_RUNTIME_DIR", run.string());
    setEnv("HOME", home.string());
    setEnv("PULSE_RUNTIME_PATH", (run / "pulse").string());
    setEnv("PULSE_SERVER", std::nullopt);
    setEnv("PULSE_SINK", std::nullopt);
    setEnv("PULSE_SOURCE", std::nullopt);
    setEnv(audio::PortAudioDevices::onlyRateVariable,
           options.cardRate != 0 ? std::optional(std::to_string(options.cardRate)) : std::nullopt);

    // As root PulseAudio warns that it is meant for users, and runs.
    daemon_ = std::make_unique<ChildProcess>(
        "pulseaudio",
        std::vector<std::string>{"--system=false", "--daemonize=no", "--exit-idle-time=-1",
                                 "--disallow-exit=false", "--use-pid-file=false", "-n", "-F",
                                 dir_.file("rig.pa").string(), "--log-target=stderr",
                                 "--log-level=error"},
        dir_.path().string());
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (std::chrono::steady_clock::now() < until) {
      if (runProgram("sh", {"-c", "pactl info >/dev/null 2>&1"}, dir_.path().string(), "")
              .exitStatus == 0) {
        ready_ = true;
        // A null sink renders ahead in steps of its latency, two seconds
        // when nobody asks for less, and its monitor gets samples only at
        // each step; a recorder that asks for less later still waits for
        // the step already under way. A card's microphone delivers as soon
        // as it is recorded, and a loudspeaker plays at once: silence
        // played into both sinks with a short latency keeps them in small
        // steps, as a card would be, once the long step under way when it
        // came has passed: a recording of each monitor waits for that.
        for (const char* sink : {speakerSink, mouthSink})
          awake_.push_back(std::make_unique<ChildProcess>(
              "pacat", std::vector<std::string>{"--playback", "-d", sink, "--raw", "--format=s16le",
                                                "--rate=8000", "--channels=1", "--latency-msec=20",
                                                "/dev/zero"},
              dir_.path().string()));
        for (const char* sink : {speakerSink, mouthSink})
          Recording(dir_, std::string(sink) + ".monitor", std::string("awake-") + sink).stop();
        return;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    std::string err = daemon_->errText();
    while (!err.empty() && err.back() == '\n') err.pop_back();
    if (const auto nl = err.rfind('\n'); nl != std::string::npos) err = err.substr(nl + 1);
    why_ = "the PulseAudio daemon did not start" + (err.empty() ? std::string() : ": " + err);
    daemon_.reset();
  }

  ~PulseRig() {
    awake_.clear();
    daemon_.reset();  // SIGTERM, and waits for it
    for (auto it = savedEnv_.rbegin(); it != savedEnv_.rend(); ++it) {
      if (it->second) ::setenv(it->first.c_str(), it->second->c_str(), 1);
      else ::unsetenv(it->first.c_str());
    }
  }

  PulseRig(const PulseRig&) = delete;
  PulseRig& operator=(const PulseRig&) = delete;

  bool ready() const { return ready_; }
  const std::string& why() const { return why_; }
  const TempDir& dir() const { return dir_; }

  // Runs pactl with the arguments; its exit status.
  int pactl(std::vector<std::string> args) const {
    return runProgram("pactl", args, dir_.path().string(), "").exitStatus;
  }
  // What pactl prints.
  std::string pactlOutput(std::vector<std::string> args) const {
    return runProgram("pactl", args, dir_.path().string(), "").out;
  }

  // A device plugged in while the test runs: a null sink of that name,
  // and an ALSA device of that name that plays into it, as a headset
  // brings a card of its own. PortAudio lists it once it starts again.
  bool plug(const std::string& name) const {
    if (pactl({"load-module", "module-null-sink", "sink_name=" + name}) != 0) return false;
    std::ofstream(dir_.file("home") / ".asoundrc", std::ios::app)
        << "pcm." << name << " { type pulse device " << name << " }\n";
    return true;
  }

  // The loudspeaker heard by the microphone, as on a laptop: what the
  // speaker plays reaches the microphone about `latencyMs` later, scaled
  // by `gain` (0.5: -6 dB). The loopback keeps its rate: left to steer its
  // latency it would resample, and the path through the air does not
  // drift.
  bool leakSpeakerIntoMicrophone(int latencyMs, double gain) const {
    const std::string module = pactlOutput(
        {"load-module", "module-loopback", std::string("source=") + speakerSink + ".monitor",
         std::string("sink=") + mouthSink, "latency_msec=" + std::to_string(latencyMs),
         "adjust_time=0"});
    const int owner = std::atoi(module.c_str());
    if (module.empty() || owner <= 0) return false;
    // The loopback's stream into the microphone: the sink input it owns.
    const std::string inputs = pactlOutput({"list", "sink-inputs"});
    const std::string owned = "Owner Module: " + std::to_string(owner) + "\n";
    const auto at = inputs.find(owned);
    if (at == std::string::npos) return false;
    const auto head = inputs.rfind("Sink Input #", at);
    if (head == std::string::npos) return false;
    const std::string index = std::to_string(std::atoi(inputs.c_str() + head + 12));
    return pactl({"set-sink-input-volume", index, std::to_string(gain)}) == 0;
  }

  // Plays a sound file into the microphone; it runs until the file ends.
  std::unique_ptr<ChildProcess> speak(const std::filesystem::path& wav) const {
    return std::make_unique<ChildProcess>(
        "paplay", std::vector<std::string>{"-d", mouthSink, wav.string()}, dir_.path().string());
  }

  // Everything the speaker plays from now until stop, at 8 kHz mono: made
  // once the first samples have reached the file.
  class Recording {
   public:
    Recording(const TempDir& dir, const std::string& source, std::string name, int channels = 1)
        : path_(dir.file(name + ".wav")),
          process_(std::make_unique<ChildProcess>(
              "parecord",
              std::vector<std::string>{"-d", source, "--rate=8000",
                                       "--channels=" + std::to_string(channels),
                                       "--format=s16le", "--latency-msec=20",
                                       "--file-format=wav", path_.string()},
              dir.path().string())) {
      // parecord writes as the samples come: from the first ones on, the
      // recording runs.
      const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      for (std::error_code error; std::chrono::steady_clock::now() < until;) {
        const auto size = std::filesystem::file_size(path_, error);
        if (!error && size > audio::wavHeaderBytes + 320) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    }

    // Ends the recording (parecord closes its file on SIGTERM) and reads
    // it; two channels come interleaved.
    std::vector<std::int16_t> stop() {
      if (process_) {
        process_->stop();
        process_.reset();
      }
      std::error_code error;
      const auto size = std::filesystem::file_size(path_, error);
      if (error || size <= audio::wavHeaderBytes) return {};
      std::vector<std::uint8_t> bytes(size);
      std::ifstream(path_, std::ios::binary).read(reinterpret_cast<char*>(bytes.data()),
                                                  static_cast<std::streamsize>(size));
      // The phone's reader takes mono only; the samples are where the
      // data chunk begins.
      for (std::size_t at = 12; at + 8 <= bytes.size();) {
        const std::uint32_t length = bytes[at + 4] | bytes[at + 5] << 8 | bytes[at + 6] << 16 |
                                     static_cast<std::uint32_t>(bytes[at + 7]) << 24;
        if (std::equal(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                       bytes.begin() + static_cast<std::ptrdiff_t>(at + 4), "data")) {
          const std::size_t end = std::min<std::size_t>(bytes.size(), at + 8 + length);
          std::vector<std::int16_t> samples((end - at - 8) / 2);
          for (std::size_t i = 0; i < samples.size(); ++i)
            samples[i] = static_cast<std::int16_t>(bytes[at + 8 + 2 * i] |
                                                   bytes[at + 9 + 2 * i] << 8);
          return samples;
        }
        at += 8 + length + (length & 1);
      }
      return {};
    }

   private:
    std::filesystem::path path_;
    std::unique_ptr<ChildProcess> process_;
  };

  std::unique_ptr<Recording> recordSpeaker(const std::string& name = "speaker") const {
    return std::make_unique<Recording>(dir_, std::string(speakerSink) + ".monitor", name);
  }
  std::unique_ptr<Recording> record(const std::string& source, const std::string& name,
                                    int channels) const {
    return std::make_unique<Recording>(dir_, source, name, channels);
  }

  // Writes samples (8 kHz mono) as a WAV file in the rig's directory.
  std::filesystem::path writeWav(const std::string& name, const std::vector<std::int16_t>& samples) const {
    const auto path = dir_.file(name + ".wav");
    audio::saveWav(path.string(), samples);
    return path;
  }

 private:
  void setEnv(const std::string& name, const std::optional<std::string>& value) {
    const char* old = ::getenv(name.c_str());
    savedEnv_.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    if (value) ::setenv(name.c_str(), value->c_str(), 1);
    else ::unsetenv(name.c_str());
  }

  TempDir dir_;
  std::vector<std::pair<std::string, std::optional<std::string>>> savedEnv_;
  std::unique_ptr<ChildProcess> daemon_;
  std::vector<std::unique_ptr<ChildProcess>> awake_;  // silence into the sinks
  bool ready_ = false;
  std::string why_;
};

}  // namespace orvalis::testing
