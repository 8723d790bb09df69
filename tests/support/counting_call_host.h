#pragma once
// What the call thread and the listener need of a phone, with the sound
// side only counted: the common part of the tests' and fuzz targets' call
// hosts, which add how texts, callers' groups and incoming calls are taken.

#include <atomic>

#include "net/call_host.h"
#include "net/call_thread.h"
#include "net/listener.h"

namespace orvalis::testing {

class CountingCallHost : public net::CallHost {
 public:
  CountingCallHost() { cnf.dynamicPort = 1; }
  ~CountingCallHost() override { net::stopNetwork(call); }

  net::CallState& calls() override { return call; }
  net::CallFields& callFields() override { return fields; }
  const store::CnfData& settings() const override { return cnf; }
  bool loggedIn() const override { return logged; }
  void setListeningPort(std::uint16_t p) override { port = p; }
  void stopTest() override {}
  void stopVoice() override {}
  void stopMelody() override {}
  void restartPlayback() override {}
  void switchToCapture() override { ++captures; }
  void switchToPlayback() override { ++playbacks; }
  void requestFloor() override { net::requestFloor(call, fields); }
  void markSpurt() override { ++spurts; }
  void putFrame(std::span<const std::uint8_t, net::gsmFrameSize>) override { ++frames; }

  net::CallState call;
  net::CallFields fields;
  store::CnfData cnf;
  std::atomic<bool> logged{true};
  std::atomic<std::uint16_t> port{0};
  std::atomic<int> captures{0}, playbacks{0}, spurts{0}, frames{0};
};

}  // namespace orvalis::testing
