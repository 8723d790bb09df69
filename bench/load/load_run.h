#pragma once
// The load itself: client threads, one connection per transaction as the
// phone does. In the full mix each client is a phone that logs in, looks up
// another user and logs out, again and again; in the find mix it logs in
// once and then only looks up; in the test mix it only sends the test
// request, which needs no account.

#include <chrono>
#include <cstdint>
#include <string>

#include "load/latency.h"

namespace orvalis::bench {

enum class Mix { full, find, test };

struct LoadSettings {
  Mix mix = Mix::full;
  std::uint32_t address = 0;  // network order
  std::uint16_t port = 0;
  std::int32_t firstNumber = 100000000;
  std::int32_t users = 100000;
  std::string password;
  int clients = 32;
  std::chrono::seconds duration{10};
};

struct LoadResult {
  Latencies login, find, logout, test;
  double seconds = 0;
};

LoadResult runLoad(const LoadSettings& settings);

}  // namespace orvalis::bench
