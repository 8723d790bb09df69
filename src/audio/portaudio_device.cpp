#include "audio/portaudio_device.h"

#include <alsa/asoundlib.h>
#include <dlfcn.h>
#include <portaudio.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <mutex>

#include "audio/resampler.h"

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

}  // namespace

// One PortAudio stream. Its callback moves samples between the card and the
// head of a fixed queue of lent buffers and hands each finished buffer
// back, converting them on the way when the card runs at another rate; it
// neither allocates nor waits for anything but a short lock. A
// stream kept running (a capture device in standby) is not stopped by a
// reset: it drops what it captures until buffers are queued and it is
// started again, possibly for another owner (lend, giveBack).
class PortAudioDevices::Stream final : public WaveStream {
 public:
  Stream(Direction direction, Done done, bool keepRunning = false)
      : direction_(direction), keepRunning_(keepRunning), done_(std::move(done)) {}

  ~Stream() override {
    keepRunning_ = false;
    reset();
    if (stream_ != nullptr) Pa_CloseStream(stream_);
  }

  // Opens at `rate`, or at the card's own rate (onlyRate, when set) when
  // the card refuses it.
  bool open(int device, double rate, double onlyRate) {
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
    const PaStreamParameters* in = capture ? &params : nullptr;
    const PaStreamParameters* out = capture ? nullptr : &params;
    const std::array<double, 2> rates{rate, onlyRate != 0 ? onlyRate : info->defaultSampleRate};
    for (std::size_t i = 0; i < rates.size() && stream_ == nullptr; ++i) {
      const double tried = rates[i];
      if ((i > 0 && tried == rates[0]) || tried <= 0 || (onlyRate != 0 && tried != onlyRate) ||
          Pa_IsFormatSupported(in, out, tried) != paFormatIsSupported)
        continue;
      if (Pa_OpenStream(&stream_, in, out, tried, paFramesPerBufferUnspecified, paNoFlag,
                        &Stream::callback, this) == paNoError)
        cardRate_ = tried;
      else
        stream_ = nullptr;
    }
    if (stream_ == nullptr) return false;
    device_ = device;
    rate_ = rate;
    if (cardRate_ != rate && !convertRates()) return false;
    if (capture && !keepRunning_) return true;
    // Playback starts resumed; a stream kept running starts at once, idle.
    if (!run()) return false;
    if (!capture) active_.store(true, std::memory_order_release);
    return true;
  }

  int device() const { return device_; }
  double latency() const override {
    const PaStreamInfo* info = stream_ != nullptr ? Pa_GetStreamInfo(stream_) : nullptr;
    if (info == nullptr) return 0;
    return direction_ == Direction::capture ? info->inputLatency : info->outputLatency;
  }
  double rate() const { return rate_; }  // the owner's
  double cardRate() const { return cardRate_; }
  // Still delivering: a device that went away stops its stream.
  bool running() const { return stream_ != nullptr && Pa_IsStreamActive(stream_) == 1; }

  // A stream kept running, for an owner that opened its device: false when
  // another owner has it.
  bool lend(Done done) {
    bool free = false;
    if (!lent_.compare_exchange_strong(free, true)) return false;
    std::lock_guard deliver(deliverLock_);
    done_ = std::move(done);
    return true;
  }
  void giveBack() {
    reset();
    {
      std::lock_guard deliver(deliverLock_);
      done_ = nullptr;
    }
    lent_.store(false, std::memory_order_release);
  }

  bool queue(WaveBuffer& buffer) override {
    std::lock_guard lock(queueLock_);
    return queue_.push(buffer);
  }

  void start() override {
    active_.store(true, std::memory_order_release);
    run();
  }

  void pause() override { active_.store(false, std::memory_order_release); }

  void reset() override {
    active_.store(false, std::memory_order_release);
    if (!keepRunning_) {
      std::lock_guard lock(controlLock_);
      if (started_.load(std::memory_order_relaxed)) {
        Pa_AbortStream(stream_);  // once it returns no callback runs
        started_.store(false, std::memory_order_release);
      }
    }
    // A callback that is handing buffers back finishes first; the next one
    // sees the stream inactive and leaves the queue alone.
    std::lock_guard deliver(deliverLock_);
    CallbackQueue::Finished back{};
    std::size_t filled = 0;
    std::size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = queue_.drain(back, filled);
    }
    for (std::size_t i = 0; i < n; ++i) {
      if (direction_ == Direction::capture) back[i]->recorded = i == 0 ? filled : 0;
      if (done_) done_(*back[i]);
    }
    // What is converted next belongs to new buffers, perhaps a new owner's.
    if (toPhone_) toPhone_->clear();
    if (toCard_) toCard_->clear();
  }

 private:
  // Starts the PortAudio stream unless it runs; from inside a callback it
  // runs, and this returns at once.
  bool run() {
    if (started_.load(std::memory_order_acquire)) return true;
    std::lock_guard lock(controlLock_);
    if (!started_.load(std::memory_order_relaxed) && Pa_StartStream(stream_) == paNoError)
      started_.store(true, std::memory_order_release);
    return started_.load(std::memory_order_relaxed);
  }

  static int callback(const void* input, void* output, unsigned long frames,
                      const PaStreamCallbackTimeInfo*, PaStreamCallbackFlags, void* self) {
    auto* stream = static_cast<Stream*>(self);
    if (stream->direction_ == Direction::capture)
      stream->capture(static_cast<const std::int16_t*>(input), frames);
    else
      stream->play(static_cast<std::int16_t*>(output), frames);
    return paContinue;
  }

  bool convertRates() {
    const auto phone = static_cast<std::uint32_t>(std::lround(rate_));
    const auto card = static_cast<std::uint32_t>(std::lround(cardRate_));
    if (direction_ == Direction::capture) {
      toPhone_ = std::make_unique<CaptureResampler>(card, phone);
      return toPhone_->ok();
    }
    toCard_ = std::make_unique<PlaybackResampler>(phone, card);
    return toCard_->ok();
  }

  void capture(const std::int16_t* input, std::size_t frames) {
    // Only a reset holds it for longer than a callback; what comes then is
    // dropped.
    std::unique_lock deliver(deliverLock_, std::try_to_lock);
    if (!deliver.owns_lock() || !active_.load(std::memory_order_acquire)) return;
    if (!toPhone_) {
      captured(input, frames);
    } else if (input == nullptr) {
      captured(nullptr, static_cast<std::size_t>(static_cast<double>(frames) * rate_ / cardRate_));
    } else {
      toPhone_->convert(std::span(input, frames), [this](std::span<const std::int16_t> piece) {
        captured(piece.data(), piece.size());
      });
    }
  }

  // Into the queue, at the owner's rate; deliverLock_ is held.
  void captured(const std::int16_t* input, std::size_t frames) {
    CallbackQueue::Finished finished{};
    std::size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = queue_.capture(input, frames, finished);
    }
    for (std::size_t i = 0; i < n; ++i)
      if (done_) done_(*finished[i]);
  }

  void play(std::int16_t* output, std::size_t frames) {
    std::unique_lock deliver(deliverLock_, std::try_to_lock);
    if (!deliver.owns_lock() || !active_.load(std::memory_order_acquire)) {
      std::fill_n(output, frames, std::int16_t{0});
      return;
    }
    if (toCard_)
      toCard_->fill(std::span(output, frames),
                    [this](std::span<std::int16_t> chunk) { played(chunk.data(), chunk.size()); });
    else
      played(output, frames);
  }

  // From the queue, at the owner's rate; deliverLock_ is held.
  void played(std::int16_t* output, std::size_t frames) {
    CallbackQueue::Finished finished{};
    std::size_t n = 0;
    {
      std::lock_guard lock(queueLock_);
      n = queue_.play(output, frames, finished);
    }
    for (std::size_t i = 0; i < n; ++i)
      if (done_) done_(*finished[i]);
  }

  const Direction direction_;
  bool keepRunning_;
  // Held by a callback while it hands buffers back, and by reset; done_
  // and the converters are used only under it.
  std::mutex deliverLock_;
  Done done_;
  std::unique_ptr<CaptureResampler> toPhone_;
  std::unique_ptr<PlaybackResampler> toCard_;
  std::atomic<bool> lent_{false};
  PaStream* stream_ = nullptr;
  int device_ = -1;
  double rate_ = 0;
  double cardRate_ = 0;
  std::mutex controlLock_;  // start and reset; never taken by the callback
  std::atomic<bool> started_{false};
  std::atomic<bool> active_{false};
  std::mutex queueLock_;
  CallbackQueue queue_;
};

namespace {

// What an open returns: a stream of the owner's own, or the one kept in
// standby, lent and given back when this closes. The device's count of
// open streams covers it until it is closed.
class OwnedStream final : public WaveStream {
 public:
  OwnedStream(std::shared_ptr<PortAudioDevices::Stream> stream, bool borrowed, std::atomic<int>& open)
      : stream_(std::move(stream)), borrowed_(borrowed), open_(open) {
    open_.fetch_add(1, std::memory_order_acq_rel);
  }
  ~OwnedStream() override {
    if (borrowed_) stream_->giveBack();
    stream_.reset();  // closes it unless it is still kept in standby
    open_.fetch_sub(1, std::memory_order_acq_rel);
  }
  OwnedStream(const OwnedStream&) = delete;
  OwnedStream& operator=(const OwnedStream&) = delete;

  bool queue(WaveBuffer& buffer) override { return stream_->queue(buffer); }
  void start() override { stream_->start(); }
  void pause() override { stream_->pause(); }
  void reset() override { stream_->reset(); }
  double latency() const override { return stream_->latency(); }

 private:
  std::shared_ptr<PortAudioDevices::Stream> stream_;
  const bool borrowed_;
  std::atomic<int>& open_;
};

PortAudioDevices::Options environmentOptions() {
  PortAudioDevices::Options options;
  if (const char* rate = std::getenv(PortAudioDevices::onlyRateVariable))
    options.onlyRate = std::max(0.0, std::strtod(rate, nullptr));
  return options;
}

}  // namespace

std::vector<PortAudioDevices::Device> keepDeviceOrder(const std::vector<PortAudioDevices::Device>& before,
                                                      std::vector<PortAudioDevices::Device> now) {
  std::vector<PortAudioDevices::Device> result;
  for (const auto& old : before) {
    const auto same = std::find_if(now.begin(), now.end(), [&](const auto& d) { return d.name == old.name; });
    if (same == now.end()) continue;
    result.push_back(std::move(*same));
    now.erase(same);
  }
  result.insert(result.end(), std::make_move_iterator(now.begin()), std::make_move_iterator(now.end()));
  return result;
}

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

PortAudioDevices::PortAudioDevices() : PortAudioDevices(environmentOptions()) {}

PortAudioDevices::PortAudioDevices(Options options) : options_(options) {
  quietSoundLibraries();
  std::lock_guard lock(lock_);
  start();
}

PortAudioDevices::~PortAudioDevices() {
  std::lock_guard lock(lock_);
  standby_.reset();
  if (initialized_) Pa_Terminate();
}

void PortAudioDevices::start() {
  initialized_ = Pa_Initialize() == paNoError;
  std::vector<Device> inputs, outputs;
  if (initialized_) {
    const PaDeviceIndex defaultIn = Pa_GetDefaultInputDevice();
    const PaDeviceIndex defaultOut = Pa_GetDefaultOutputDevice();
    const PaDeviceIndex count = Pa_GetDeviceCount();
    for (PaDeviceIndex i = 0; i < count; ++i) {
      const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
      if (info == nullptr) continue;
      const std::string name = info->name != nullptr ? info->name : "";
      if (info->maxInputChannels > 0)
        inputs.insert(i == defaultIn ? inputs.begin() : inputs.end(), Device{i, name});
      if (info->maxOutputChannels > 0)
        outputs.insert(i == defaultOut ? outputs.begin() : outputs.end(), Device{i, name});
    }
  }
  inputs_ = keepDeviceOrder(inputs_, std::move(inputs));
  outputs_ = keepDeviceOrder(outputs_, std::move(outputs));
}

bool PortAudioDevices::available() const {
  std::lock_guard lock(lock_);
  return !inputs_.empty() || !outputs_.empty();
}

std::vector<std::string> PortAudioDevices::names(Direction direction) const {
  std::lock_guard lock(lock_);
  std::vector<std::string> result;
  for (const Device& d : direction == Direction::capture ? inputs_ : outputs_) result.push_back(d.name);
  return result;
}

std::unique_ptr<WaveStream> PortAudioDevices::lent(std::shared_ptr<Stream> stream, bool borrowed) {
  return std::make_unique<OwnedStream>(std::move(stream), borrowed, openStreams_);
}

std::unique_ptr<WaveStream> PortAudioDevices::open(Direction direction, std::int32_t device,
                                                   const WaveFormat& format, WaveStream::Done done) {
  const WaveFormat pcm{};
  if (!done || format.formatTag != pcm.formatTag || format.channels != pcm.channels ||
      format.bitsPerSample != pcm.bitsPerSample || format.samplesPerSec == 0)
    return nullptr;
  // Held while the stream opens, so that a refresh cannot restart
  // PortAudio under it.
  std::lock_guard lock(lock_);
  const auto& list = direction == Direction::capture ? inputs_ : outputs_;
  if (device < 0 || static_cast<std::size_t>(device) >= list.size()) return nullptr;
  const int index = list[static_cast<std::size_t>(device)].index;
  if (direction == Direction::capture && standby_ && standby_->device() == index &&
      standby_->rate() == format.samplesPerSec && standby_->running() && standby_->lend(done)) {
    return lent(standby_, true);
  }
  auto stream = std::make_shared<Stream>(direction, std::move(done));
  if (!stream->open(index, format.samplesPerSec, options_.onlyRate)) return nullptr;
  return lent(std::move(stream), false);
}

void PortAudioDevices::standby(std::int32_t device, const WaveFormat& format) {
  std::lock_guard lock(lock_);
  const bool known = device >= 0 && static_cast<std::size_t>(device) < inputs_.size();
  const int index = known ? inputs_[static_cast<std::size_t>(device)].index : -1;
  if (standby_ && standby_->device() == index && standby_->rate() == format.samplesPerSec &&
      standby_->running())
    return;
  // A stream still borrowed is closed when it is given back.
  standby_.reset();
  if (index < 0 || format.samplesPerSec == 0) return;
  auto stream = std::make_shared<Stream>(Direction::capture, nullptr, true);
  if (stream->open(index, format.samplesPerSec, options_.onlyRate)) standby_ = std::move(stream);
}

bool PortAudioDevices::refresh() {
  std::lock_guard lock(lock_);
  // Restarting PortAudio would close the streams under their owners.
  if (openStreams_.load(std::memory_order_acquire) > 0) return false;
  std::string kept;
  double keptRate = 0;
  if (standby_) {
    for (const Device& d : inputs_)
      if (d.index == standby_->device()) kept = d.name;
    keptRate = standby_->rate();
    standby_.reset();
  }
  if (initialized_) Pa_Terminate();
  start();
  for (const Device& d : inputs_) {
    if (kept.empty() || d.name != kept) continue;
    auto stream = std::make_shared<Stream>(Direction::capture, nullptr, true);
    if (stream->open(d.index, keptRate, options_.onlyRate)) standby_ = std::move(stream);
    break;
  }
  return initialized_;
}

}  // namespace orvalis::audio
