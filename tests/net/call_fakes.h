#pragma once
// A phone as the call thread and the listener see it, recording what they
// ask of it; and a loopback connection whose far end the test plays.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "net/call_host.h"
#include "net/call_thread.h"
#include "net/listener.h"
#include "net/packet_io.h"
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

class FakeCallHost final : public CallHost {
 public:
  FakeCallHost() { cnf.dynamicPort = 1; }
  ~FakeCallHost() override {
    stopNetwork(call);
    std::lock_guard guard(clientLock_);
    client.reset();
  }

  CallState& calls() override { return call; }
  CallFields& callFields() override { return fields; }
  const store::CnfData& settings() const override { return cnf; }
  void postCallText(CallText text, std::int32_t, CallMelody) override {
    std::lock_guard guard(lock_);
    texts_.push_back(text);
  }
  bool loggedIn() const override { return logged; }
  std::int32_t typeOf(std::int32_t) override { return group; }
  void setListeningPort(std::uint16_t p) override { port = p; }
  void portInUse() override { portTaken = true; }
  void startIncomingCall(SocketPtr connection) override {
    std::lock_guard guard(clientLock_);
    client.reset();
    client = std::make_unique<CClient>(*this, std::move(connection));
  }
  void stopTest() override {}
  void stopVoice() override {}
  void stopMelody() override {}
  void restartPlayback() override {}
  void switchToCapture() override { ++captures; }
  void switchToPlayback() override { ++playbacks; }
  void requestFloor() override { net::requestFloor(call, fields); }
  void markSpurt() override { ++spurts; }
  void putFrame(std::span<const std::uint8_t, gsmFrameSize>) override { ++frames; }

  bool shown(CallText text) const {
    std::lock_guard guard(lock_);
    return std::find(texts_.begin(), texts_.end(), text) != texts_.end();
  }
  ClientState state() const { return call.stateClient.load(); }
  Floor floor() const { return fields.floor.load(); }

  CallState call;
  CallFields fields;
  store::CnfData cnf;
  std::atomic<bool> logged{true};
  std::atomic<std::int32_t> group{0};
  std::atomic<std::uint16_t> port{0};
  std::atomic<bool> portTaken{false};
  std::atomic<int> captures{0}, playbacks{0}, spurts{0}, frames{0};
  std::unique_ptr<CClient> client;  // guarded by clientLock_ once threads run

 private:
  std::mutex clientLock_;
  mutable std::mutex lock_;  // texts_
  std::vector<CallText> texts_;
};

// Both ends of one loopback TCP connection.
struct Connection {
  SocketPtr near, far;
  Connection() {
    auto pair = ::orvalis::testing::makeLoopbackConnection();
    near = std::move(pair.near);
    far = std::move(pair.far);
  }
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
