// orvalis-server: the central server of the phones, a relay to it, and the
// administration of its user database.

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <variant>
#include <vector>

#include "server/admin.h"
#include "server/call_relay.h"
#include "server/open_store.h"
#include "server/options.h"
#include "server/password_hash.h"
#include "server/relay.h"
#include "server/request_handler.h"
#include "server/server.h"
#include "server/tls_identity.h"
#include "server/transaction_log.h"

namespace {

using namespace orvalis::server;

// Reads add-user's password from standard input; a terminal does not echo
// it. Nullopt, with the reason on standard error, when there is none.
std::optional<std::string> askPassword() {
  termios saved{};
  const bool terminal = ::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved) == 0;
  if (terminal) {
    termios quiet = saved;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
    std::cerr << "password: " << std::flush;
  }
  auto password = readPasswordLine(std::cin);
  if (terminal) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    std::cerr << '\n';
  }
  if (!password) std::cerr << "orvalis-server: no password of 1 to 19 bytes on standard input\n";
  return password;
}

void announce(std::uint16_t port) { std::cout << "listening on " << port << std::endl; }

ListenSettings listenSettings(const Options& o) {
  return {.address = o.bindAddress, .port = o.port, .maxConnections = o.maxConnections};
}

std::size_t workerCount(const Options& o) {
  if (o.threads > 0) return o.threads;
  return std::clamp<std::size_t>(std::thread::hardware_concurrency(), 2, 16);
}

// The TLS side: the administrator's pair, or one made on the first start.
// A pair named on the command line must load; a default one that cannot be
// made leaves the server plain, as it was before it spoke TLS.
std::shared_ptr<asio::ssl::context> tlsContext(const Options& o) {
  if (!o.tls) return nullptr;
  TlsFiles files = defaultTlsFiles(o.dbPath);
  const bool named = !o.tlsCertificate.empty() || !o.tlsKey.empty();
  if (named) {
    if (o.tlsCertificate.empty() || o.tlsKey.empty())
      throw std::runtime_error("--tls-cert and --tls-key go together");
    files = {o.tlsCertificate, o.tlsKey};
  } else if (const std::string error = makeSelfSignedUnlessPresent(files); !error.empty()) {
    std::cerr << "orvalis-server: no TLS: " << error << '\n';
    return nullptr;
  }
  return serverTlsContext(files);
}

int serve(const Options& o, TransactionLog& log) {
  const auto timeout = std::chrono::milliseconds(o.timeoutMs);
  const auto store = openUserStore(o.dbPath, storeWaitFor(timeout));
  const PasswordHasher hasher(o.hashCost);
  RequestHandler handler(*store, hasher, o.closed);
  std::unique_ptr<CallRelay> callRelay;
  if (o.callRelay) {
    const CallRelaySettings relaySettings{
        .listen = {.address = o.callRelayBind.value_or(o.bindAddress), .port = callRelayPortOf(o),
                   .maxConnections = o.maxConnections},
        .publicAddress = o.callRelayAddress,
        .maxCalls = o.maxRelayedCalls};
    try {
      callRelay = std::make_unique<CallRelay>(relaySettings, *store, log);
    } catch (const std::system_error& e) {
      // Asked for by name, it must be there; by default, the server still
      // serves without it.
      if (o.callRelayPort) throw;
      std::cerr << "orvalis-server: no call relay on port " << relaySettings.listen.port << ": "
                << e.what() << '\n';
    }
  }
  if (callRelay) {
    handler.offerCallRelay(o.callRelayAddress, callRelay->port());
    std::cout << "call relay on " << callRelay->port() << std::endl;
  }
  const ServerSettings settings{.listen = listenSettings(o),
                                .timeout = timeout,
                                .workers = workerCount(o),
                                .trustedProxies = o.trustedProxies,
                                .tls = tlsContext(o)};
  Server server(settings, handler, log);
  // Both stop on the same signal.
  std::thread relaying;
  if (callRelay) relaying = std::thread([&] { callRelay->run(); });
  announce(server.port());
  server.run();
  if (relaying.joinable()) relaying.join();
  return 0;
}

int relay(const Options& o, TransactionLog& log) {
  const RelaySettings settings{.listen = listenSettings(o),
                               .targetAddress = o.relayAddress,
                               .targetPort = o.relayPort,
                               .idleTimeout = std::chrono::milliseconds(o.timeoutMs)};
  Relay relay(settings, log);
  announce(relay.port());
  relay.run();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string_view> args(argv + 1, argv + argc);
  const ParseResult parsed = parseOptions(args);
  if (const auto* error = std::get_if<std::string>(&parsed)) {
    std::cerr << "orvalis-server: " << *error << "\n(see orvalis-server --help)\n";
    return 2;
  }
  const Options& o = std::get<Options>(parsed);
  if (o.command == Command::help) {
    std::cout << usageText();
    return 0;
  }
  // A peer that goes away mid-write is an error code, not a fatal signal.
  ::signal(SIGPIPE, SIG_IGN);
  try {
    if (o.command == Command::serve || o.command == Command::relay) {
      raiseFileLimit();
      TransactionLog log(STDERR_FILENO, o.quiet);
      return o.command == Command::serve ? serve(o, log) : relay(o, log);
    }
    Options admin = o;
    if (admin.passwordFromInput) {
      auto password = askPassword();
      if (!password) return 2;
      admin.password = std::move(*password);
    }
    const auto store = openUserStore(admin.dbPath);
    const PasswordHasher hasher(admin.hashCost);
    return runAdminCommand(admin, *store, hasher, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "orvalis-server: " << e.what() << '\n';
    return 1;
  }
}
