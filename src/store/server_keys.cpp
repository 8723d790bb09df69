#include "store/server_keys.h"

#include <arpa/inet.h>

#include <charconv>
#include <span>

#include "store/atomic_file.h"
#include "store/regular_file.h"

namespace orvalis::store {

namespace {

constexpr std::size_t maxFileBytes = 1 << 20;

std::optional<ServerId> parseServer(std::string_view text) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos) return std::nullopt;
  in_addr address{};
  const std::string host(text.substr(0, colon));
  if (::inet_pton(AF_INET, host.c_str(), &address) != 1) return std::nullopt;
  unsigned port = 0;
  const std::string_view digits = text.substr(colon + 1);
  const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), port);
  if (ec != std::errc{} || end != digits.data() + digits.size() || port == 0 || port > 65535)
    return std::nullopt;
  return ServerId{address.s_addr, static_cast<std::uint16_t>(port)};
}

}  // namespace

std::string pinText(const KeyPin& pin) {
  static constexpr char digits[] = "0123456789abcdef";
  std::string out;
  for (const std::uint8_t b : pin) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

std::optional<KeyPin> parsePin(std::string_view text) {
  if (text.size() != 64) return std::nullopt;
  KeyPin pin{};
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    int v = -1;
    if (c >= '0' && c <= '9') v = c - '0';
    if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    if (v < 0) return std::nullopt;
    pin[i / 2] = static_cast<std::uint8_t>(pin[i / 2] << 4 | v);
  }
  return pin;
}

PinMap parseServerKeys(std::string_view text) {
  PinMap pins;
  while (!text.empty()) {
    const std::size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
    if (line.ends_with('\r')) line.remove_suffix(1);
    const std::size_t space = line.find(' ');
    if (space == std::string_view::npos) continue;
    const auto server = parseServer(line.substr(0, space));
    const auto pin = parsePin(line.substr(space + 1));
    if (server && pin) pins[*server] = *pin;
  }
  return pins;
}

std::string formatServerKeys(const PinMap& pins) {
  std::string out;
  for (const auto& [server, pin] : pins) {
    char host[INET_ADDRSTRLEN] = {};
    in_addr address{server.first};
    ::inet_ntop(AF_INET, &address, host, sizeof host);
    out += std::string(host) + ":" + std::to_string(server.second) + " " + pinText(pin) + "\n";
  }
  return out;
}

ServerKeys::ServerKeys(std::string path) : path_(std::move(path)) {
  const FileBytes file = readRegularFile(path_, maxFileBytes);
  if (file.status == FileRead::ok) pins_ = parseServerKeys(file.bytes);
}

std::optional<KeyPin> ServerKeys::find(const ServerId& server) const {
  std::lock_guard guard(lock_);
  const auto it = pins_.find(server);
  if (it == pins_.end()) return std::nullopt;
  return it->second;
}

bool ServerKeys::remember(const ServerId& server, const KeyPin& pin) {
  std::lock_guard guard(lock_);
  // A pin never changes but by the user's forget.
  plain_.erase(server);
  if (!pins_.try_emplace(server, pin).second) return true;
  return save();
}

bool ServerKeys::forget(const ServerId& server) {
  std::lock_guard guard(lock_);
  if (pins_.erase(server) == 0) return true;
  return save();
}

void ServerKeys::markPlain(const ServerId& server) {
  std::lock_guard guard(lock_);
  plain_[server] = std::chrono::steady_clock::now();
}

bool ServerKeys::recentlyPlain(const ServerId& server) const {
  std::lock_guard guard(lock_);
  const auto it = plain_.find(server);
  return it != plain_.end() && std::chrono::steady_clock::now() - it->second < plainRetry;
}

bool ServerKeys::save() const {
  const std::string text = formatServerKeys(pins_);
  return writeFileAtomically(
      path_, std::span(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()), 0600);
}

}  // namespace orvalis::store
