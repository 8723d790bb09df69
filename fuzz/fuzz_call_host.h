#pragma once
// A phone as the call thread and the listener see it, counting what they
// ask of it, for the call targets.
#include <atomic>
#include <memory>
#include <mutex>

#include "net/call_host.h"
#include "net/call_thread.h"
#include "net/listener.h"

namespace orvalis::fuzz {

class FuzzCallHost final : public net::CallHost {
 public:
  FuzzCallHost() { cnf.dynamicPort = 1; }
  ~FuzzCallHost() override { net::stopNetwork(call); }

  net::CallState& calls() override { return call; }
  net::CallFields& callFields() override { return fields; }
  const store::CnfData& settings() const override { return cnf; }
  void postCallText(net::CallText, std::int32_t, net::CallMelody) override { ++texts; }
  bool loggedIn() const override { return logged; }
  std::int32_t typeOf(std::int32_t number) override { return number < 0 ? 0 : number % 3; }
  void setListeningPort(std::uint16_t p) override { port = p; }
  void portInUse() override {}
  // The call itself is the call target's: here the connection is only kept.
  void startIncomingCall(net::SocketPtr connection) override {
    std::lock_guard guard(lock_);
    incoming = std::move(connection);
    ++incomingCalls;
  }
  void stopTest() override {}
  void stopVoice() override {}
  void stopMelody() override {}
  void restartPlayback() override {}
  void switchToCapture() override { ++captures; }
  void switchToPlayback() override { ++playbacks; }
  void requestFloor() override { net::requestFloor(call, fields); }
  void markSpurt() override { ++spurts; }
  void putFrame(std::span<const std::uint8_t, net::gsmFrameSize>) override { ++frames; }

  // Hangs up an incoming call the listener handed over, as the phone does.
  void hangUpIncoming() {
    std::lock_guard guard(lock_);
    if (!incoming) return;
    call.stateClient = net::ClientState::clientIdle;
    call.sockClient.closeAndResetIf(incoming);
    incoming->close();
    incoming.reset();
  }

  net::CallState call;
  net::CallFields fields;
  store::CnfData cnf;
  std::atomic<bool> logged{true};
  std::atomic<std::uint16_t> port{0};
  std::atomic<int> texts{0}, captures{0}, playbacks{0}, spurts{0}, frames{0}, incomingCalls{0};

 private:
  std::mutex lock_;
  net::SocketPtr incoming;
};

}  // namespace orvalis::fuzz
