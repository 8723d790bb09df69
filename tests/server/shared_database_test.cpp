// Several orvalis-server processes on one PostgreSQL database: the
// administration commands, accounts and tickets honoured by every server, a
// registration race on one number through two of them, and a database that
// restarts under load while the servers keep running.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "net/message_codes.h"
#include "net/requests.h"
#include "server/wire_client.h"
#include "support/child_process.h"
#include "support/postgres_cluster.h"
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

orvalis::testing::PostgresCluster& cluster() { return orvalis::testing::sharedPostgresCluster(); }

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

class SharedDatabase : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!cluster().ready()) GTEST_SKIP() << "no PostgreSQL for these tests: " << cluster().why();
    db_ = cluster().createDatabase();
    ASSERT_FALSE(db_.empty());
  }

  Instance start() const {
    Instance out;
    out.process = std::make_unique<ChildProcess>(
        ORVALIS_SERVER_PATH, std::vector<std::string>{"--port", "0", "--bind", "127.0.0.1", "--db",
                                                      db_, "--hash-cost", "min", "--quiet"});
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
  std::string db_;
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

}  // namespace
}  // namespace orvalis::server
