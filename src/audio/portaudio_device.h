#pragma once
// The sound card through PortAudio. Device numbers are positions in the
// lists: the host's default device first, then every other device with
// channels in that direction, in PortAudio's order. The lists are taken
// once, when the object is made.
//
// Making the object also quiets the sound libraries' diagnostics on stderr
// (a machine without a card makes them print a page per probe).

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "audio/wave_device.h"

namespace orvalis::audio {

// The buffers a PortAudio stream's callback works from: lent buffers in
// order, the head one partly done. Kept apart from the stream so that it
// can be checked without a card; the stream does the locking.
class CallbackQueue {
 public:
  static constexpr std::size_t capacity = 8;
  using Finished = std::array<WaveBuffer*, capacity>;

  bool push(WaveBuffer& buffer);
  // Moves `frames` samples from `input` (null: silence) into the queue;
  // what is left over when the queue runs dry is dropped. Returns how many
  // buffers it filled, in `finished`, each with `recorded` set.
  std::size_t capture(const std::int16_t* input, std::size_t frames, Finished& finished);
  // Fills `frames` samples of `output` from the queue, silence after it.
  std::size_t play(std::int16_t* output, std::size_t frames, Finished& finished);
  // Empties the queue; returns how many, and the samples done in the head.
  std::size_t drain(Finished& all, std::size_t& headDone);

 private:
  // The head buffer is done: into `finished`, and the next one is head.
  void pop(Finished& finished, std::size_t& n);

  Finished fifo_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  std::size_t pos_ = 0;  // samples done in the head buffer
};

class PortAudioDevices final : public WaveDevices {
 public:
  PortAudioDevices();
  ~PortAudioDevices() override;
  PortAudioDevices(const PortAudioDevices&) = delete;
  PortAudioDevices& operator=(const PortAudioDevices&) = delete;

  // PortAudio started and offers at least one device in either direction.
  bool available() const { return !inputs_.empty() || !outputs_.empty(); }

  std::vector<std::string> names(Direction direction) const override;
  std::unique_ptr<WaveStream> open(Direction direction, std::int32_t device,
                                   const WaveFormat& format, WaveStream::Done done) override;
  void standby(std::int32_t device, const WaveFormat& format) override;

  class Stream;  // one PortAudio stream

 private:
  struct Device {
    int index;  // PortAudio's device index
    std::string name;
  };

  bool initialized_ = false;
  std::vector<Device> inputs_;
  std::vector<Device> outputs_;
  std::mutex standbyLock_;  // open and standby come from the call and UI threads
  std::shared_ptr<Stream> standby_;
};

}  // namespace orvalis::audio
