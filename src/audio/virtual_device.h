#pragma once
// A sound card in software, for tests and the headless phone: one
// microphone that plays a tape (samples in memory or a WAV file) and one
// speaker that records everything played into memory and, if asked, into a
// WAV file.
//
// The microphone's tape runs only while a capture stream is recording:
// each stream goes on where the previous one stopped, and past the end it
// delivers silence. Each direction has one device, open at most once.
//
// Clock::realtime gives each open stream a thread that hands back one
// buffer of N samples every N/8000 s. Clock::manual does nothing by itself:
// the test calls pump(), which completes queued buffers on its own thread.
//
// The devices object must outlive the streams it opened.

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "audio/wave_device.h"

namespace orvalis::audio {

class VirtualStream;

class VirtualDevices final : public WaveDevices {
 public:
  enum class Clock { realtime, manual };

  struct Options {
    Clock clock = Clock::manual;
    // The microphone's tape; replaced by the file's samples when a file is named.
    std::vector<std::int16_t> microphone;
    std::filesystem::path microphoneFile;
    // When named, the whole playback is written there as a WAV file; in
    // realtime mode pauses between playback streams are filled with
    // silence, so the file follows the wall clock.
    std::filesystem::path speakerFile;
    // At most this many samples per capture buffer (0: fill it whole), so
    // capture buffers come back with recorded < size.
    std::size_t captureChunk = 0;
    // Keep the playback in memory for played(); a long-running phone that
    // only wants the file turns this off.
    bool keepPlayed = true;
  };

  // Throws std::runtime_error when a named file cannot be read or created.
  VirtualDevices();
  explicit VirtualDevices(Options options);
  ~VirtualDevices() override;
  VirtualDevices(const VirtualDevices&) = delete;
  VirtualDevices& operator=(const VirtualDevices&) = delete;

  static constexpr const char* microphoneName = "Virtual microphone";
  static constexpr const char* speakerName = "Virtual speaker";

  std::vector<std::string> names(Direction direction) const override;
  // Device 0 only, 8000 Hz 16-bit mono only; null also while that device is open.
  std::unique_ptr<WaveStream> open(Direction direction, std::int32_t device,
                                   const WaveFormat& format, WaveStream::Done done) override;

  // Manual clock: completes up to `buffers` queued buffers of the open
  // stream of `direction`, in order, on the calling thread; stops early
  // when nothing is queued or the stream is paused. Returns how many were
  // completed (0 with the realtime clock).
  std::size_t pump(Direction direction, std::size_t buffers = 1);

  // Everything played so far (a copy).
  std::vector<std::int16_t> played() const;
  // Samples of the tape consumed so far.
  std::size_t microphonePosition() const;
  void setCaptureChunk(std::size_t samples);

  // Realtime clock: when sample 0 of the tape would have been spoken, by
  // the pace of the latest capture stream, and when sample 0 of the
  // speaker file sounded; for measuring delays through a phone.
  using TimePoint = std::chrono::steady_clock::time_point;
  std::optional<TimePoint> microphoneOrigin() const;
  std::optional<TimePoint> speakerOrigin() const;

 private:
  friend class VirtualStream;

  // Called by the streams, from their device thread or the pumping thread.
  void fillCapture(WaveBuffer& buffer);
  void appendPlayed(std::span<const std::int16_t> samples);
  void playbackOpened();
  void playbackClosed();
  void streamGone(Direction direction);
  void capturePaced(TimePoint base);

  void writeSpeaker(std::span<const std::int16_t> samples);
  void writeSilence(std::size_t samples);
  void rewriteHeader();

  const Clock clock_;

  mutable std::mutex streamsLock_;  // held while pumping, so a stream outlives its pump
  VirtualStream* capture_ = nullptr;
  VirtualStream* playback_ = nullptr;

  mutable std::mutex tapeLock_;
  std::vector<std::int16_t> tape_;
  std::size_t tapePos_ = 0;
  std::atomic<std::size_t> captureChunk_;
  std::optional<TimePoint> microphoneOrigin_;  // guarded by tapeLock_

  mutable std::mutex speakerLock_;
  const bool keepPlayed_;
  std::vector<std::int16_t> played_;
  struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, FileCloser> speakerFile_;
  std::size_t fileSamples_ = 0;
  std::optional<std::chrono::steady_clock::time_point> timelineStart_;
};

}  // namespace orvalis::audio
