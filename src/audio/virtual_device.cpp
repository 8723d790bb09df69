#include "audio/virtual_device.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <stdexcept>
#include <thread>

#include "audio/wav_file.h"

namespace orvalis::audio {

// One open virtual device: a queue of lent buffers, completed in order by
// its own thread (realtime) or by VirtualDevices::pump (manual).
class VirtualStream final : public WaveStream {
 public:
  VirtualStream(VirtualDevices& devices, Direction direction, Done done, bool realtime)
      : devices_(devices), direction_(direction), done_(std::move(done)),
        running_(direction == Direction::playback) {
    if (realtime) thread_ = std::thread([this] { run(); });
  }

  ~VirtualStream() override {
    devices_.streamGone(direction_);  // no pump can reach this stream from now on
    reset();
    {
      std::lock_guard lock(lock_);
      closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (direction_ == Direction::playback) devices_.playbackClosed();
  }

  bool queue(WaveBuffer& buffer) override {
    {
      std::lock_guard lock(lock_);
      if (count_ == fifo_.size()) return false;
      fifo_[(head_ + count_) % fifo_.size()] = &buffer;
      ++count_;
    }
    changed_.notify_all();
    return true;
  }

  void start() override { setRunning(true); }
  void pause() override { setRunning(false); }

  void reset() override {
    std::array<WaveBuffer*, fifoSize> back{};
    std::size_t n = 0;
    {
      std::unique_lock lock(lock_);
      running_ = false;
      ++resets_;
      changed_.notify_all();
      changed_.wait(lock, [this] { return !busy_; });  // the device lets go of its buffer first
      for (; n < count_; ++n) back[n] = fifo_[(head_ + n) % fifo_.size()];
      head_ = 0;
      count_ = 0;
    }
    for (std::size_t i = 0; i < n; ++i) {
      back[i]->recorded = 0;  // buffers are filled only when they complete
      done_(*back[i]);
    }
  }

  // Manual clock: completes the head buffer if the device is running.
  bool completeOne() {
    std::unique_lock lock(lock_);
    if (!running_ || count_ == 0 || busy_) return false;
    WaveBuffer* buffer = take();
    lock.unlock();
    complete(*buffer);
    return true;
  }

 private:
  static constexpr std::size_t fifoSize = 16;

  void setRunning(bool running) {
    {
      std::lock_guard lock(lock_);
      running_ = running;
    }
    changed_.notify_all();
  }

  // Under lock_: removes the head buffer and marks the device busy with it.
  WaveBuffer* take() {
    WaveBuffer* buffer = fifo_[head_];
    head_ = (head_ + 1) % fifo_.size();
    --count_;
    busy_ = true;
    return buffer;
  }

  // Without lock_: Done may queue the buffer again.
  void complete(WaveBuffer& buffer) {
    if (direction_ == Direction::capture)
      devices_.fillCapture(buffer);
    else
      devices_.appendPlayed(buffer.samples);
    done_(buffer);
    {
      std::lock_guard lock(lock_);
      busy_ = false;
    }
    changed_.notify_all();
  }

  std::size_t samplesOf(const WaveBuffer& buffer) const {
    const std::size_t size = buffer.samples.size();
    if (direction_ == Direction::playback) return size;
    const std::size_t chunk = devices_.captureChunk_.load(std::memory_order_relaxed);
    return chunk == 0 ? size : std::min(size, chunk);
  }

  // Realtime clock: absolute deadlines from the moment the device last
  // started running, so the rate does not drift with scheduling delays.
  void run() {
    using namespace std::chrono;
    std::unique_lock lock(lock_);
    bool paced = false;
    steady_clock::time_point base;
    std::uint64_t elapsed = 0;  // samples since base
    while (true) {
      changed_.wait(lock, [this] { return closing_ || (running_ && count_ > 0); });
      if (closing_) return;
      if (!paced) {
        base = steady_clock::now();
        elapsed = 0;
        paced = true;
        if (direction_ == Direction::capture) devices_.capturePaced(base);
      }
      const std::uint64_t resets = resets_;
      const std::uint64_t next = elapsed + std::max<std::size_t>(samplesOf(*fifo_[head_]), 1);
      const auto deadline = base + nanoseconds(next * 1'000'000'000 / sampleRate);
      if (changed_.wait_until(lock, deadline,
                              [&] { return closing_ || !running_ || resets_ != resets; })) {
        paced = false;  // stopped, reset or closing: start the clock afresh
        continue;
      }
      elapsed = next;
      WaveBuffer* buffer = take();
      lock.unlock();
      complete(*buffer);
      lock.lock();
      if (!running_ || count_ == 0) paced = false;
    }
  }

  VirtualDevices& devices_;
  const Direction direction_;
  const Done done_;
  std::mutex lock_;
  std::condition_variable changed_;
  std::array<WaveBuffer*, fifoSize> fifo_{};
  std::size_t head_ = 0;
  std::size_t count_ = 0;
  bool running_;
  bool busy_ = false;  // a buffer is out of the queue and being completed
  bool closing_ = false;
  std::uint64_t resets_ = 0;
  std::thread thread_;  // last: it starts with everything above in place
};

VirtualDevices::VirtualDevices() : VirtualDevices(Options{}) {}

VirtualDevices::VirtualDevices(Options options)
    : clock_(options.clock), tape_(std::move(options.microphone)),
      captureChunk_(options.captureChunk), keepPlayed_(options.keepPlayed) {
  if (!options.microphoneFile.empty()) {
    WavRead read = loadWav(options.microphoneFile);
    if (!read.ok()) throw std::runtime_error(read.error);
    tape_ = std::move(read.samples);
  }
  if (!options.speakerFile.empty()) {
    speakerFile_.reset(std::fopen(options.speakerFile.c_str(), "wb"));
    if (!speakerFile_) throw std::runtime_error("cannot create " + options.speakerFile.string());
    rewriteHeader();
  }
}

VirtualDevices::~VirtualDevices() {
  std::lock_guard lock(speakerLock_);
  rewriteHeader();
}

std::vector<std::string> VirtualDevices::names(Direction direction) const {
  return {direction == Direction::capture ? microphoneName : speakerName};
}

std::unique_ptr<WaveStream> VirtualDevices::open(Direction direction, std::int32_t device,
                                                 const WaveFormat& format, WaveStream::Done done) {
  const WaveFormat pcm{};
  if (device != 0 || !done || format.formatTag != pcm.formatTag || format.channels != pcm.channels ||
      format.samplesPerSec != pcm.samplesPerSec || format.bitsPerSample != pcm.bitsPerSample)
    return nullptr;
  std::unique_ptr<VirtualStream> stream;
  {
    std::lock_guard lock(streamsLock_);
    VirtualStream*& slot = direction == Direction::capture ? capture_ : playback_;
    if (slot != nullptr) return nullptr;
    stream = std::make_unique<VirtualStream>(*this, direction, std::move(done), clock_ == Clock::realtime);
    slot = stream.get();
  }
  if (direction == Direction::playback) playbackOpened();
  return stream;
}

std::size_t VirtualDevices::pump(Direction direction, std::size_t buffers) {
  if (clock_ != Clock::manual) return 0;
  std::lock_guard lock(streamsLock_);
  VirtualStream* stream = direction == Direction::capture ? capture_ : playback_;
  std::size_t done = 0;
  while (stream != nullptr && done < buffers && stream->completeOne()) ++done;
  return done;
}

std::vector<std::int16_t> VirtualDevices::played() const {
  std::lock_guard lock(speakerLock_);
  return played_;
}

std::size_t VirtualDevices::microphonePosition() const {
  std::lock_guard lock(tapeLock_);
  return tapePos_;
}

void VirtualDevices::setCaptureChunk(std::size_t samples) {
  captureChunk_.store(samples, std::memory_order_relaxed);
}

void VirtualDevices::fillCapture(WaveBuffer& buffer) {
  const std::size_t chunk = captureChunk_.load(std::memory_order_relaxed);
  const std::size_t n = chunk == 0 ? buffer.samples.size() : std::min(chunk, buffer.samples.size());
  std::lock_guard lock(tapeLock_);
  const std::size_t fromTape = std::min(n, tape_.size() - tapePos_);
  const auto start = tape_.begin() + static_cast<std::ptrdiff_t>(tapePos_);
  std::copy(start, start + static_cast<std::ptrdiff_t>(fromTape), buffer.samples.begin());
  std::fill(buffer.samples.begin() + static_cast<std::ptrdiff_t>(fromTape),
            buffer.samples.begin() + static_cast<std::ptrdiff_t>(n), std::int16_t{0});
  tapePos_ += fromTape;
  buffer.recorded = n;
}

void VirtualDevices::appendPlayed(std::span<const std::int16_t> samples) {
  std::lock_guard lock(speakerLock_);
  if (keepPlayed_) played_.insert(played_.end(), samples.begin(), samples.end());
  writeSpeaker(samples);
}

void VirtualDevices::playbackOpened() {
  std::lock_guard lock(speakerLock_);
  if (clock_ != Clock::realtime || !speakerFile_) return;
  const auto now = std::chrono::steady_clock::now();
  if (!timelineStart_) {
    timelineStart_ = now;
    return;
  }
  const auto since = std::chrono::duration_cast<std::chrono::microseconds>(now - *timelineStart_);
  const auto due = static_cast<std::size_t>(since.count()) * sampleRate / 1'000'000;
  if (due > fileSamples_) writeSilence(due - fileSamples_);
}

void VirtualDevices::playbackClosed() {
  std::lock_guard lock(speakerLock_);
  rewriteHeader();
}

void VirtualDevices::capturePaced(TimePoint base) {
  std::lock_guard lock(tapeLock_);
  microphoneOrigin_ = base - std::chrono::nanoseconds(static_cast<std::int64_t>(tapePos_) *
                                                      1'000'000'000 / sampleRate);
}

std::optional<VirtualDevices::TimePoint> VirtualDevices::microphoneOrigin() const {
  std::lock_guard lock(tapeLock_);
  return microphoneOrigin_;
}

std::optional<VirtualDevices::TimePoint> VirtualDevices::speakerOrigin() const {
  std::lock_guard lock(speakerLock_);
  return timelineStart_;
}

void VirtualDevices::streamGone(Direction direction) {
  std::lock_guard lock(streamsLock_);
  (direction == Direction::capture ? capture_ : playback_) = nullptr;
}

void VirtualDevices::writeSpeaker(std::span<const std::int16_t> samples) {
  if (!speakerFile_) return;
  std::array<std::uint8_t, 1024> bytes{};
  while (!samples.empty()) {
    const std::size_t n = std::min(samples.size(), bytes.size() / 2);
    for (std::size_t i = 0; i < n; ++i) {
      const auto u = static_cast<std::uint16_t>(samples[i]);
      bytes[2 * i] = static_cast<std::uint8_t>(u);
      bytes[2 * i + 1] = static_cast<std::uint8_t>(u >> 8);
    }
    fileSamples_ += std::fwrite(bytes.data(), 1, 2 * n, speakerFile_.get()) / 2;
    samples = samples.subspan(n);
  }
}

void VirtualDevices::writeSilence(std::size_t samples) {
  static constexpr std::array<std::int16_t, 512> zeros{};
  while (samples > 0) {
    const std::size_t n = std::min(samples, zeros.size());
    writeSpeaker(std::span(zeros).first(n));
    samples -= n;
  }
}

void VirtualDevices::rewriteHeader() {
  if (!speakerFile_) return;
  std::FILE* f = speakerFile_.get();
  const auto header = wavHeader(fileSamples_);
  std::fseek(f, 0, SEEK_SET);
  std::fwrite(header.data(), 1, header.size(), f);
  std::fseek(f, 0, SEEK_END);
  std::fflush(f);
}

}  // namespace orvalis::audio
