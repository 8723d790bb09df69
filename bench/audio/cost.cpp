// orvalis-audio-cost: the CPU cost of one second of a full-duplex call on
// the capture path (voice level, gates, encoding, one message per block)
// and on the playback path (spool, decoding, mixing), against the codec's
// bare encoding and decoding of the same 50 frames, in the same run. Then
// the call path of a private call (sealed sending, receiving and opening)
// against a plain one, and the processor time of a private call's
// handshake.

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
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/privacy/call_cipher.h"
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

// Keys as a private call's handshake leaves them; any serve for the cost.
net::CallKeys keys() {
  net::CallKeys k;
  k.send.fill(1);
  k.receive.fill(2);
  return k;
}

// One phone's engine with its call connection; the far end is drained by
// a thread so that sending never blocks.
struct Engine {
  // sealed: as in a private call, each message sealed on its way out.
  explicit Engine(bool sealed = false) {
    store::setDefaults(cnf);
    cnf.msa = 0;
    cnf.nGsmDelay = 0;
    std::array<int, 2> fds{};
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) != 0) std::abort();
    const auto near = std::make_shared<net::Socket>(fds[0]);
    if (sealed) near->setSeal(std::make_shared<net::CallCipher>(keys()));
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

// Args: frames a block; sealed (a private call); 0 half duplex, 1 full
// duplex with echo cancellation and noise suppression, 2 full duplex
// without them (the loudspeaker's path runs in both).
void capturePath(benchmark::State &state) {
  const auto n = static_cast<std::int32_t>(state.range(0));
  const std::size_t block = static_cast<std::size_t>(n) * audio::frameSamples;
  Engine e(state.range(1) != 0);
  if (state.range(2) != 0) e.cnf.soundSystem = static_cast<std::int32_t>(store::SoundSystem::fullDuplex);
  e.snd.setProcessing(state.range(2) == 1);
  // A far end that talks, so that the echo canceller has work to do.
  std::array<std::int16_t, audio::maxBlockSamples> played{};
  for (auto _ : state) {
    for (std::size_t at = 0; at + block <= samplesPerSecond; at += block) {
      if (state.range(2) != 0) e.snd.playBlock(n, std::span(played).first(block));
      e.snd.captureBlock(n, std::span(second()).subspan(at, block));
    }
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

// The call thread's side of a second of voice from the other phone, n
// frames a message: receiving (and opening, in a private call) each
// message, handing its frames to the spool, and playing the second.
void receivePath(benchmark::State &state) {
  const auto n = static_cast<std::size_t>(state.range(0));
  const bool sealed = state.range(1) != 0;
  const auto frames = encodedSecond();
  store::CnfData cnf;
  store::setDefaults(cnf);
  cnf.nGsmDelay = 0;
  net::CallFields call;
  net::CallState calls;
  std::atomic<std::int32_t> voiceLevel{0}, voiceHold{0};
  audio::CBuf testBuf{cnf}, clientBuf{cnf};
  audio::CSnd snd{audio::SoundLinks{cnf, call, calls, voiceLevel, voiceHold, {}}, testBuf,
                  clientBuf};
  std::array<int, 2> fds{};
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds.data()) != 0) std::abort();
  net::Socket far(fds[0]), near(fds[1]);
  if (sealed) {
    const net::CallKeys k = keys();
    far.setSeal(std::make_shared<net::CallCipher>(k));
    near.setSeal(std::make_shared<net::CallCipher>(net::CallKeys{k.receive, k.send}));
  }
  const std::size_t block = n * audio::frameSamples;
  std::array<std::int16_t, audio::maxBlockSamples> out{};
  net::CPacket message;
  for (auto _ : state) {
    state.PauseTiming();  // the other phone's sending is not this one's cost
    for (std::size_t f = 0; f + n <= frames.size(); f += n) {
      std::vector<std::uint8_t> payload;
      for (std::size_t i = f; i < f + n; ++i) payload.insert(payload.end(), frames[i].begin(), frames[i].end());
      net::buildPacket(message, f == 0 ? net::peerVoiceFirst : net::peerVoice,
                       static_cast<std::int16_t>(payload.size()), payload);
      net::sendPacket(far, message);
    }
    state.ResumeTiming();
    for (std::size_t f = 0; f + n <= frames.size(); f += n) {
      if (net::recvPacket(near, message) == net::peerVoiceFirst) clientBuf.markSpurt();
      for (std::size_t i = 0; i < n; ++i)
        clientBuf.putFrame(std::span<const std::uint8_t, audio::gsmBytes>(
            message.payload.data() + i * audio::gsmBytes, audio::gsmBytes));
    }
    for (std::size_t at = 0; at + block <= samplesPerSecond; at += block) {
      snd.playBlock(static_cast<std::int32_t>(n), std::span(out).first(block));
      benchmark::DoNotOptimize(out);
    }
  }
}

// Both halves of a private call's handshake, the fresh keys included.
void privateHandshake(benchmark::State &state) {
  const net::KeyPair caller = net::KeyPair::generate(), callee = net::KeyPair::generate();
  for (auto _ : state) {
    net::CallerHandshake a(caller, callee.publicKey, 200000001, 200000002);
    net::CalleeHandshake b(callee, 200000001, 200000002);
    const auto reply = b.takeHello(a.hello());
    const auto done = a.takeReply(*reply);
    benchmark::DoNotOptimize(b.takeProof(done->proof));
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
BENCHMARK(capturePath)
    ->Args({1, 0, 0})->Args({2, 0, 0})->Args({5, 0, 0})->Args({2, 1, 0})->Args({2, 0, 1})
    ->Args({2, 0, 2})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(receivePath)->Args({2, 0})->Args({2, 1})->Unit(benchmark::kMicrosecond);
BENCHMARK(privateHandshake)->Unit(benchmark::kMicrosecond);
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
    const double c = collector.cpu["capturePath/" + std::to_string(n) + "/0/0"];
    const double p = collector.cpu["playbackPath/" + std::to_string(n)];
    if (c <= 0 || p <= 0) continue;
    std::printf("%-4d %-24.3f %-24.3f %.3f\n", n, c / encode, p / decode,
                (c + p) / (encode + decode));
  }
  std::printf("Share of one core for a second of call: %.3f %% (n = 2)\n",
              100.0 * (collector.cpu["capturePath/2/0/0"] + collector.cpu["playbackPath/2"]) / 1e6);
  if (const double off = collector.cpu["capturePath/2/0/2"]; off > 0)
    std::printf("Full duplex, echo cancellation and noise suppression on / off: %.3f\n",
                collector.cpu["capturePath/2/0/1"] / off);
  const double plain = collector.cpu["capturePath/2/0/0"] + collector.cpu["receivePath/2/0"];
  const double sealed = collector.cpu["capturePath/2/1/0"] + collector.cpu["receivePath/2/1"];
  if (plain > 0 && sealed > 0)
    std::printf("Private call path (capture and receive, n = 2) / plain: %.3f\n", sealed / plain);
  if (const double h = collector.cpu["privateHandshake"]; h > 0)
    std::printf("Private call handshake, both sides: %.0f us of processor time\n", h);
  return 0;
}
