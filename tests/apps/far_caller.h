#pragma once
// The far end of a call on the sound server tests, played by the test
// itself: it speaks the peer protocol with the project's own wire code and
// encodes and decodes GSM with libgsm.

#include <gsm.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <thread>
#include <vector>

#include "cli_phones.h"
#include "net/message_codes.h"
#include "net/packet.h"
#include "net/packet_io.h"
#include "net/socket.h"

namespace orvalis::testing {

using Clock = std::chrono::steady_clock;
inline constexpr std::size_t frameSamples = 160;
inline constexpr std::size_t gsmBytes = 33;

// The calling side of a call, played by the test: it calls the phone's
// listener, takes its answer, and from then on records every voice message
// the phone sends (with the moment it came) while it can send speech of its
// own.
class FarCaller {
 public:
  struct Voice {
    Clock::time_point at;
    int code = 0;
    std::vector<std::uint8_t> frames;
  };

  explicit FarCaller(std::uint16_t port) : socket_(net::Socket::createTcp()) {
    connected_ = socket_ && socket_->connect(loopback, port);
  }
  ~FarCaller() {
    if (socket_) socket_->close();
    if (reader_.joinable()) reader_.join();
  }
  FarCaller(const FarCaller&) = delete;
  FarCaller& operator=(const FarCaller&) = delete;

  bool connected() const { return connected_; }

  bool call(std::int32_t callee, std::int32_t caller) {
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, callee);
    net::writeInt32(numbers, 4, caller);
    return send(net::peerCall, numbers);
  }

  // The moment the phone's answer (its peerAccept) came; none when the
  // phone closed or the time ran out.
  std::optional<Clock::time_point> awaitAnswer(std::chrono::milliseconds timeout) {
    socket_->setDeadline(Clock::now() + timeout);
    net::CPacket message;
    for (int code; (code = net::recvPacket(*socket_, message)) != 0;) {
      if (code == net::peerAccept) {
        const auto at = Clock::now();
        socket_->clearDeadline();
        return at;
      }
    }
    return std::nullopt;
  }

  // Completes the handshake (transmitting constantly) and starts recording
  // the phone's voice messages.
  bool accept() {
    std::array<std::uint8_t, 4> mode{};
    if (!send(net::peerAccept, mode)) return false;
    reader_ = std::thread([this] { read(); });
    return true;
  }

  // Sends the samples as the phone would, in messages of two GSM frames,
  // one every 40 ms, the first opening a talk spurt.
  void speak(const std::vector<std::int16_t>& samples) {
    gsm encoder = gsm_create();
    auto next = Clock::now();
    int code = net::peerVoiceFirst;
    constexpr std::size_t perMessage = 2;
    for (std::size_t at = 0; at + perMessage * frameSamples <= samples.size();
         at += perMessage * frameSamples) {
      std::array<std::uint8_t, perMessage * gsmBytes> payload{};
      for (std::size_t k = 0; k < perMessage; ++k) {
        std::array<gsm_signal, frameSamples> in{};
        std::copy_n(samples.begin() + static_cast<std::ptrdiff_t>(at + k * frameSamples), frameSamples,
                    in.begin());
        gsm_encode(encoder, in.data(), payload.data() + k * gsmBytes);
      }
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(40);
      if (!send(static_cast<std::int16_t>(code), payload)) break;
      code = net::peerVoice;
    }
    gsm_destroy(encoder);
  }

  std::vector<Voice> voices() const {
    std::lock_guard lock(lock_);
    return voices_;
  }

 private:
  bool send(std::int16_t code, std::span<const std::uint8_t> payload) {
    net::CPacket message;
    net::buildPacket(message, code, static_cast<std::int16_t>(payload.size()), payload);
    return net::sendPacket(*socket_, message) != 0;
  }

  void read() {
    net::CPacket message;
    for (int code; (code = net::recvPacket(*socket_, message)) != 0;) {
      if (code != net::peerVoice && code != net::peerVoiceFirst) continue;
      const auto body = message.body();
      std::lock_guard lock(lock_);
      voices_.push_back(Voice{Clock::now(), code, {body.begin(), body.end()}});
    }
  }

  net::SocketPtr socket_;
  bool connected_ = false;
  std::thread reader_;
  mutable std::mutex lock_;
  std::vector<Voice> voices_;
};

inline std::vector<std::int16_t> decode(const std::vector<FarCaller::Voice>& voices) {
  gsm decoder = gsm_create();
  std::vector<std::int16_t> samples;
  for (const auto& v : voices) {
    for (std::size_t at = 0; at + gsmBytes <= v.frames.size(); at += gsmBytes) {
      std::array<gsm_byte, gsmBytes> frame{};
      std::copy_n(v.frames.begin() + static_cast<std::ptrdiff_t>(at), gsmBytes, frame.begin());
      std::array<gsm_signal, frameSamples> out{};
      gsm_decode(decoder, frame.data(), out.data());
      samples.insert(samples.end(), out.begin(), out.end());
    }
  }
  gsm_destroy(decoder);
  return samples;
}

}  // namespace orvalis::testing
