#pragma once
// The sound card through PortAudio. Device numbers are positions in the
// lists: the host's default device first, then every other device with
// channels in that direction, in PortAudio's order. The lists are taken
// when the object is made and again on refresh, which keeps the place of
// every device still there and puts new ones at the end.
//
// A device that refuses the phone's 8 kHz is opened at its own default
// rate, and its sound converted to and from 8 kHz (resampler.h).
//
// Making the object also quiets the sound libraries' diagnostics on stderr
// (a machine without a card makes them print a page per probe).

#include <array>
#include <atomic>
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
  struct Options {
    // Every device takes this rate only, and calls it its default (0: as
    // the card says); for tests on a sound server, which converts any
    // rate by itself. The default constructor reads it from the
    // environment variable named below.
    double onlyRate = 0;
  };
  static constexpr const char* onlyRateVariable = "ORVALIS_CARD_RATE";

  PortAudioDevices();
  explicit PortAudioDevices(Options options);
  ~PortAudioDevices() override;
  PortAudioDevices(const PortAudioDevices&) = delete;
  PortAudioDevices& operator=(const PortAudioDevices&) = delete;

  // PortAudio started and offers at least one device in either direction.
  bool available() const;

  std::vector<std::string> names(Direction direction) const override;
  std::unique_ptr<WaveStream> open(Direction direction, std::int32_t device,
                                   const WaveFormat& format, WaveStream::Done done) override;
  void standby(std::int32_t device, const WaveFormat& format) override;
  // PortAudio takes its lists only when it starts: a refresh restarts it,
  // which it can do only while no stream of an owner is open. A capture
  // device in standby is closed around it and kept on afterwards.
  bool refresh() override;

  class Stream;  // one PortAudio stream
  struct Device {
    int index;  // PortAudio's device index
    std::string name;
  };

 private:

  // Starts PortAudio and takes the lists, keeping the order of `inputs_`
  // and `outputs_` for devices still there.
  void start();
  std::unique_ptr<WaveStream> lent(std::shared_ptr<Stream> stream, bool borrowed);

  const Options options_;
  // The lists, the standby stream and PortAudio's start and stop; taken by
  // the call and UI threads, never by a callback.
  mutable std::mutex lock_;
  bool initialized_ = false;
  std::vector<Device> inputs_;
  std::vector<Device> outputs_;
  std::shared_ptr<Stream> standby_;
  // Streams of owners, the standby stream while lent included.
  std::atomic<int> openStreams_{0};
};

// The devices listed now, those listed before (matched by name) in their
// old order and new ones after them: a refresh leaves the numbers of the
// devices still there alone.
std::vector<PortAudioDevices::Device> keepDeviceOrder(const std::vector<PortAudioDevices::Device>& before,
                                                      std::vector<PortAudioDevices::Device> now);

}  // namespace orvalis::audio
