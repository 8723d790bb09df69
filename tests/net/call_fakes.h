#pragma once
// A phone as the call thread and the listener see it, recording what they
// ask of it; and a loopback connection whose far end the test plays.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>
#include <thread>
#include <vector>

#include "net/call_host.h"
#include "net/call_thread.h"
#include "net/listener.h"
#include "net/packet_io.h"
#include "support/counting_call_host.h"
#include "support/socket_pair.h"

namespace orvalis::net::testing {

inline const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// Polls until pred holds or five seconds have passed.
template <class Pred>
bool eventually(Pred pred) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class FakeCallHost final : public ::orvalis::testing::CountingCallHost {
 public:
  ~FakeCallHost() override {
    stopNetwork(call);
    std::lock_guard guard(clientLock_);
    incomingCalls_.clear();
  }

  void postCallText(CallText text, std::int32_t, CallMelody) override {
    {
      std::lock_guard guard(lock_);
      texts_.push_back(text);
    }
    if (onText) onText(text);
  }
  const store::CnfData& settings() const override {
    if (onFirstSettings && !settingsRead_.exchange(true)) onFirstSettings();
    return cnf;
  }
  std::int32_t typeOf(std::int32_t) override { return group; }
  void stopVoice() override {
    if (onStopVoice) onStopVoice();
  }
  void portInUse() override { portTaken = true; }
  void startIncomingCall(SocketPtr connection, CallGeneration generation) override {
    std::lock_guard guard(clientLock_);
    incomingCalls_.push_back(std::make_unique<CClient>(*this, generation, std::move(connection)));
  }
  const KeyPair* ownKeys() const override { return keys ? &*keys : nullptr; }
  void verifyCaller(std::int32_t number, const std::optional<PublicKey>& proven,
                    CallGeneration) override {
    std::lock_guard guard(lock_);
    checked_ = {number, proven};
  }
  // The caller the listener asked to have checked, and the key it proved.
  std::optional<std::pair<std::int32_t, std::optional<PublicKey>>> checkedCaller() const {
    std::lock_guard guard(lock_);
    return checked_;
  }
  bool shown(CallText text) const {
    std::lock_guard guard(lock_);
    return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
  }
  ClientState state() const { return call.stateClient.load(); }
  Floor floor() const { return fields.floor.load(); }

  std::atomic<std::int32_t> group{0};
  std::atomic<bool> portTaken{false};
  // Set before any thread runs: let a test act at these points of a call.
  std::function<void(CallText)> onText;
  std::function<void()> onFirstSettings;
  std::function<void()> onStopVoice;  // after the handshake, before the call is up
  std::optional<KeyPair> keys;         // set before any thread runs

 private:
  mutable std::atomic<bool> settingsRead_{false};
  std::mutex clientLock_;
  std::vector<std::unique_ptr<CClient>> incomingCalls_;  // guarded by clientLock_
  mutable std::mutex lock_;  // texts_, checked_
  std::vector<CallText> texts_;
  std::optional<std::pair<std::int32_t, std::optional<PublicKey>>> checked_;
};

// Both ends of one loopback TCP connection.
struct Connection {
  SocketPtr near, far;
  using Pair = ::orvalis::testing::SocketPair;
  explicit Connection(Pair pair = ::orvalis::testing::makeLoopbackConnection())
      : near(std::move(pair.near)), far(std::move(pair.far)) {}
};

inline void sendCode(Socket& socket, std::int16_t code, std::span<const std::uint8_t> payload = {}) {
  CPacket message;
  buildPacket(message, code, static_cast<std::int16_t>(payload.size()), payload);
  ASSERT_NE(sendPacket(socket, message), 0);
}

inline std::int16_t recvCode(Socket& socket) {
  CPacket message;
  socket.setDeadline(Socket::Clock::now() + std::chrono::seconds(5));
  return static_cast<std::int16_t>(recvPacket(socket, message));
}

}  // namespace orvalis::net::testing
