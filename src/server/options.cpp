#include "server/options.h"

#include <arpa/inet.h>

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <vector>

namespace orvalis::server {

namespace {

constexpr std::string_view usage =
    "usage: orvalis-server [OPTIONS]                 serve accounts\n"
    "       orvalis-server --relay HOST:PORT [OPTIONS] forward connections\n"
    "       orvalis-server [OPTIONS] add-user NUMBER [PASSWORD]\n"
    "       orvalis-server [OPTIONS] delete-user NUMBER\n"
    "       orvalis-server [OPTIONS] list-users\n"
    "\n"
    "Serves registration, login and user look-up to the phones on one TCP\n"
    "port, as framed messages or as HTTP GET requests from an HTTP proxy.\n"
    "Prints \"call relay on PORT\" and then \"listening on PORT\" once it accepts\n"
    "connections; SIGINT or\n"
    "SIGTERM stop it.\n"
    "\n"
    "Options:\n"
    "  --port N              TCP port to listen on (default 3393; 0: any free)\n"
    "  --bind ADDR           IPv4 address to listen on (default 0.0.0.0)\n"
    "  --db FILE|URI         user database: a SQLite file (default orvalis.db)\n"
    "                        or postgresql://USER@HOST:PORT/DBNAME, which\n"
    "                        several servers can share\n"
    "  --relay HOST:PORT     relay mode: forward every connection to this\n"
    "                        numeric IPv4 address and port; no database\n"
    "  --hash-cost COST      password hash cost: min, interactive (default)\n"
    "                        or moderate\n"
    "  --closed              refuse self-registration (use add-user)\n"
    "  --timeout-ms N        drop a connection idle this long (default 10000)\n"
    "  --max-connections N   close new connections beyond N open (default 10000)\n"
    "  --threads N           threads hashing passwords (default: processors)\n"
    "  --quiet               no transaction log on standard error\n"
    "  --call-relay-port N   port of the call relay, through which phones that\n"
    "                        cannot be reached otherwise take calls (default:\n"
    "                        the server's port + 1; 0: any free)\n"
    "  --call-relay-address ADDR  public IPv4 address announced for the call\n"
    "                        relay (default: the one each phone reached)\n"
    "  --call-relay-bind ADDR  IPv4 address the call relay listens on (default:\n"
    "                        that of --bind)\n"
    "  --max-relayed-calls N calls the relay carries at once (default 500)\n"
    "  --no-call-relay       no call relay\n"
    "  --trusted-proxy ADDR  take the PROXY protocol (version 2) header that a\n"
    "                        load balancer at this IPv4 address sends, and\n"
    "                        treat the phone's address in it as the peer;\n"
    "                        may be given more than once\n"
    "  --tls-cert FILE       certificate (PEM) for phones that speak TLS on the\n"
    "                        same port (default: server-tls.crt beside the\n"
    "                        SQLite database, or in the working directory;\n"
    "                        made, self-signed, on the first start)\n"
    "  --tls-key FILE        its private key (default: server-tls.key there)\n"
    "  --no-tls              plain connections only\n"
    "  --help                this text\n"
    "\n"
    "Commands (run on the --db database, then exit):\n"
    "  add-user NUMBER [PASSWORD]  create an account (NUMBER: 9 digits,\n"
    "                            PASSWORD: 1 to 19 bytes; without it, one\n"
    "                            line read from standard input, not echoed)\n"
    "  delete-user NUMBER        remove an account and its session\n"
    "  list-users                one line per account: the number, and\n"
    "                            ADDRESS:PORT when logged in\n"
    "\n"
    "Exit status: 0 done, 1 failure, 2 bad command line.\n";

template <class T>
std::optional<T> parseNumber(std::string_view text, T low, T high) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc{} || end != text.data() + text.size() || value < low || value > high) {
    return std::nullopt;
  }
  return value;
}

std::optional<HashCost> parseCost(std::string_view text) {
  if (text == "min") return HashCost::min;
  if (text == "interactive") return HashCost::interactive;
  if (text == "moderate") return HashCost::moderate;
  return std::nullopt;
}

// Checks the positional words against the command they start.
std::optional<std::string> takeCommand(std::span<const std::string_view> words, Options& o) {
  const std::string_view name = words[0];
  const std::size_t given = words.size() - 1;
  auto wantArgs = [&](std::size_t n) -> std::optional<std::string> {
    if (given != n) return std::string(name) + " takes " + std::to_string(n) + " argument(s)";
    return std::nullopt;
  };
  auto takeNumber = [&]() -> std::optional<std::string> {
    const auto n = parseNumber<std::int32_t>(words[1], minNumber, maxNumber);
    if (!n) return "not a 9-digit number: " + std::string(words[1]);
    o.number = *n;
    return std::nullopt;
  };
  if (name == "add-user") {
    o.command = Command::addUser;
    // The password may stay off the command line, where ps and the shell
    // history would show it; it is then read from standard input.
    if (given != 1 && given != 2) return std::string("add-user takes 1 or 2 argument(s)");
    if (auto e = takeNumber()) return e;
    if (given == 1) {
      o.passwordFromInput = true;
      return std::nullopt;
    }
    if (!validPassword(words[2])) return std::string("password must be 1 to 19 bytes");
    o.password = words[2];
    return std::nullopt;
  }
  if (name == "delete-user") {
    o.command = Command::deleteUser;
    if (auto e = wantArgs(1)) return e;
    return takeNumber();
  }
  if (name == "list-users") {
    o.command = Command::listUsers;
    return wantArgs(0);
  }
  return "unknown command: " + std::string(name);
}

}  // namespace

bool parseIpv4(std::string_view text, std::uint32_t& address) {
  const std::string copy(text);
  in_addr a{};
  if (::inet_pton(AF_INET, copy.c_str(), &a) != 1) return false;
  address = a.s_addr;
  return true;
}

std::string_view usageText() { return usage; }

std::uint16_t callRelayPortOf(const Options& o) {
  if (o.callRelayPort) return *o.callRelayPort;
  return o.port == 0 || o.port == 65535 ? 0 : static_cast<std::uint16_t>(o.port + 1);
}

ParseResult parseOptions(std::span<const std::string_view> args) {
  Options o;
  std::vector<std::string_view> words;
  bool relay = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string_view arg = args[i];
    if (arg == "--help" || arg == "-h") {
      o.command = Command::help;
      return o;
    }
    if (arg == "--closed") {
      o.closed = true;
      continue;
    }
    if (arg == "--quiet") {
      o.quiet = true;
      continue;
    }
    if (arg == "--no-call-relay") {
      o.callRelay = false;
      continue;
    }
    if (arg == "--no-tls") {
      o.tls = false;
      continue;
    }
    if (!arg.starts_with("--")) {
      words.push_back(arg);
      continue;
    }
    constexpr std::array valued{
        "--port",   "--bind", "--db", "--relay", "--hash-cost", "--timeout-ms", "--max-connections",
        "--threads", "--call-relay-port", "--call-relay-address", "--max-relayed-calls", "--call-relay-bind",
        "--trusted-proxy", "--tls-cert", "--tls-key"};
    if (std::find(valued.begin(), valued.end(), arg) == valued.end()) {
      return "unknown option: " + std::string(arg);
    }
    if (i + 1 >= args.size()) return std::string(arg) + " needs a value";
    const std::string_view value = args[++i];
    const std::string bad = "bad value for " + std::string(arg) + ": " + std::string(value);
    if (arg == "--port") {
      const auto n = parseNumber<std::uint16_t>(value, 0, 65535);
      if (!n) return bad;
      o.port = *n;
    } else if (arg == "--bind") {
      if (!parseIpv4(value, o.bindAddress)) return bad;
    } else if (arg == "--db") {
      if (value.empty()) return bad;
      o.dbPath = value;
    } else if (arg == "--relay") {
      const std::size_t colon = value.rfind(':');
      if (colon == std::string_view::npos || !parseIpv4(value.substr(0, colon), o.relayAddress))
        return bad;
      const auto n = parseNumber<std::uint16_t>(value.substr(colon + 1), 1, 65535);
      if (!n) return bad;
      o.relayPort = *n;
      relay = true;
    } else if (arg == "--hash-cost") {
      const auto cost = parseCost(value);
      if (!cost) return bad;
      o.hashCost = *cost;
    } else if (arg == "--timeout-ms") {
      const auto n = parseNumber<std::uint32_t>(value, 1, 3'600'000);
      if (!n) return bad;
      o.timeoutMs = *n;
    } else if (arg == "--max-connections") {
      const auto n = parseNumber<std::uint32_t>(value, 1, 1'000'000);
      if (!n) return bad;
      o.maxConnections = *n;
    } else if (arg == "--call-relay-port") {
      const auto n = parseNumber<std::uint16_t>(value, 0, 65535);
      if (!n) return bad;
      o.callRelayPort = *n;
    } else if (arg == "--call-relay-address") {
      if (!parseIpv4(value, o.callRelayAddress) || o.callRelayAddress == 0) return bad;
    } else if (arg == "--call-relay-bind") {
      std::uint32_t address = 0;
      if (!parseIpv4(value, address)) return bad;
      o.callRelayBind = address;
    } else if (arg == "--tls-cert" || arg == "--tls-key") {
      if (value.empty()) return bad;
      (arg == "--tls-cert" ? o.tlsCertificate : o.tlsKey) = value;
    } else if (arg == "--trusted-proxy") {
      std::uint32_t address = 0;
      if (!parseIpv4(value, address) || address == 0) return bad;
      o.trustedProxies.push_back(address);
    } else if (arg == "--max-relayed-calls") {
      const auto n = parseNumber<std::uint32_t>(value, 1, 1'000'000);
      if (!n) return bad;
      o.maxRelayedCalls = *n;
    } else if (arg == "--threads") {
      const auto n = parseNumber<std::uint32_t>(value, 1, 256);
      if (!n) return bad;
      o.threads = *n;
    }
  }
  if (!words.empty()) {
    if (relay) return std::string("--relay takes no command");
    if (auto error = takeCommand(words, o)) return *error;
  } else if (relay) {
    o.command = Command::relay;
  }
  return o;
}

}  // namespace orvalis::server
