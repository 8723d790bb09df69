// orvalis-audio-cost: the CPU cost of one second of a full-duplex call on
// the capture path (voice level, gates, encoding, one message per block)
// and on the playback path (spool, decoding, mixing), against the codec's
// bare encoding and decoding of the same 50 frames, in the same run.

#include <benchmark/benchmark.h>
#include <gsm.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <numbers>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "audio/sound_engine.h"
#include "net/socket.h"
#include "store/config.h"

namespace {

using namespace orvalis;

constexpr std::size_t framesPerSecond = 50;
constexpr std::size_t samplesPerSecond = framesPerSecond * audio::frameSamples;

// A second of a voiced, wandering signal with some noise: the codec's work
// does not depend much on the content, but silence would flatter it.
std::vector<std::int16_t> speechLike() {
  std::vector<std::int16_t> s(samplesPerSecond);
  std::mt19937 noise(7);
  std::normal_distribution<double> n(0, 300);
  for (std::size_t i = 0; i < s.size(); ++i) {
    const double t = static_cast<double>(i) / audio::sampleRate;
    const double pitch = 120 + 40 * std::sin(2 * std::numbers::pi * 3 * t);
    double v = 0;
    for (int h = 1; h <= 8; ++h) v += 3000.0 / h * std::sin(2 * std::numbers::pi * pitch * h * t);
    s[i] = static_cast<std::int16_t>(std::clamp(v + n(noise), -32768.0, 32767.0));
  }
  return s;
}

const std::vector<std::int16_t> &second() {
  static const std::vector<std::int16_t> s = speechLike();
  return s;
}

std::vector<std::array<std::uint8_t, audio::gsmBytes>> encodedSecond() {
  gsm codec = gsm_create();
  std::vector<std::array<std::uint8_t, audio::gsmBytes>> frames(framesPerSecond);
  std::array<gsm_signal, audio::frameSamples> in{};
  for (std::size_t f = 0; f < framesPerSecond; ++f) {
    std::copy_n(second().begin() + static_cast<std::ptrdiff_t>(f * audio::frameSamples),
                audio::frameSamples, in.begin());
    gsm_encode(codec, in.data(), frames[f].data());
  }
  gsm_destroy(codec);
  return frames;
}

void bareEncode(benchmark::State &state) {
  gsm codec = gsm_create();
  std::array<gsm_signal, audio::frameSamples> in{};
  std::array<gsm_byte, audio::gsmBytes> out{};
  for (auto _ : state) {
    for (std::size_t f = 0; f < framesPerSecond; ++f) {
      std::copy_n(second().begin() + static_cast<std::ptrdiff_t>(f * audio::frameSamples),
                  audio::frameSamples, in.begin());
      gsm_encode(codec, in.data(), out.data());
      benchmark::DoNotOptimize(out);
    }
  }
  gsm_destroy(codec);
}

void bareDecode(benchmark::State &state) {
  const auto frames = encodedSecond();
  gsm codec = gsm_create();
  std::array<gsm_byte, audio::gsmBytes> in{};
  std::array<gsm_signal, audio::frameSamples> out{};
  for (auto _ : state) {
    for (const auto &frame : frames) {
      std::copy(frame.begin(), frame.end(), in.begin());
      gsm_decode(codec, in.data(), out.data());
      benchmark::DoNotOptimize(out);
    }
  }
  gsm_destroy(codec);
}

// One phone's engine with its call connection; the far end is drained by
// a thread so that sending never blocks.
struct Engine {
  Engine() {
    store::setDefaults(cnf);
    cnf.msa = 0;
    cnf.nGsmDelay = 0;
    std::array<int, 2> fds{};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) != 0) std::abort();
    const auto near = std::make_shared<net::Socket>(fds[0]);
    calls.sockClient.set(near);
    calls.stateClient = net::ClientState::clientTalk;
    sender = std::make_shared<net::VoiceSender>(near);
    calls.voiceSender.set(sender);
    far = std::make_shared<net::Socket>(fds[1]);
    drain = std::thread([s = far] {
      std::array<std::uint8_t, 4096> sink{};
      while (s->recv(sink) > 0) {
      }
    });
  }
  ~Engine() {
    calls.sockClient.closeAndReset();
    sender->stop();
    drain.join();
  }

  store::CnfData cnf;
  net::CallFields call;
  net::CallState calls;
  std::atomic<std::int32_t> voiceLevel{0}, voiceHold{0};
  audio::CBuf testBuf{cnf};
  audio::CBuf clientBuf{cnf};
  audio::CSnd snd{audio::SoundLinks{cnf, call, calls, voiceLevel, voiceHold, {}}, testBuf,
                  clientBuf};
  std::shared_ptr<net::VoiceSender> sender;
  net::SocketPtr far;
  std::thread drain;
};

void capturePath(benchmark::State &state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const std::size_t block = static_cast<std::size_t>(n) * audio::frameSamples;
  Engine e;
  for (auto _ : state) {
    for (std::size_t at = 0; at + block <= samplesPerSecond; at += block)
      e.snd.captureBlock(n, std::span(second()).subspan(at, block));
  }
}

void playbackPath(benchmark::State &state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const std::size_t block = static_cast<std::size_t>(n) * audio::frameSamples;
  const auto frames = encodedSecond();
  Engine e;
  std::array<std::int16_t, audio::maxBlockSamples> out{};
  for (auto _ : state) {
    // What the call thread hands over in a second, then what the speaker
    // takes in that second.
    e.clientBuf.markSpurt();
    for (const auto &frame : frames) e.clientBuf.putFrame(frame);
    for (std::size_t at = 0; at + block <= samplesPerSecond; at += block) {
      e.snd.playBlock(n, std::span(out).first(block));
      benchmark::DoNotOptimize(out);
    }
  }
}

// Keeps each run's CPU time per iteration, by name, for the ratios.
class Collector : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &run : runs) cpu[run.benchmark_name()] = run.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  std::map<std::string, double> cpu;
};

}  // namespace

BENCHMARK(bareEncode)->Unit(benchmark::kMicrosecond);
BENCHMARK(bareDecode)->Unit(benchmark::kMicrosecond);
BENCHMARK(capturePath)->Arg(1)->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);
BENCHMARK(playbackPath)->Arg(1)->Arg(2)->Arg(5)->Unit(benchmark::kMicrosecond);

int main(int argc, char **argv) {
  benchmark::Initialize(&argc, argv);
  Collector collector;
  benchmark::RunSpecifiedBenchmarks(&collector);
  const double encode = collector.cpu["bareEncode"];
  const double decode = collector.cpu["bareDecode"];
  if (encode <= 0 || decode <= 0) return 0;
  std::printf(
      "\nOne second of a call (50 frames), cost as a ratio to the bare "
      "codec:\n");
  std::printf("%-4s %-24s %-24s %s\n", "n", "capture / bare encode", "playback / bare decode",
              "both / bare encode+decode");
  for (const int n : {1, 2, 5}) {
    const double c = collector.cpu["capturePath/" + std::to_string(n)];
    const double p = collector.cpu["playbackPath/" + std::to_string(n)];
    if (c <= 0 || p <= 0) continue;
    std::printf("%-4d %-24.3f %-24.3f %.3f\n", n, c / encode, p / decode,
                (c + p) / (encode + decode));
  }
  std::printf("Share of one core for a second of call: %.3f %% (n = 2)\n",
              100.0 * (collector.cpu["capturePath/2"] + collector.cpu["playbackPath/2"]) / 1e6);
  return 0;
}
