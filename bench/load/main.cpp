// orvalis-load: seeds a fresh database with many users, starts
// orvalis-server on it on loopback, and runs concurrent phones against it.
// Prints transactions per second and the p50 and p99 latency of each
// request. The test mix runs orvalis-bare-loop first and the server after
// it, with the same load, and prints how the two compare.

#include <arpa/inet.h>

#include <charconv>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>
#include <string_view>
#include <thread>
#include <vector>

#include "load/load_run.h"
#include "server/open_store.h"
#include "server/password_hash.h"
#include "server/sqlite_store.h"
#include "support/child_process.h"
#include "support/postgres_cluster.h"

namespace {

using namespace orvalis;
using Clock = std::chrono::steady_clock;

constexpr std::string_view usage =
    "usage: orvalis-load [--mix full|find|test] [--store sqlite|postgresql] [--users N]\n"
    "                    [--clients N] [--seconds N] [--db FILE] [--server PATH]\n"
    "  --mix      full: login, find, logout (default); find: one login, then finds;\n"
    "             test: the test request, to orvalis-bare-loop and then to the server\n"
    "  --store    sqlite (default), or postgresql: a throwaway cluster of its own\n"
    "  --users    registered users to seed (default 100000)\n"
    "  --clients  concurrent phones (default 32)\n"
    "  --seconds  length of the run (default 10)\n"
    "  --db       SQLite file to create (default a temporary file, removed after)\n"
    "  --server   the orvalis-server program to start\n";

struct Args {
  bench::Mix mix = bench::Mix::full;
  bool postgres = false;
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
    if (name == "--mix") {
      if (value == "full") args.mix = bench::Mix::full;
      else if (value == "find") args.mix = bench::Mix::find;
      else if (value == "test") args.mix = bench::Mix::test;
      else return false;
    } else if (name == "--store") {
      if (value != "sqlite" && value != "postgresql") return false;
      args.postgres = value == "postgresql";
    } else if (name == "--users") {
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

// Users firstNumber.. sharing one password and its hash: logging in costs
// what it costs any user, and a million users are stored in seconds.
std::vector<server::NewUser> users(std::int32_t firstNumber, int count,
                                   const std::string& password) {
  const server::PasswordHasher hasher(server::HashCost::min);
  const std::string hash = hasher.hash(password).value();
  std::vector<server::NewUser> rows(static_cast<std::size_t>(count));
  for (std::size_t i = 0; i < rows.size(); ++i) {
    rows[i] = {firstNumber + static_cast<std::int32_t>(i), hash};
  }
  return rows;
}

// Where the server keeps its users for the run, seeded; removed after.
class Database {
 public:
  Database(const Args& args, const bench::LoadSettings& load) {
    const int count = args.mix == bench::Mix::test ? 0 : args.users;
    if (args.postgres) {
      cluster_ = std::make_unique<testing::PostgresCluster>();
      if (!cluster_->ready()) throw std::runtime_error("PostgreSQL: " + cluster_->why());
      where_ = cluster_->createDatabase();
      const auto rows = users(load.firstNumber, 1, load.password);
      server::openUserStore(where_);  // makes the schema
      if (count > 0 &&
          !cluster_->sql(testing::PostgresCluster::nameOf(where_),
                         "INSERT INTO users SELECT n, '" + rows[0].passwordHash +
                             "' FROM generate_series(" + std::to_string(load.firstNumber) + ", " +
                             std::to_string(load.firstNumber + count - 1) + ") n")) {
        throw std::runtime_error("seeding failed");
      }
      return;
    }
    temporary_ = args.db.empty();
    where_ = temporary_ ? (std::filesystem::temp_directory_path() /
                           ("orvalis-load-" + std::to_string(::getpid()) + ".db"))
                              .string()
                        : args.db;
    removeFiles();
    server::SqliteStore store(where_);
    if (store.addUsers(users(load.firstNumber, count, load.password)) != server::StoreStatus::ok)
      throw std::runtime_error("seeding failed");
  }
  ~Database() {
    if (temporary_) removeFiles();
  }
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  const std::string& where() const { return where_; }

 private:
  void removeFiles() {
    for (const char* suffix : {"", "-wal", "-shm"}) std::filesystem::remove(where_ + suffix);
  }

  std::unique_ptr<testing::PostgresCluster> cluster_;
  std::string where_;
  bool temporary_ = false;
};

// Starts a program that prints "listening on PORT" and gives the port.
std::uint16_t started(testing::ChildProcess& program, const std::string& name) {
  const auto port = program.waitForLine("listening on ", std::chrono::seconds(30));
  if (!port) throw std::runtime_error(name + " did not start: " + program.errText());
  return static_cast<std::uint16_t>(std::stoi(*port));
}

void printResult(const bench::LoadResult& r) {
  bench::Latencies all;
  all.merge(r.login);
  all.merge(r.find);
  all.merge(r.logout);
  std::cout << bench::headerRow() << '\n';
  if (!r.login.micros.empty() || r.login.failures > 0)
    std::cout << bench::formatRow("login", bench::summarize(r.login, r.seconds)) << '\n';
  std::cout << bench::formatRow("find", bench::summarize(r.find, r.seconds)) << '\n';
  if (!r.logout.micros.empty() || r.logout.failures > 0)
    std::cout << bench::formatRow("logout", bench::summarize(r.logout, r.seconds)) << '\n';
  std::cout << bench::formatRow("all", bench::summarize(std::move(all), r.seconds)) << '\n';
}

// The test request to the bare loop, then to the server, and the ratio.
void compareWithBareLoop(bench::LoadSettings settings, std::uint16_t serverPort) {
  testing::ChildProcess bare(ORVALIS_BARE_LOOP_PATH, {});
  settings.port = started(bare, "orvalis-bare-loop");
  const auto bareRun = bench::summarize(bench::runLoad(settings).test,
                                        static_cast<double>(settings.duration.count()));
  bare.stop();
  settings.port = serverPort;
  const auto serverRun = bench::summarize(bench::runLoad(settings).test,
                                          static_cast<double>(settings.duration.count()));
  std::cout << bench::headerRow() << '\n'
            << bench::formatRow("bare", bareRun) << '\n'
            << bench::formatRow("server", serverRun) << '\n';
  std::printf("orvalis-server answers the test request at %.0f%% of the bare loop's rate\n",
              bareRun.perSecond > 0 ? 100 * serverRun.perSecond / bareRun.perSecond : 0.0);
}

}  // namespace

int main(int argc, char** argv) {
  Args args;
  if (!parseArgs(argc, argv, args)) {
    std::cerr << usage;
    return 2;
  }
  bench::LoadSettings settings;
  settings.mix = args.mix;
  settings.address = htonl(INADDR_LOOPBACK);
  settings.users = args.users;
  settings.clients = args.clients;
  settings.duration = std::chrono::seconds(args.seconds);
  settings.password = "loadtest";

  try {
    const auto seedStart = Clock::now();
    const Database db(args, settings);
    if (args.mix != bench::Mix::test) {
      std::printf("seeded %d users in %.1f s\n", args.users,
                  std::chrono::duration<double>(Clock::now() - seedStart).count());
    }
    testing::ChildProcess server(args.server, {"--port", "0", "--bind", "127.0.0.1", "--db",
                                               db.where(), "--quiet"});
    const std::uint16_t port = started(server, "the server");
    std::printf("%d clients for %d s against orvalis-server on 127.0.0.1:%u (%s, %u cores)\n",
                args.clients, args.seconds, port, args.postgres ? "PostgreSQL" : "SQLite",
                std::thread::hardware_concurrency());
    std::fflush(stdout);
    if (args.mix == bench::Mix::test) {
      compareWithBareLoop(settings, port);
    } else {
      settings.port = port;
      printResult(bench::runLoad(settings));
    }
  } catch (const std::exception& e) {
    std::cerr << "orvalis-load: " << e.what() << '\n';
    return 1;
  }
  return 0;
}
