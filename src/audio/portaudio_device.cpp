#include "audio/portaudio_device.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <mutex>

namespace orvalis::audio {
namespace {

void ignoreAlsa(const char*, int, const char*, int, const char*, ...) {}
void ignoreJack(const char*) {}

// Probing prints through ALSA and, when PortAudio was built with it, JACK.
// JACK is reached by name: it is PortAudio's dependency, not ours.
void quietSoundLibraries() {
  snd_lib_error_set_handler(&ignoreAlsa);
  using Setter = void (*)(void (*)(const char*));
  for (const char* name : {"jack_set_error_function", "jack_set_info_function"}) {
    if (void* symbol = ::dlsym(RTLD_DEFAULT, name)) reinterpret_cast<Setter>(symbol)(&ignoreJack);
  }
}

// One open PortAudio stream. Its callback moves samples between the card
// and the head of a fixed queue of lent buffers and hands each finished
// buffer back; it neither allocates nor waits for anything but a short lock.
class PaWaveStream final : public WaveStream {
 public:
  PaWaveStream(Direction direction, Done done) : direction_(direction), done_(std::move(done)) {}

  ~PaWaveStream() override {
    reset();
    if (stream_ != nullptr) Pa_CloseStream(stream_);
  }

  bool open(int device, double rate) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(device);
    if (info == nullptr) return false;
    PaStreamParameters params{};
    params.device = device;
    params.channelCount = 1;
    params.sampleFormat = paInt16;
    // The wrappers keep six blocks in flight, so the card's own buffering
    // can favour safety against underruns over latency.
    params.suggestedLatency =
        direction_ == Direction::capture ? info->defaultHighInputLatency : info->defaultHighOutputLatency;
    const bool capture = direction_ == Direction::capture;
    if (Pa_OpenStream(&stream_, capture ? &params : nullptr, capture ? nullptr : &params, rate,
                      paFramesPerBufferUnspecified, paNoFlag, &PaWaveStream::callback, this) != paNoError) {
      stream_ = nullptr;
      return false;
    }
    if (capture) return true;
    start();  // playback starts resumed
    return started_.load(std::memory_order_acquire);
  }

  bool queue(WaveBuffer& buffer) override {
    std::lock_guard lock(queueLock_);
    return queue_.push(buffer);
  }

  void start() override {
    active_.store(true, std::memory_order_release);
    // From inside a callback the stream is running, and this returns here.
    if (started_.load(std::memory_order_acquire)) return;
    std::lock_guard lock(controlLock_);
    if (!started_.load(std::memory_order_relaxed) && Pa_StartStream(stream_) == paNoError)
      started_.store(true, std::memory_order_release);
  }

  void pause() override { active_.store(false, std::memory_order_release); }

  void reset() override {
    active_.store(false, std::memory_order_release);
    {
      std::lock_guard lock(controlLock_);
      if (started_.load(std::memory_order_relaxed)) {
        Pa_AbortStream(stream_);  // once it returns no callback runs
        started_.store(false, std::memory_order_release);
      }
    }
    CallbackQueue::Finished back{};
    std::size_t filled = 0;
    std::size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = queue_.drain(back, filled);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (direction_ == Direction::capture) back[i]->recorded = i == 0 ? filled : 0;
      done_(*back[i]);
    }
  }

 private:
  static int callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
    auto* stream = static_cast<PaWaveStream*>(self);
    if (stream->direction_ == Direction::capture)
      stream->capture(static_cast<const std::int16_t*>(input), frames);
    else
      stream->play(static_cast<std::int16_t*>(output), frames);
    return paContinue;
  }

  void capture(const std::int16_t* input, std::size_t frames) {
    if (!active_.load(std::memory_order_acquire)) return;
    CallbackQueue::Finished finished{};
    std::size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = queue_.capture(input, frames, finished);
    }
    for (std::size_t i = 0; i < n; ++i) done_(*finished[i]);
  }

  void play(std::int16_t* output, std::size_t frames) {
    CallbackQueue::Finished finished{};
    std::size_t n = 0;
    if (active_.load(std::memory_order_acquire)) {
      std::lock_guard lock(queueLock_);
      n = queue_.play(output, frames, finished);
    } else {
      std::fill_n(output, frames, std::int16_t{0});
    }
    for (std::size_t i = 0; i < n; ++i) done_(*finished[i]);
  }

  const Direction direction_;
  const Done done_;
  PaStream* stream_ = nullptr;
  std::mutex controlLock_;  // start and reset; never taken by the callback
  std::atomic<bool> started_{false};
  std::atomic<bool> active_{false};
  std::mutex queueLock_;
  CallbackQueue queue_;
};

}  // namespace

bool CallbackQueue::push(WaveBuffer& buffer) {
  if (count_ == fifo_.size()) return false;
  fifo_[(head_ + count_) % fifo_.size()] = &buffer;
  ++count_;
  return true;
}

void CallbackQueue::pop(Finished& finished, std::size_t& n) {
  finished[n++] = fifo_[head_];
  head_ = (head_ + 1) % fifo_.size();
  --count_;
  pos_ = 0;
}

std::size_t CallbackQueue::capture(const std::int16_t* input, std::size_t frames, Finished& finished) {
  std::size_t n = 0;
  while (frames > 0 && count_ > 0) {
    WaveBuffer& buffer = *fifo_[head_];
    const std::size_t take = std::min(frames, buffer.samples.size() - pos_);
    const auto into = buffer.samples.subspan(pos_, take);
    if (input != nullptr) {
      std::copy_n(input, take, into.begin());
      input += take;
    } else {
      std::fill(into.begin(), into.end(), std::int16_t{0});
    }
    pos_ += take;
    frames -= take;
    if (pos_ == buffer.samples.size()) {
      buffer.recorded = pos_;
      pop(finished, n);
    }
  }
  return n;
}

std::size_t CallbackQueue::play(std::int16_t* output, std::size_t frames, Finished& finished) {
  std::size_t n = 0;
  while (frames > 0 && count_ > 0) {
    const auto samples = fifo_[head_]->samples;
    const std::size_t take = std::min(frames, samples.size() - pos_);
    output = std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(pos_), take, output);
    pos_ += take;
    frames -= take;
    if (pos_ == samples.size()) pop(finished, n);
  }
  std::fill_n(output, frames, std::int16_t{0});
  return n;
}

std::size_t CallbackQueue::drain(Finished& all, std::size_t& headDone) {
  headDone = pos_;
  std::size_t n = 0;
  while (count_ > 0) pop(all, n);
  head_ = 0;
  return n;
}

PortAudioDevices::PortAudioDevices() {
  quietSoundLibraries();
  initialized_ = Pa_Initialize() == paNoError;
  if (!initialized_) return;
  const PaDeviceIndex defaultIn = Pa_GetDefaultInputDevice();
  const PaDeviceIndex defaultOut = Pa_GetDefaultOutputDevice();
  const PaDeviceIndex count = Pa_GetDeviceCount();
  for (PaDeviceIndex i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info == nullptr) continue;
    const std::string name = info->name != nullptr ? info->name : "";
    if (info->maxInputChannels > 0)
      inputs_.insert(i == defaultIn ? inputs_.begin() : inputs_.end(), Device{i, name});
    if (info->maxOutputChannels > 0)
      outputs_.insert(i == defaultOut ? outputs_.begin() : outputs_.end(), Device{i, name});
  }
}

PortAudioDevices::~PortAudioDevices() {
  if (initialized_) Pa_Terminate();
}

std::vector<std::string> PortAudioDevices::names(Direction direction) const {
  std::vector<std::string> result;
  for (const Device& d : direction == Direction::capture ? inputs_ : outputs_) result.push_back(d.name);
  return result;
}

std::unique_ptr<WaveStream> PortAudioDevices::open(Direction direction, std::int32_t device,
                                                   const WaveFormat& format, WaveStream::Done done) {
  const auto& list = direction == Direction::capture ? inputs_ : outputs_;
  const WaveFormat pcm{};
  if (device < 0 || static_cast<std::size_t>(device) >= list.size() || !done ||
      format.formatTag != pcm.formatTag || format.channels != pcm.channels ||
      format.bitsPerSample != pcm.bitsPerSample || format.samplesPerSec == 0)
    return nullptr;
  auto stream = std::make_unique<PaWaveStream>(direction, std::move(done));
  if (!stream->open(list[static_cast<std::size_t>(device)].index, format.samplesPerSec)) return nullptr;
  return stream;
}

}  // namespace orvalis::audio
