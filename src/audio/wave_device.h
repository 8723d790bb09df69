#pragma once
// The sound-card interface under the device wrappers: device lists, and an
// open device that takes buffers in a queue and hands each back, filled
// (capture) or played (playback), through one callback. Implemented by
// PortAudio for the real card and by a virtual device for tests and the
// headless phone.

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "audio/audio_format.h"

namespace orvalis::audio {

enum class Direction { capture, playback };

// One buffer lent to an open device. The device hands it back exactly once
// per queuing: filled with `recorded` captured samples, or played.
struct WaveBuffer {
  std::span<std::int16_t> samples;
  std::size_t recorded = 0;  // capture only; less than samples.size() after a reset
};

class WaveStream {
 public:
  // Runs on the device's thread, or on the thread calling reset. It may
  // queue the buffer again; it must not call reset or destroy the stream.
  using Done = std::function<void(WaveBuffer&)>;

  // Closing: resets first when needed, so no buffer is left with the device
  // and no callback runs once the destructor has returned.
  virtual ~WaveStream() = default;
  // Adds a buffer to the queue; false when the device cannot take it.
  virtual bool queue(WaveBuffer& buffer) = 0;
  // Capture: start recording. Playback: resume playing.
  virtual void start() = 0;
  // Playback: hold (queued buffers wait). Capture: stop recording.
  virtual void pause() = 0;
  // Stops the device and hands every queued buffer back through Done before
  // returning; afterwards Done is not called until buffers are queued again.
  virtual void reset() = 0;
  // Seconds between a sample passing through Done and the sound being
  // heard (playback) or after it was heard (capture), as the device says;
  // 0 when it cannot tell.
  virtual double latency() const { return 0; }
};

class WaveDevices {
 public:
  virtual ~WaveDevices() = default;
  // Product names; a device's position in its list is its device number.
  virtual std::vector<std::string> names(Direction direction) const = 0;
  // Opens device `device` in `format`; null when it cannot be opened.
  // Playback devices start resumed and capture devices stopped.
  virtual std::unique_ptr<WaveStream> open(Direction direction, std::int32_t device,
                                           const WaveFormat& format, WaveStream::Done done) = 0;
  // Keeps capture device `device` running in `format` while it is not open
  // (none: -1), so that opening it delivers its first samples at once: a
  // sound server can take seconds to start a capture stream. What it
  // captures meanwhile is dropped; nothing of it is heard or sent. Devices
  // that start at once ignore it.
  virtual void standby(std::int32_t device, const WaveFormat& format) {
    (void)device;
    (void)format;
  }
  // Reads the lists afresh, so that a device plugged in since appears;
  // devices already listed keep their numbers. False when it could not
  // (a stream of the card is open). Devices whose lists never change
  // ignore it.
  virtual bool refresh() { return true; }
};

// A machine without sound devices: empty lists, nothing opens.
class NoDevices final : public WaveDevices {
 public:
  std::vector<std::string> names(Direction) const override { return {}; }
  std::unique_ptr<WaveStream> open(Direction, std::int32_t, const WaveFormat&,
                                   WaveStream::Done) override {
    return nullptr;
  }
};

}  // namespace orvalis::audio
