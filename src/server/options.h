#pragma once
// Command line of orvalis-server: the serving and relay modes, the
// administration commands and their options. Parsing is a pure function so
// that every rule can be tested without starting anything.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace orvalis::server {

enum class Command { serve, relay, addUser, deleteUser, listUsers, help };
enum class HashCost { min, interactive, moderate };

struct Options {
  Command command = Command::serve;
  std::uint16_t port = 3393;
  std::uint32_t bindAddress = 0;  // network order; 0.0.0.0
  std::string dbPath = "orvalis.db";
  std::uint32_t relayAddress = 0;  // network order
  std::uint16_t relayPort = 0;
  HashCost hashCost = HashCost::interactive;
  bool closed = false;  // self-registration refused
  std::uint32_t timeoutMs = 10'000;
  std::uint32_t maxConnections = 10'000;
  std::uint32_t threads = 0;  // workers; 0 picks from the processor count
  bool quiet = false;
  // The call relay of serve mode: on by default, on the port after the
  // server's (any free one when that is 0).
  bool callRelay = true;
  std::optional<std::uint16_t> callRelayPort;
  std::uint32_t callRelayAddress = 0;  // network order; 0: where phones reach the server
  std::optional<std::uint32_t> callRelayBind;  // network order; unset: as --bind
  std::uint32_t maxRelayedCalls = 500;
  // Load balancers whose connections start with a PROXY protocol header
  // naming the phone's own address (network order).
  std::vector<std::uint32_t> trustedProxies;
  // TLS beside the plain protocol: this pair, or one made beside the
  // database on the first start.
  bool tls = true;
  std::string tlsCertificate, tlsKey;
  std::int32_t number = 0;  // add-user, delete-user
  std::string password;     // add-user
  bool passwordFromInput = false;  // add-user without PASSWORD: read from stdin
};

// The options, or the text of the first error found.
using ParseResult = std::variant<Options, std::string>;
ParseResult parseOptions(std::span<const std::string_view> args);

// The call relay's port for these options: given, or the server's + 1.
std::uint16_t callRelayPortOf(const Options& o);

// The --help text.
std::string_view usageText();

// A dotted IPv4 address in network order; false when it is not one.
bool parseIpv4(std::string_view text, std::uint32_t& address);

inline constexpr std::int32_t minNumber = 100'000'000;
inline constexpr std::int32_t maxNumber = 999'999'999;
inline bool validNumber(std::int64_t n) { return n >= minNumber && n <= maxNumber; }
inline bool validPassword(std::string_view p) { return !p.empty() && p.size() <= 19; }

}  // namespace orvalis::server
