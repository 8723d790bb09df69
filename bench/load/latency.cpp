#include "load/latency.h"

#include <algorithm>
#include <cstdio>

namespace orvalis::bench {

namespace {

// The value below which the fraction q of the sorted samples lie.
double percentileMs(const std::vector<std::uint32_t>& sorted, double q) {
  if (sorted.empty()) return 0;
  const auto index = static_cast<std::size_t>(q * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[index] / 1000.0;
}

}  // namespace

void Latencies::merge(const Latencies& other) {
  micros.insert(micros.end(), other.micros.begin(), other.micros.end());
  failures += other.failures;
}

Summary summarize(Latencies latencies, double seconds) {
  std::sort(latencies.micros.begin(), latencies.micros.end());
  Summary s;
  s.count = latencies.micros.size();
  s.perSecond = seconds > 0 ? static_cast<double>(s.count) / seconds : 0;
  s.p50Ms = percentileMs(latencies.micros, 0.50);
  s.p99Ms = percentileMs(latencies.micros, 0.99);
  s.failures = latencies.failures;
  return s;
}

std::string headerRow() {
  char line[128];
  std::snprintf(line, sizeof line, "%-8s %10s %10s %9s %9s %9s", "request", "count", "per s",
                "p50 ms", "p99 ms", "failed");
  return line;
}

std::string formatRow(const std::string& name, const Summary& s) {
  char line[128];
  std::snprintf(line, sizeof line, "%-8s %10llu %10.0f %9.2f %9.2f %9llu", name.c_str(),
                static_cast<unsigned long long>(s.count), s.perSecond, s.p50Ms, s.p99Ms,
                static_cast<unsigned long long>(s.failures));
  return line;
}

}  // namespace orvalis::bench
