// Several orvalis-server processes on one PostgreSQL database: the
// administration commands, accounts and tickets honoured by every server, a
// registration race on one number through two of them, a database that
// restarts under load while the servers keep running, and the shipped
// HAProxy configuration in front of two of them.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "net/message_codes.h"
#include "net/requests.h"
#include "net/socket.h"
#include "server/wire_client.h"
#include "support/child_process.h"
#include "support/postgres_test.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

using namespace std::chrono_literals;
using orvalis::testing::ChildProcess;
using testing::exchange;
using testing::packet;

constexpr std::int32_t alice = 200000001;
constexpr std::int32_t bob = 200000002;
const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

std::int16_t transact(std::uint16_t port, std::int16_t code,
                      std::span<const std::uint8_t> payload = {},
                      std::optional<net::CPacket>* answer = nullptr) {
  auto got = exchange(port, packet(code, payload));
  const std::int16_t result = got ? got->code : 0;
  if (answer != nullptr) *answer = std::move(got);
  return result;
}

struct Instance {
  std::unique_ptr<ChildProcess> process;
  std::uint16_t port = 0;
};

class SharedDatabase : public orvalis::testing::PostgresTest {
 protected:

  Instance start(std::vector<std::string> more = {}, const std::string& db = {}) const {
    Instance out;
    std::vector<std::string> args{"--port",      "0",   "--bind", "127.0.0.1", "--db",
                                  db.empty() ? db_ : db, "--hash-cost", "min", "--quiet"};
    args.insert(args.end(), more.begin(), more.end());
    // The working directory keeps the TLS pair of a server on PostgreSQL.
    out.process = std::make_unique<ChildProcess>(ORVALIS_SERVER_PATH, args, dir_.path().string());
    const auto line = out.process->waitForLine("listening on ", 10s);
    if (!line) throw std::runtime_error("no port announced: " + out.process->errText());
    out.port = static_cast<std::uint16_t>(std::stoi(*line));
    return out;
  }
  orvalis::testing::RunResult admin(std::vector<std::string> args,
                                    const std::string& db = {}) const {
    args.insert(args.begin(), {"--db", db.empty() ? db_ : db, "--hash-cost", "min"});
    return orvalis::testing::runProgram(ORVALIS_SERVER_PATH, args, dir_.path().string(), "");
  }
  net::Ticket login(std::uint16_t port, std::int32_t number, const char* password,
                    std::uint16_t phonePort) const {
    std::optional<net::CPacket> answer;
    EXPECT_EQ(transact(port, net::reqLogin,
                       net::loginPayload(number, password, loopback, phonePort), &answer),
              net::ansLoggedIn);
    return answer ? net::parseTicket(*answer) : net::Ticket{};
  }

  orvalis::testing::TempDir dir_;
};

TEST_F(SharedDatabase, AdministrationCommands) {
  EXPECT_EQ(admin({"add-user", "200000001", "alice1"}).exitStatus, 0);
  EXPECT_EQ(admin({"add-user", "200000002", "bobby1"}).exitStatus, 0);
  EXPECT_EQ(admin({"add-user", "200000001", "again"}).exitStatus, 1);
  EXPECT_EQ(admin({"delete-user", "300000000"}).exitStatus, 1);

  Instance server = start();
  login(server.port, bob, "bobby1", 7000);
  EXPECT_EQ(admin({"list-users"}).out, "200000001\n200000002 127.0.0.1:7000\n");
  EXPECT_EQ(admin({"delete-user", "200000002"}).exitStatus, 0);
  EXPECT_EQ(transact(server.port, net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 7000)),
            net::ansFailed);
  EXPECT_EQ(admin({"list-users"}).out, "200000001\n");
  EXPECT_EQ(server.process->stop(), 0);

  EXPECT_EQ(admin({"list-users"}, cluster().uri("missing")).exitStatus, 1);
}

// A phone logged in through one server is found through the other, and a
// ticket either one issued is honoured by both.
TEST_F(SharedDatabase, TwoServersShareAccountsAndTickets) {
  Instance one = start(), two = start();
  EXPECT_EQ(transact(one.port, net::reqRegister, net::registerPayload(alice, "alice1")),
            net::ansDone);
  EXPECT_EQ(transact(two.port, net::reqRegister, net::registerPayload(bob, "bobby1")),
            net::ansDone);
  EXPECT_EQ(transact(one.port, net::reqRegister, net::registerPayload(bob, "x")),
            net::ansNumberDuplicate);

  const net::Ticket a = login(one.port, alice, "alice1", 5001);
  const net::Ticket b = login(two.port, bob, "bobby1", 5002);
  std::optional<net::CPacket> found;
  ASSERT_EQ(transact(two.port, net::reqFindUser, net::findUserPayload(a, bob), &found),
            net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*found).port, 5002);
  ASSERT_EQ(transact(one.port, net::reqFindUser, net::findUserPayload(b, alice), &found),
            net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*found).port, 5001);

  EXPECT_EQ(transact(two.port, net::reqLogout, a), net::ansDone);
  EXPECT_EQ(transact(one.port, net::reqFindUser, net::findUserPayload(b, alice)),
            net::ansUserOffline);
  EXPECT_EQ(transact(one.port, net::reqFindUser, net::findUserPayload(a, bob)), net::ansFailed);
  EXPECT_EQ(one.process->stop(), 0);
  EXPECT_EQ(two.process->stop(), 0);
}

TEST_F(SharedDatabase, RegistrationRaceThroughTwoServersHasOneWinner) {
  Instance one = start(), two = start();
  for (std::int32_t number = 500000000; number < 500000010; ++number) {
    std::atomic<int> done{0}, taken{0};
    std::vector<std::thread> racers;
    for (int i = 0; i < 6; ++i) {
      racers.emplace_back([&, i] {
        const std::string password = "pw" + std::to_string(i);
        const auto code = transact(i % 2 == 0 ? one.port : two.port, net::reqRegister,
                                   net::registerPayload(number, password));
        done += code == net::ansDone;
        taken += code == net::ansNumberDuplicate;
      });
    }
    for (auto& r : racers) r.join();
    EXPECT_EQ(done.load(), 1) << number;
    EXPECT_EQ(taken.load(), 5) << number;
  }
  EXPECT_EQ(one.process->stop(), 0);
  EXPECT_EQ(two.process->stop(), 0);
}

// Find requests in a loop through each server until finished; whatever
// way the test ends, the threads are joined.
class FindLoad {
 public:
  FindLoad(std::vector<std::uint16_t> ports, const net::Ticket& ticket, std::int32_t target) {
    for (const std::uint16_t port : ports) {
      threads_.emplace_back([this, port, ticket, target] {
        while (!stop_) {
          const auto began = std::chrono::steady_clock::now();
          const auto code = transact(port, net::reqFindUser, net::findUserPayload(ticket, target));
          const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - began)
                              .count();
          if (ms > slowestMs_) slowestMs_ = ms;
          (code == net::ansUserFound || code == net::ansFailed ? answered_ : unanswered_)++;
          // Steady, not flat out: the database must get the processor to restart.
          std::this_thread::sleep_for(2ms);
        }
      });
    }
  }
  ~FindLoad() { finish(); }
  FindLoad(const FindLoad&) = delete;
  FindLoad& operator=(const FindLoad&) = delete;

  // True when more answers came within a generous limit.
  bool answers(int more) const {
    const int target = answered_ + more;
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (answered_ < target && std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(10ms);
    return answered_ >= target;
  }
  void finish() {
    stop_ = true;
    for (auto& t : threads_)
      if (t.joinable()) t.join();
  }
  int unanswered() const { return unanswered_; }
  std::int64_t slowestMs() const { return slowestMs_; }

 private:
  std::atomic<bool> stop_{false};
  std::atomic<int> answered_{0}, unanswered_{0};
  std::atomic<std::int64_t> slowestMs_{0};
  std::vector<std::thread> threads_;
};

// While the database is down every request is answered, with a failure, at
// once; once it is back the same servers answer as before.
TEST_F(SharedDatabase, DatabaseRestartUnderLoad) {
  Instance one = start(), two = start();
  ASSERT_EQ(transact(one.port, net::reqRegister, net::registerPayload(alice, "alice1")),
            net::ansDone);
  const net::Ticket a = login(two.port, alice, "alice1", 5001);

  FindLoad load({one.port, two.port}, a, alice);
  EXPECT_TRUE(load.answers(20));
  ASSERT_TRUE(cluster().stopServer());
  EXPECT_TRUE(load.answers(50));
  // Down: both servers fail the request without waiting.
  EXPECT_EQ(transact(one.port, net::reqFindUser, net::findUserPayload(a, alice)), net::ansFailed);
  EXPECT_EQ(transact(two.port, net::reqFindUser, net::findUserPayload(a, alice)), net::ansFailed);

  ASSERT_TRUE(cluster().startServer()) << cluster().lastLogLine();
  for (const std::uint16_t port : {one.port, two.port}) {
    const auto limit = std::chrono::steady_clock::now() + 20s;
    while (transact(port, net::reqFindUser, net::findUserPayload(a, alice)) != net::ansUserFound &&
           std::chrono::steady_clock::now() < limit)
      std::this_thread::sleep_for(20ms);
    EXPECT_EQ(transact(port, net::reqFindUser, net::findUserPayload(a, alice)), net::ansUserFound);
  }
  load.finish();
  EXPECT_EQ(load.unanswered(), 0);
  // Well under a connect timeout: nothing waited for the database.
  EXPECT_LT(load.slowestMs(), 2000);
  EXPECT_EQ(one.process->stop(), 0) << one.process->errText();
  EXPECT_EQ(two.process->stop(), 0) << two.process->errText();
}

// The status line of the answer to GET /health, or "" when none came.
std::string health(std::uint16_t port) {
  testing::WireClient client(port);
  if (!client.connected() || !client.send("GET /health HTTP/1.0\r\n\r\n")) return {};
  const auto bytes = client.readToEnd();
  if (!bytes) return {};
  const std::string text(bytes->begin(), bytes->end());
  return text.substr(0, text.find("\r\n"));
}

// A table locked by another session: every request still gets an answer
// within the server's deadline, a failure rather than a silent close, and
// the health check says so until the lock goes.
TEST_F(SharedDatabase, LockedTableAnswersWithinTheDeadline) {
  Instance server = start({"--timeout-ms", "2000"});
  ASSERT_EQ(transact(server.port, net::reqRegister, net::registerPayload(alice, "alice1")),
            net::ansDone);
  const net::Ticket a = login(server.port, alice, "alice1", 5001);
  EXPECT_EQ(health(server.port), "HTTP/1.0 200 OK");

  auto locker = std::make_unique<ChildProcess>(
      "psql", std::vector<std::string>{"-qAt", "-c", "BEGIN", "-c",
                                       "LOCK TABLE sessions IN ACCESS EXCLUSIVE MODE", "-c",
                                       "SELECT 'locked'", "-c", "SELECT pg_sleep(120)", db_});
  ASSERT_TRUE(locker->waitForLine("locked", 10s)) << locker->errText();

  std::vector<std::thread> requests;
  std::atomic<int> failed{0}, slow{0};
  for (int i = 0; i < 5; ++i) {
    requests.emplace_back([&, i] {
      const auto began = std::chrono::steady_clock::now();
      const auto code =
          i == 0 ? transact(server.port, net::reqLogin,
                            net::loginPayload(alice, "alice1", loopback, 5001))
                 : transact(server.port, net::reqFindUser, net::findUserPayload(a, alice));
      failed += code == net::ansFailed;
      slow += std::chrono::steady_clock::now() - began > 2500ms;
    });
  }
  const std::string stuck = health(server.port);
  for (auto& r : requests) r.join();
  EXPECT_EQ(failed.load(), 5);
  EXPECT_EQ(slow.load(), 0);
  EXPECT_EQ(stuck, "HTTP/1.0 503 Service Unavailable");

  // A backend whose client is gone keeps its lock until it next writes.
  locker.reset();
  cluster().sql(name(), "SELECT pg_terminate_backend(pid) FROM pg_stat_activity"
                        " WHERE query LIKE '%pg_sleep%' AND pid <> pg_backend_pid()");
  const auto limit = std::chrono::steady_clock::now() + 10s;
  while (health(server.port) != "HTTP/1.0 200 OK" && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(50ms);
  EXPECT_EQ(health(server.port), "HTTP/1.0 200 OK");
  EXPECT_EQ(transact(server.port, net::reqFindUser, net::findUserPayload(a, alice)),
            net::ansUserFound);
  EXPECT_EQ(server.process->stop(), 0) << server.process->errText();
}

// Once the tables are made, a role with nothing but row rights runs the
// server: starting needs no DDL on an up-to-date database.
TEST_F(SharedDatabase, RoleWithRowRightsOnly) {
  EXPECT_EQ(start().process->stop(), 0);
  ASSERT_TRUE(cluster().sql(name(), "DO $$ BEGIN CREATE ROLE rowonly LOGIN;"
                                  " EXCEPTION WHEN duplicate_object THEN NULL; END $$;"
                                  " GRANT SELECT, INSERT, UPDATE, DELETE ON users, sessions, user_keys"
                                  " TO rowonly; GRANT SELECT ON schema_version TO rowonly"));
  std::string uri = db_;
  uri.replace(uri.find("postgres@"), 9, "rowonly@");
  Instance server = start({}, uri);
  EXPECT_EQ(transact(server.port, net::reqRegister, net::registerPayload(alice, "alice1")),
            net::ansDone);
  const net::Ticket a = login(server.port, alice, "alice1", 5001);
  EXPECT_EQ(transact(server.port, net::reqFindUser, net::findUserPayload(a, alice)),
            net::ansUserFound);
  EXPECT_EQ(server.process->stop(), 0) << server.process->errText();
}

// The installed program, also where PATH lacks the sbin directories.
std::string programPath(const std::string& name) {
  std::string dirs = "/usr/sbin:/usr/local/sbin:/sbin";
  if (const char* path = std::getenv("PATH")) dirs = std::string(path) + ":" + dirs;
  std::istringstream each(dirs);
  for (std::string dir; std::getline(each, dir, ':');) {
    const auto candidate = std::filesystem::path(dir) / name;
    if (::access(candidate.c_str(), X_OK) == 0) return candidate.string();
  }
  return {};
}

// The shipped HAProxy configuration made to run in a test: listening on
// 127.0.0.1:listenPort, one server line per backend port with the options
// of the first shipped one; no user switch (the test may not be root) and
// no syslog.
std::string testProxyConfig(const std::string& shipped, std::uint16_t listenPort,
                            const std::vector<std::uint16_t>& backends) {
  std::istringstream in(shipped);
  std::string out;
  bool serversWritten = false;
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first, second, address, options;
    words >> first >> second >> address;
    std::getline(words, options);
    if (first == "user" || first == "group" || (first == "log" && second != "global")) continue;
    if (first == "bind") line = "    bind 127.0.0.1:" + std::to_string(listenPort);
    if (first == "server") {
      if (serversWritten) continue;
      serversWritten = true;
      line.clear();
      for (std::size_t i = 0; i < backends.size(); ++i) {
        if (i > 0) line += "\n";
        line += "    server s" + std::to_string(i) + " 127.0.0.1:" + std::to_string(backends[i]) +
                options;
      }
    }
    out += line + "\n";
  }
  return out;
}

// HAProxy, as deploy/haproxy.cfg sets it up, in front of two servers and of
// a backend that takes connections but never answers: its health check
// takes that one out, and phones register, log in and find each other
// through the proxy, whichever server each connection reaches, each at its
// own address rather than the proxy's.
TEST_F(SharedDatabase, ThroughHaproxy) {
  const std::string haproxy = programPath("haproxy");
  if (haproxy.empty()) GTEST_SKIP() << "haproxy is not installed (Debian package haproxy)";
  Instance one = start({"--trusted-proxy", "127.0.0.1"}), two = start({"--trusted-proxy", "127.0.0.1"});
  const auto mute = net::Socket::createTcp();
  ASSERT_TRUE(mute->listen(loopback, 0));

  std::ifstream shipped(ORVALIS_HAPROXY_CONFIG);
  ASSERT_TRUE(shipped) << ORVALIS_HAPROXY_CONFIG;
  std::stringstream text;
  text << shipped.rdbuf();
  const std::uint16_t port = orvalis::testing::freePort();
  std::ofstream(dir_.file("haproxy.cfg"))
      << testProxyConfig(text.str(), port, {one.port, two.port, mute->localPort()});
  ChildProcess proxy(haproxy, {"-f", dir_.file("haproxy.cfg").string(), "-db"},
                     dir_.path().string());
  const auto limit = std::chrono::steady_clock::now() + 20s;
  while (proxy.errText().find("/s2 is DOWN") == std::string::npos &&
         std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(20ms);
  ASSERT_NE(proxy.errText().find("/s2 is DOWN"), std::string::npos) << proxy.errText();
  EXPECT_EQ(proxy.errText().find("/s0 is DOWN"), std::string::npos) << proxy.errText();
  EXPECT_EQ(proxy.errText().find("/s1 is DOWN"), std::string::npos) << proxy.errText();

  EXPECT_EQ(transact(port, net::reqRegister, net::registerPayload(alice, "alice1")), net::ansDone);
  EXPECT_EQ(transact(port, net::reqRegister, net::registerPayload(bob, "bobby1")), net::ansDone);
  const net::Ticket a = login(port, alice, "alice1", 5001);
  // Bob's phone, on another machine, announces no address of its own.
  const std::uint32_t elsewhere = htonl(0x7F000002);
  const auto bobIn = exchange(port, packet(net::reqLogin, net::loginPayload(bob, "bobby1", 0, 5002)),
                              elsewhere);
  ASSERT_TRUE(bobIn);
  EXPECT_EQ(bobIn->code, net::ansLoggedIn);
  // Round robin: these finds reach both servers.
  for (int i = 0; i < 4; ++i) {
    std::optional<net::CPacket> found;
    ASSERT_EQ(transact(port, net::reqFindUser, net::findUserPayload(a, bob), &found),
              net::ansUserFound);
    EXPECT_EQ(net::parseUserFound(*found).port, 5002);
    EXPECT_EQ(net::parseUserFound(*found).address, elsewhere);
  }
  // A phone may not claim another address by sending a header itself.
  EXPECT_EQ(transact(one.port, net::reqTestServer), net::ansDone);
  const std::vector<std::uint8_t> forged{0x0D, 0x0A, 0x0D, 0x0A, 0x00, 0x0D, 0x0A, 0x51,
                                         0x55, 0x49, 0x54, 0x0A, 0x21, 0x11, 0x00, 0x0C,
                                         10,   0,    0,    9,    127,  0,    0,    1,
                                         0x13, 0x88, 0x0D, 0x41};
  testing::WireClient direct(one.port, 20, elsewhere);
  ASSERT_TRUE(direct.send(forged));
  const auto refused = direct.readToEnd();
  ASSERT_TRUE(refused);
  EXPECT_TRUE(refused->empty());
  EXPECT_EQ(one.process->stop(), 0);
  EXPECT_EQ(two.process->stop(), 0);
}

}  // namespace
}  // namespace orvalis::server
