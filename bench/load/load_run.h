#pragma once
// The load itself: client threads, each a phone that logs in, looks up
// another user and logs out, again and again, one connection per
// transaction as the phone does.

#include <chrono>
#include <cstdint>
#include <string>

#include "load/latency.h"

namespace orvalis::bench {

struct LoadSettings {
  std::uint32_t address = 0;  // network order
  std::uint16_t port = 0;
  std::int32_t firstNumber = 100000000;
  std::int32_t users = 100000;
  std::string password;
  int clients = 32;
  std::chrono::seconds duration{10};
};

struct LoadResult {
  Latencies login, find, logout;
  double seconds = 0;
};

LoadResult runLoad(const LoadSettings& settings);

}  // namespace orvalis::bench
