// The gateway of this thread's default route.

#include "net/reach/default_gateway.h"

#include <algorithm>
#include <charconv>
#include <fstream>
#include <iterator>
#include <limits>
#include <string>
#include <vector>

namespace orvalis::net {
namespace {

constexpr unsigned routeUp = 0x1;
constexpr unsigned routeGateway = 0x2;

std::vector<std::string_view> fields(std::string_view line) {
  std::vector<std::string_view> out;
  std::size_t at = 0;
  while (at < line.size()) {
    const std::size_t start = line.find_first_not_of(" \t", at);
    if (start == std::string_view::npos) break;
    const std::size_t end = std::min(line.find_first_of(" \t", start), line.size());
    out.push_back(line.substr(start, end - start));
    at = end;
  }
  return out;
}

bool parseNumber(std::string_view text, int base, std::uint32_t& value) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return ec == std::errc() && end == text.data() + text.size();
}

}  // namespace

std::uint32_t defaultGatewayIn(std::string_view routeTable) {
  std::uint32_t best = 0;
  std::uint32_t bestMetric = std::numeric_limits<std::uint32_t>::max();
  bool header = true;
  while (!routeTable.empty()) {
    const std::size_t newline = routeTable.find('\n');
    const std::string_view line = routeTable.substr(0, newline);
    routeTable.remove_prefix(newline == std::string_view::npos ? routeTable.size() : newline + 1);
    if (header) {
      header = false;
      continue;
    }
    // Iface Destination Gateway Flags RefCnt Use Metric Mask ...; the
    // addresses are the words' bytes as stored, i.e. network order.
    const auto words = fields(line);
    if (words.size() < 8) continue;
    std::uint32_t destination = 0, gateway = 0, flags = 0, metric = 0, mask = 0;
    if (!parseNumber(words[1], 16, destination) || !parseNumber(words[2], 16, gateway) ||
        !parseNumber(words[3], 16, flags) || !parseNumber(words[6], 10, metric) ||
        !parseNumber(words[7], 16, mask))
      continue;
    if (destination != 0 || mask != 0 || gateway == 0) continue;
    if ((flags & (routeUp | routeGateway)) != (routeUp | routeGateway)) continue;
    if (best == 0 || metric < bestMetric) {
      best = gateway;
      bestMetric = metric;
    }
  }
  return best;
}

std::uint32_t defaultGateway() {
  std::ifstream file("/proc/thread-self/net/route");
  if (!file) return 0;
  const std::string table((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  return defaultGatewayIn(table);
}

}  // namespace orvalis::net
