#pragma once
// A phone as the call thread and the listener see it, counting what they
// ask of it, for the call targets.
#include <atomic>
#include <memory>
#include <mutex>

#include "support/counting_call_host.h"

namespace orvalis::fuzz {

class FuzzCallHost final : public testing::CountingCallHost {
 public:
  void postCallText(net::CallText, std::int32_t, net::CallMelody) override { ++texts; }
  std::int32_t typeOf(std::int32_t number) override { return number < 0 ? 0 : number % 3; }
  void portInUse() override {}
  // The call itself is the call target's: here the connection is only kept.
  void startIncomingCall(net::SocketPtr connection, net::CallGeneration) override {
    std::lock_guard guard(lock_);
    incoming = std::move(connection);
    ++incomingCalls;
  }

  // Hangs up an incoming call the listener handed over, as the phone does.
  void hangUpIncoming() {
    std::lock_guard guard(lock_);
    if (!incoming) return;
    net::hangUpCall(call);
    incoming->close();
    incoming.reset();
  }

  std::atomic<int> texts{0}, incomingCalls{0};

 private:
  std::mutex lock_;
  net::SocketPtr incoming;
};

}  // namespace orvalis::fuzz
