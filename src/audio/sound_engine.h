#pragma once
// CSnd: the phone's sound engine. It holds the two GSM 06.10 codec states,
// runs for every captured block (voice level, microphone-test recording,
// encoding one voice message and queueing it for the call's sender) and
// mixes every played block (key tone, melody, microphone-test playback,
// received speech), adding the sources with clamping so that they sound
// together.
//
// In full duplex, unless switched off or during the microphone test, each
// captured frame first goes through the sound processor, with what the
// loudspeaker played as the echo to take out (far_end_ring.h).
//
// Capture-side operations run on the capture thread only, mixing on the
// playback thread only; each codec state belongs to one of them.

#include <atomic>
#include <cstdint>
#include <span>

#include "audio/audio_format.h"
#include "audio/block_handlers.h"
#include "audio/far_end_ring.h"
#include "audio/frame_ring.h"
#include "audio/melody_synth.h"
#include "audio/sound_links.h"
#include "audio/sound_processor.h"

struct gsm_state;

namespace orvalis::audio {

// The voice level of a block: the mean absolute difference of successive
// samples raised to the power 0.3, truncated. 0 for an empty block.
std::int32_t voiceLevelOf(std::span<const std::int16_t> samples);

class CSnd : public MelodySynth, public CaptureSink, public PlaybackSource {
 public:
  CSnd(const SoundLinks& links, CBuf& testBuf, CBuf& clientBuf);
  ~CSnd();
  CSnd(const CSnd&) = delete;
  CSnd& operator=(const CSnd&) = delete;

  // Capture path, in this order for every block of n frames (160 n samples).
  std::int32_t detectVoice(std::int32_t n, std::span<const std::int16_t> samples);
  bool recordTest(std::int32_t n, std::span<const std::int16_t> samples);
  bool sendVoice(std::int32_t n, std::span<const std::int16_t> samples);

  // The capture callback's work: the sound processor when it is on, then
  // detectVoice, recordTest, sendVoice.
  void captureBlock(std::int32_t n, std::span<const std::int16_t> block) override;
  void captureOpened(std::int32_t latencySamples) override;
  void blockPlayed(std::span<const std::int16_t> block) override;
  void playbackLatency(std::int32_t latencySamples) override;
  void playerClosed() override;

  // Echo cancellation and noise suppression wanted (any thread); they run
  // in full duplex only and never during the microphone test.
  void setProcessing(bool on) { processing_.store(on, std::memory_order_release); }
  bool processingNow() const;
  // Opening the speaker drops queued speech and, during a conversation,
  // stops the melody.
  void playerOpened() override;
  // The playback callback's work: silence, then key tone, melody,
  // microphone test and speech added in this order.
  void playBlock(std::int32_t n, std::span<std::int16_t> block) override;

  // Playback path: add to a block of n frames.
  bool mixVoice(std::int32_t n, std::span<std::int16_t> block);
  bool mixTest(std::int32_t n, std::span<std::int16_t> block);

  void encodeFrame(std::span<const std::int16_t, frameSamples> samples,
                   std::span<std::uint8_t, gsmBytes> frame);
  // A frame that is not valid GSM 06.10 decodes to silence.
  void decodeFrame(std::span<const std::uint8_t, gsmBytes> frame,
                   std::span<std::int16_t, frameSamples> samples);

 private:
  void process(std::int32_t n, std::span<std::int16_t> block);
  bool mixFrom(std::int32_t n, std::span<std::int16_t> block, CBuf& ring, bool spooled);

  SoundLinks links_;
  CBuf& testBuf_;
  CBuf& clientBuf_;
  gsm_state* gsmEncoder = nullptr;
  gsm_state* gsmDecoder = nullptr;
  std::atomic<bool> processing_{true};
  // Device latencies in samples, written when a device opens.
  std::atomic<std::int32_t> captureLatency_{0};
  std::atomic<std::int32_t> playbackLatency_{0};
  FarEndRing farEnd_;
  SoundProcessor processor_;  // the capture thread's
};

}  // namespace orvalis::audio
