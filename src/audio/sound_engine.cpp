#include "audio/sound_engine.h"

#include <gsm.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <new>

#include "net/message_codes.h"
#include "net/packet.h"
#include "store/cnf_data.h"

namespace orvalis::audio {

namespace {

constexpr auto acquire = std::memory_order_acquire;
constexpr auto release = std::memory_order_release;
// Ticks of 50 ms per step of the hold setting.
constexpr std::int32_t holdTicksPerStep = 20;
constexpr std::int32_t maxHoldStep = 3;
// The far end's sound is read this much earlier than the latencies say:
// blocks reach the two threads in bursts, and an echo that came before its
// reference could not be cancelled, while one that comes later only takes
// more of the canceller's tail.
constexpr std::int64_t referenceMargin = 480;

// Whether a block of n frames fits the engine's fixed buffers and the
// samples supplied.
bool usableBlock(std::int32_t n, std::size_t samples) {
  return n >= minFramesPerBuffer && n <= maxFramesPerBuffer &&
         samples >= static_cast<std::size_t>(n) * frameSamples;
}

gsm_state* createCodec() {
  gsm_state* codec = gsm_create();
  if (codec == nullptr) throw std::bad_alloc();
  return codec;
}

}  // namespace

std::int32_t voiceLevelOf(std::span<const std::int16_t> samples) {
  if (samples.empty()) return 0;
  std::int64_t sum = 0;
  for (std::size_t i = 1; i < samples.size(); ++i)
    sum += std::abs(static_cast<std::int32_t>(samples[i]) - samples[i - 1]);
  const double mean = static_cast<double>(sum) / static_cast<double>(samples.size());
  return static_cast<std::int32_t>(std::pow(mean, 0.3));
}

CSnd::CSnd(const SoundLinks& links, CBuf& testBuf, CBuf& clientBuf)
    : MelodySynth(links.cnf), links_(links), testBuf_(testBuf), clientBuf_(clientBuf) {
  gsmEncoder = createCodec();
  try {
    gsmDecoder = createCodec();
  } catch (...) {
    gsm_destroy(gsmEncoder);
    throw;
  }
}

CSnd::~CSnd() {
  gsm_destroy(gsmDecoder);
  gsm_destroy(gsmEncoder);
}

std::int32_t CSnd::detectVoice(std::int32_t n, std::span<const std::int16_t> samples) {
  const auto count = std::min(static_cast<std::size_t>(std::max(n, 0)) * frameSamples,
                              samples.size());
  const auto level = voiceLevelOf(samples.first(count));
  links_.voiceLevel.store(level, release);
  auto& call = links_.call;
  const auto was = call.voiceActive.load(acquire);
  if (level >= links_.cnf.activationVoice.get()) {
    const auto step = std::clamp(links_.cnf.tmHoldVoice.get(), 0, maxHoldStep);
    links_.voiceHold.store((step + 1) * holdTicksPerStep, release);
    call.voiceActive.store(1, release);
  } else if (links_.voiceHold.load(acquire) == 0) {
    call.voiceActive.store(0, release);
  }
  // A speech onset opens a new talk spurt.
  if ((call.callMode.load(acquire) & net::callModeDetector) != 0 && was == 0 &&
      call.voiceActive.load(acquire) == 1)
    call.spurtStarted.store(false, release);
  return 1;
}

bool CSnd::recordTest(std::int32_t n, std::span<const std::int16_t> samples) {
  if (testBuf_.testRec.load(acquire) != TestState::running) return false;
  if (!usableBlock(n, samples.size())) return false;
  bool stored = false;
  std::array<std::uint8_t, gsmBytes> frame{};
  for (std::int32_t k = 0; k < n; ++k) {
    encodeFrame(samples.subspan(static_cast<std::size_t>(k) * frameSamples).first<frameSamples>(),
                frame);
    if (!testBuf_.putTest(frame)) break;
    stored = true;
  }
  return stored;
}

bool CSnd::sendVoice(std::int32_t n, std::span<const std::int16_t> samples) {
  if (!usableBlock(n, samples.size())) return false;
  auto& call = links_.call;
  if (links_.calls.stateLabel[net::labelMute].load(acquire) != 0) return false;
  const auto mode = call.callMode.load(acquire);
  if ((mode & net::callModePushToTalk) != 0 && call.floor.load(acquire) != net::Floor::talking)
    return false;
  if ((mode & net::callModeDetector) != 0 && call.voiceActive.load(acquire) != 1) return false;
  // Only an established call sends; the microphone test runs without one.
  if (links_.calls.stateClient.load(acquire) != net::ClientState::clientTalk) return false;
  const auto sender = links_.calls.voiceSender.get();
  if (!sender) return false;

  const std::int16_t code =
      call.spurtStarted.exchange(true, std::memory_order_acq_rel) ? net::peerVoice
                                                                  : net::peerVoiceFirst;
  std::array<std::uint8_t, maxFramesPerBuffer * gsmBytes> payload{};
  for (std::int32_t k = 0; k < n; ++k) {
    const auto at = static_cast<std::size_t>(k);
    encodeFrame(samples.subspan(at * frameSamples).first<frameSamples>(),
                std::span(payload).subspan(at * gsmBytes).first<gsmBytes>());
  }
  net::CPacket packet;
  const auto length = static_cast<std::int16_t>(static_cast<std::size_t>(n) * gsmBytes);
  net::buildPacket(packet, code, length,
                   std::span<const std::uint8_t>(payload).first(static_cast<std::size_t>(length)));
  // Queued, never waited for: the call's sender thread takes it to the
  // network.
  sender->post(packet);
  return true;
}

void CSnd::captureBlock(std::int32_t n, std::span<const std::int16_t> block) {
  if (!processingNow() || !usableBlock(n, block.size())) {
    detectVoice(n, block);
    recordTest(n, block);
    sendVoice(n, block);
    return;
  }
  std::array<std::int16_t, maxBlockSamples> cleaned{};
  const auto count = static_cast<std::size_t>(n) * frameSamples;
  std::copy_n(block.begin(), count, cleaned.begin());
  const auto samples = std::span(cleaned).first(count);
  process(n, samples);
  detectVoice(n, samples);
  recordTest(n, samples);
  sendVoice(n, samples);
}

bool CSnd::processingNow() const {
  return processing_.load(acquire) && !store::isHalfDuplex(links_.cnf.soundSystem.get()) &&
         testBuf_.testRec.load(acquire) != TestState::running &&
         testBuf_.testPlay.load(acquire) != TestState::running;
}

void CSnd::process(std::int32_t n, std::span<std::int16_t> block) {
  // The first sample of the block was heard this long before it arrived;
  // its echo left the loudspeaker the playback latency before that.
  const std::int64_t lag = static_cast<std::int64_t>(captureLatency_.load(acquire)) +
                           playbackLatency_.load(acquire) +
                           static_cast<std::int64_t>(n) * frameSamples - referenceMargin;
  std::array<std::int16_t, frameSamples> played{};
  for (std::int32_t k = 0; k < n; ++k) {
    farEnd_.read(played, lag);
    processor_.process(block.subspan(static_cast<std::size_t>(k) * frameSamples).first<frameSamples>(),
                       played);
  }
}

void CSnd::captureOpened(std::int32_t latencySamples) { captureLatency_.store(latencySamples, release); }

void CSnd::blockPlayed(std::span<const std::int16_t> block) { farEnd_.write(block); }

void CSnd::playbackLatency(std::int32_t latencySamples) {
  playbackLatency_.store(latencySamples, release);
}

void CSnd::playerClosed() { farEnd_.stop(); }

void CSnd::playerOpened() {
  clientBuf_.resetReader();
  if (links_.calls.stateClient.load(acquire) == net::ClientState::clientTalk) stopMelody();
}

void CSnd::playBlock(std::int32_t n, std::span<std::int16_t> block) {
  const auto count = std::min(static_cast<std::size_t>(std::max(n, 0)) * frameSamples,
                              block.size());
  std::fill_n(block.begin(), count, std::int16_t{0});
  mixTone(n, block);
  mixMelody(n, block);
  mixTest(n, block);
  mixVoice(n, block);
}

bool CSnd::mixVoice(std::int32_t n, std::span<std::int16_t> block) {
  return mixFrom(n, block, clientBuf_, true);
}

bool CSnd::mixTest(std::int32_t n, std::span<std::int16_t> block) {
  if (testBuf_.testPlay.load(acquire) != TestState::running) return false;
  return mixFrom(n, block, testBuf_, false);
}

bool CSnd::mixFrom(std::int32_t n, std::span<std::int16_t> block, CBuf& ring, bool spooled) {
  if (!usableBlock(n, block.size())) return false;
  if (ring.readyState() == SlotState::empty) {
    if (spooled) ring.blockDone(n, 0);
    return false;
  }
  std::array<std::uint8_t, gsmBytes> frame{};
  std::array<std::int16_t, frameSamples> decoded{};
  std::int32_t k = 0;
  while (k < n) {
    if (!(spooled ? ring.getSpooled(frame) : ring.getTest(frame))) break;
    // Decoded even when dropped: the decoder's state runs on.
    decodeFrame(frame, decoded);
    if (spooled && ring.dropToCatchUp(quietFrame(decoded))) continue;
    auto out = block.subspan(static_cast<std::size_t>(k) * frameSamples, frameSamples);
    for (std::size_t j = 0; j < frameSamples; ++j) out[j] = clampSample(out[j] + decoded[j]);
    ++k;
  }
  if (spooled) ring.blockDone(n, k);
  return k >= 1;
}

void CSnd::encodeFrame(std::span<const std::int16_t, frameSamples> samples,
                       std::span<std::uint8_t, gsmBytes> frame) {
  // The codec takes non-const buffers.
  std::array<gsm_signal, frameSamples> in{};
  std::copy(samples.begin(), samples.end(), in.begin());
  std::array<gsm_byte, gsmBytes> out{};
  gsm_encode(gsmEncoder, in.data(), out.data());
  std::copy(out.begin(), out.end(), frame.begin());
}

void CSnd::decodeFrame(std::span<const std::uint8_t, gsmBytes> frame,
                       std::span<std::int16_t, frameSamples> samples) {
  std::array<gsm_byte, gsmBytes> in{};
  std::copy(frame.begin(), frame.end(), in.begin());
  std::array<gsm_signal, frameSamples> out{};
  if (gsm_decode(gsmDecoder, in.data(), out.data()) != 0) out.fill(0);
  std::copy(out.begin(), out.end(), samples.begin());
}

}  // namespace orvalis::audio
