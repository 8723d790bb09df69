// orvalis-load: seeds a fresh database with many users, starts
// orvalis-server on it on loopback, and runs concurrent phones doing login,
// find and logout against it. Prints transactions per second and the p50
// and p99 latency of each request.

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <thread>
#include <vector>

#include "load/load_run.h"
#include "server/password_hash.h"
#include "server/sqlite_store.h"
#include "support/child_process.h"

namespace {

using namespace orvalis;
using Clock = std::chrono::steady_clock;

constexpr std::string_view usage =
    "usage: orvalis-load [--users N] [--clients N] [--seconds N] [--db FILE] [--server PATH]\n"
    "  --users    registered users to seed (default 100000)\n"
    "  --clients  concurrent phones (default 32)\n"
    "  --seconds  length of the run (default 10)\n"
    "  --db       database file to create (default a temporary file, removed after)\n"
    "  --server   the orvalis-server program to start\n";

struct Args {
  int users = 100000;
  int clients = 32;
  int seconds = 10;
  std::string db;
  std::string server = ORVALIS_SERVER_PATH;
};

bool parseInt(std::string_view text, int& out) {
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return ec == std::errc() && end == text.data() + text.size() && out > 0;
}

bool parseArgs(int argc, char** argv, Args& args) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view name = argv[i];
    if (i + 1 >= argc) return false;
    const std::string_view value = argv[++i];
    if (name == "--users") {
      if (!parseInt(value, args.users)) return false;
    } else if (name == "--clients") {
      if (!parseInt(value, args.clients)) return false;
    } else if (name == "--seconds") {
      if (!parseInt(value, args.seconds)) return false;
    } else if (name == "--db") {
      args.db = value;
    } else if (name == "--server") {
      args.server = value;
    } else {
      return false;
    }
  }
  return args.clients <= args.users;
}

// Users firstNumber.. with one password, hashed at the cheapest cost on
// every core, stored in one transaction.
void seed(const std::string& db, std::int32_t firstNumber, int users, const std::string& password) {
  const server::PasswordHasher hasher(server::HashCost::min);
  std::vector<server::NewUser> rows(static_cast<std::size_t>(users));
  const unsigned workers = std::max(1u, std::thread::hardware_concurrency());
  {
    std::vector<std::jthread> threads;
    for (unsigned w = 0; w < workers; ++w) {
      threads.emplace_back([&, w] {
        for (std::size_t i = w; i < rows.size(); i += workers) {
          rows[i].number = firstNumber + static_cast<std::int32_t>(i);
          rows[i].passwordHash = hasher.hash(password).value();
        }
      });
    }
  }
  server::SqliteStore store(db);
  if (store.addUsers(rows) != server::StoreStatus::ok) throw std::runtime_error("seeding failed");
}

void printResult(const bench::LoadResult& r) {
  bench::Latencies all;
  all.merge(r.login);
  all.merge(r.find);
  all.merge(r.logout);
  std::cout << bench::headerRow() << '\n'
            << bench::formatRow("login", bench::summarize(r.login, r.seconds)) << '\n'
            << bench::formatRow("find", bench::summarize(r.find, r.seconds)) << '\n'
            << bench::formatRow("logout", bench::summarize(r.logout, r.seconds)) << '\n'
            << bench::formatRow("all", bench::summarize(std::move(all), r.seconds)) << '\n';
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!parseArgs(argc, argv, args)) {
    std::cerr << usage;
    return 2;
  }
  const bool temporary = args.db.empty();
  if (temporary) {
    args.db = (std::filesystem::temp_directory_path() /
               ("orvalis-load-" + std::to_string(::getpid()) + ".db"))
                  .string();
  }
  for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(args.db + suffix);

  bench::LoadSettings settings;
  settings.address = htonl(INADDR_LOOPBACK);
  settings.users = args.users;
  settings.clients = args.clients;
  settings.duration = std::chrono::seconds(args.seconds);
  settings.password = "loadtest";

  try {
    const auto seedStart = Clock::now();
    seed(args.db, settings.firstNumber, args.users, settings.password);
    std::printf("seeded %d users in %.1f s\n", args.users,
                std::chrono::duration<double>(Clock::now() - seedStart).count());

    testing::ChildProcess server(args.server, {"--port", "0", "--bind", "127.0.0.1", "--db",
                                               args.db, "--quiet"});
    const auto port = server.waitForLine("listening on ", std::chrono::seconds(30));
    if (!port) throw std::runtime_error("the server did not start: " + server.errText());
    settings.port = static_cast<std::uint16_t>(std::stoi(*port));

    std::printf("%d clients for %d s against orvalis-server on 127.0.0.1:%u (%u cores)\n",
                args.clients, args.seconds, settings.port, std::thread::hardware_concurrency());
    std::fflush(stdout);
    printResult(bench::runLoad(settings));
  } catch (const std::exception& e) {
    std::cerr << "orvalis-load: " << e.what() << '\n';
    return 1;
  }
  if (temporary) {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(args.db + suffix);
  }
  return 0;
}
