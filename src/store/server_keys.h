#pragma once
// The servers' public keys as the phone first met them over TLS, kept in
// the file "server-keys" beside the settings: one line per server,
// "ADDRESS:PORT HEX", the hex being the SHA-256 of the server's public key.
// A server found here is spoken to over TLS only, and only with that key.

#include <array>
#include <chrono>
#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

namespace orvalis::store {

using KeyPin = std::array<std::uint8_t, 32>;

// Lowercase hex of a pin, and back; nullopt for anything else.
std::string pinText(const KeyPin& pin);
std::optional<KeyPin> parsePin(std::string_view text);

// A server as the settings name it: address in network order, port.
using ServerId = std::pair<std::uint32_t, std::uint16_t>;
using PinMap = std::map<ServerId, KeyPin>;

// The file's text, and back; lines that do not read are skipped.
PinMap parseServerKeys(std::string_view text);
std::string formatServerKeys(const PinMap& pins);

// The file, read when made and rewritten on each change; shared by the
// phone's transaction threads.
class ServerKeys {
 public:
  explicit ServerKeys(std::string path);
  std::optional<KeyPin> find(const ServerId& server) const;
  // Pins a server met for the first time; false when the file could not be
  // written (the pin holds for this run all the same).
  bool remember(const ServerId& server, const KeyPin& pin);
  // The user's choice, after a server's key has changed for good reason.
  bool forget(const ServerId& server);

  // A server without a pin that refused TLS and then answered in plain is
  // asked in plain for a while, rather than with a handshake it logs as
  // garbage each time; then TLS is tried again, in case it was upgraded.
  void markPlain(const ServerId& server);
  bool recentlyPlain(const ServerId& server) const;
  static constexpr std::chrono::minutes plainRetry{10};

 private:
  bool save() const;  // under lock_

  const std::string path_;
  mutable std::mutex lock_;
  PinMap pins_;  // guarded by lock_
  std::map<ServerId, std::chrono::steady_clock::time_point> plain_;  // guarded by lock_; not saved
};

}  // namespace orvalis::store
