#pragma once
// A controller built in its own directory, with a recording user interface
// and sound side, and helpers that play the transaction thread's part.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <iterator>
#include <memory>
#include <thread>
#include <string>
#include <vector>

#include "fakes.h"
#include "net/message_codes.h"
#include "phone/phone.h"
#include "support/no_router.h"
#include "support/temp_dir.h"

namespace orvalis::testing {

class PhoneTest : public ::testing::Test {
 protected:
  static constexpr std::uint32_t hostAddress = 0x0302010A;  // 10.1.2.3

  // Builds the phone; call after preparing the directory.
  phone::CPhone& makePhone() {
    phone_ = std::make_unique<phone::CPhone>(
        ui, dir.dir(),
        [this](const audio::SoundLinks&) {
          auto fake = std::make_unique<FakeAudio>(audioLog);
          audio = fake.get();
          return fake;
        },
        [] { return hostAddress; }, reachOptions);
    // The tests play the transaction thread's part themselves.
    phone_->netReady = false;
    awaitListener();
    return *phone_;
  }
  phone::CPhone& phone() { return *phone_; }

  // The listener writes the port the system gave it into the settings;
  // tests that set the port themselves wait for that first.
  void awaitListener() {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (phone_->callState.sockBind &&
           phone_->callState.stateBind.load() != net::BindState::bindListening &&
           std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  // Ends a queued or running slot the way the transaction thread does.
  void finish(std::int16_t slot, std::int16_t answerCode, std::vector<std::uint8_t> payload = {}) {
    auto& s = phone().quiryAuth[static_cast<std::size_t>(slot)];
    net::buildPacket(s.answer, answerCode, static_cast<std::int16_t>(payload.size()), payload);
    s.store(net::SlotState::slotDone);
  }
  void fail(std::int16_t slot) {
    phone().quiryAuth[static_cast<std::size_t>(slot)].store(net::SlotState::slotFailed);
  }
  net::SlotState slotState(std::int16_t slot) {
    return phone().quiryAuth[static_cast<std::size_t>(slot)].load();
  }
  const net::CPacket& request(std::int16_t slot) {
    return phone().quiryAuth[static_cast<std::size_t>(slot)].request;
  }
  void ticks(int n) {
    for (int i = 0; i < n; ++i) phone().tick();
  }
  // Ticks a few milliseconds apart, for worker threads that run meanwhile,
  // until done() or ten seconds have passed; whether done.
  bool tickUntil(const std::function<bool()>& done) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
      if (std::chrono::steady_clock::now() > until) return false;
      phone().tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }
  // The sound log's openings and closings of devices, in order.
  std::vector<std::string> deviceSteps() const {
    std::vector<std::string> steps;
    std::copy_if(audioLog.begin(), audioLog.end(), std::back_inserter(steps), [](const auto& s) {
      return s.starts_with("open") || s.starts_with("close");
    });
    return steps;
  }
  // A phone with an own number and a saved password, logged in with ticket
  // 1..8 after its first tick.
  phone::CPhone& loggedInPhone() {
    makePhone();
    phone().cnf.userNumber = 200000001;
    phone().cnf.passwd = "secret";
    phone().cnf.passwdLen = 6;
    phone().tick();
    finish(net::reqLogin, net::ansLoggedIn, {1, 2, 3, 4, 5, 6, 7, 8});
    phone().tick();
    return phone();
  }

  TempDir dir;
  // How the phone's reachability keeper meets routers: by default never.
  net::ReachOptions reachOptions = noRouter();
  FakeUi ui;
  std::vector<std::string> audioLog;
  FakeAudio* audio = nullptr;  // owned by the phone

 private:
  std::unique_ptr<phone::CPhone> phone_;
};

}  // namespace orvalis::testing
