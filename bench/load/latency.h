#pragma once
// Latencies of one kind of transaction, and the figures printed of them.

#include <cstdint>
#include <string>
#include <vector>

namespace orvalis::bench {

struct Latencies {
  std::vector<std::uint32_t> micros;  // one per completed transaction
  std::uint64_t failures = 0;         // no answer, or not the expected one

  void merge(const Latencies& other);
};

struct Summary {
  std::uint64_t count = 0;
  double perSecond = 0;
  double p50Ms = 0;
  double p99Ms = 0;
  std::uint64_t failures = 0;
};

Summary summarize(Latencies latencies, double seconds);
std::string formatRow(const std::string& name, const Summary& s);
std::string headerRow();

}  // namespace orvalis::bench
