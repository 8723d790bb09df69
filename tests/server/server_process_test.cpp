// The real orvalis-server program on loopback: transactions in both forms,
// hostile input, many idle connections, deadlines and the connection cap,
// the administration commands and relay mode.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <random>
#include <sstream>
#include <thread>

#include "net/hex_packet.h"
#include "net/http_tunnel.h"
#include "net/message_codes.h"
#include "net/requests.h"
#include "server/wire_client.h"
#include "support/child_process.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

using namespace std::chrono_literals;
using orvalis::testing::ChildProcess;
using testing::WireClient;
using testing::exchange;
using testing::packet;

constexpr std::int32_t alice = 200000001;
constexpr std::int32_t bob = 200000002;
const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// The same through an HTTP GET, read back as the phone reads it.
std::optional<net::CPacket> httpExchange(std::uint16_t port, const net::CPacket& request,
                                         bool absoluteForm) {
  const std::string hex = net::hexEncodePacket(request);
  const std::string text = absoluteForm ? net::httpRequestText(loopback, port, hex)
                                        : "GET /" + hex + " HTTP/1.0\r\nHost: server\r\n\r\n";
  WireClient client(port);
  if (!client.send(text)) return std::nullopt;
  const auto bytes = client.readToEnd();
  if (!bytes) return std::nullopt;
  return net::parseHttpAnswer(*bytes);
}

// Processor time a process has used, user and system.
double cpuSeconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), {});
  std::istringstream fields(text.substr(text.rfind(')') + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state .. cmajflt
  double user = 0, system = 0;
  fields >> user >> system;
  return (user + system) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

std::int16_t codeOf(const std::optional<net::CPacket>& answer) { return answer ? answer->code : 0; }

// SIGTERM ends the program with status 0, and no sanitizer spoke up on the
// way (its reports go to the program's own standard error).
void expectCleanStop(ChildProcess& process) {
  EXPECT_EQ(process.stop(), 0) << process.errText();
  EXPECT_EQ(process.errText().find("Sanitizer"), std::string::npos) << process.errText();
  EXPECT_EQ(process.errText().find("runtime error"), std::string::npos) << process.errText();
}

class ServerProcess : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--port", "0",  "--bind",      "127.0.0.1",
                                  "--db",   db(), "--hash-cost", "min"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ChildProcess>(ORVALIS_SERVER_PATH, args);
    port_ = announcedPort(*server_);
  }
  static std::uint16_t announcedPort(ChildProcess& process) {
    const auto line = process.waitForLine("listening on ", 10s);
    if (!line) throw std::runtime_error("no port announced: " + process.errText());
    return static_cast<std::uint16_t>(std::stoi(*line));
  }
  std::string db() const { return dir_.file("users.db").string(); }
  orvalis::testing::RunResult admin(std::vector<std::string> args, const std::string& input = "") {
    args.insert(args.begin(), {"--db", db(), "--hash-cost", "min"});
    return orvalis::testing::runProgram(ORVALIS_SERVER_PATH, args, dir_.path().string(), input);
  }
  std::int16_t transact(std::int16_t code, std::span<const std::uint8_t> payload = {}) {
    last_ = exchange(port_, packet(code, payload));
    return codeOf(last_);
  }

  orvalis::testing::TempDir dir_;
  std::unique_ptr<ChildProcess> server_;
  std::uint16_t port_ = 0;
  std::optional<net::CPacket> last_;
};

TEST_F(ServerProcess, AccountRoundOverBinaryAndHttp) {
  start();
  EXPECT_EQ(transact(net::reqTestServer), net::ansDone);
  EXPECT_EQ(transact(net::reqRegister, net::registerPayload(alice, "alice1")), net::ansDone);
  EXPECT_EQ(codeOf(httpExchange(
                port_, packet(net::reqRegister, net::registerPayload(bob, "bobby1")), true)),
            net::ansDone);
  EXPECT_EQ(
      codeOf(httpExchange(port_, packet(net::reqRegister, net::registerPayload(bob, "x")), false)),
      net::ansNumberDuplicate);

  ASSERT_EQ(transact(net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5001)),
            net::ansLoggedIn);
  const net::Ticket a = net::parseTicket(*last_);
  const auto bobLogin =
      httpExchange(port_, packet(net::reqLogin, net::loginPayload(bob, "bobby1", 0, 5002)), true);
  ASSERT_EQ(codeOf(bobLogin), net::ansLoggedIn);
  const net::Ticket b = net::parseTicket(*bobLogin);

  const auto found =
      httpExchange(port_, packet(net::reqFindUser, net::findUserPayload(a, bob)), false);
  ASSERT_EQ(codeOf(found), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*found).address, loopback);  // taken from the connection
  EXPECT_EQ(net::parseUserFound(*found).port, 5002);
  ASSERT_EQ(transact(net::reqFindUser, net::findUserPayload(b, alice)), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*last_).port, 5001);

  EXPECT_EQ(transact(net::reqLogout, a), net::ansDone);
  EXPECT_EQ(
      codeOf(httpExchange(port_, packet(net::reqFindUser, net::findUserPayload(b, alice)), true)),
      net::ansUserOffline);
  EXPECT_EQ(transact(net::reqFindUser, net::findUserPayload(a, bob)), net::ansFailed);

  expectCleanStop(*server_);
  const std::string log = server_->errText();
  EXPECT_NE(log.find("number=200000001 request=reqLogin answer=ansLoggedIn peer=127.0.0.1:"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("number=200000002 request=reqFindUser answer=ansUserFound"),
            std::string::npos);
  EXPECT_EQ(log.find("alice1"), std::string::npos);
  EXPECT_EQ(log.find("bobby1"), std::string::npos);
}

TEST_F(ServerProcess, BadInputIsDroppedAndServingGoesOn) {
  start({"--timeout-ms", "2000"});
  std::mt19937 random(99);
  for (int round = 0; round < 40; ++round) {
    std::vector<std::uint8_t> junk(static_cast<std::size_t>(1 + random() % 600));
    for (auto& b : junk) b = static_cast<std::uint8_t>(random());
    if (round % 2 == 0) junk[0] = 0x0C;
    WireClient client(port_);
    client.send(junk);
    const auto answer = client.readToEnd();  // closed, or dropped at the deadline
    EXPECT_TRUE(!answer || answer->size() <= net::headerSize + net::maxPayload);
  }
  const std::vector<std::vector<std::uint8_t>> closedAtOnce{
      {0x0C, 0, 1, 0, 0x01, 0x02},        // length 513
      {0x0C, 0, 3, 0, 0xFF, 0x7F},        // length 32767
      {0x0C, 0, 3, 0, 4, 0, 1, 2, 3, 4},  // login too short
      {'G', 'E', 'T', ' ', '/', 'Z', 'Z', ' ', 'H', 'T', 'T', 'P', '/', '1', '.', '0', '\n', '\n'},
      {'P', 'O', 'S', 'T'},
  };
  for (const auto& bytes : closedAtOnce) {
    WireClient client(port_);
    ASSERT_TRUE(client.send(bytes));
    const auto answer = client.readToEnd();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->empty());
  }
  {  // A head longer than the limit.
    WireClient client(port_);
    client.send("GET /0C000F000000 HTTP/1.0\r\n" + std::string(9000, 'a'));
    const auto answer = client.readToEnd();
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->empty());
  }
  {  // A truncated header, then the client goes away.
    WireClient client(port_);
    client.send(std::vector<std::uint8_t>{0x0C, 0, 0x0F});
  }
  EXPECT_EQ(transact(net::reqTestServer), net::ansDone);
  expectCleanStop(*server_);
}

// Most requests are whole by the time they are accepted and are answered at
// once; the others, and peers that say more than their request, must fare
// as well.
TEST_F(ServerProcess, AnswersHoweverTheRequestArrives) {
  start();
  const auto request = testing::wireBytes(packet(net::reqTestServer));
  const std::string http = "GET /" + net::hexEncodePacket(packet(net::reqTestServer)) +
                           " HTTP/1.0\r\nHost: server\r\n\r\n";
  const std::vector<std::span<const std::uint8_t>> pieces{
      request, std::span(reinterpret_cast<const std::uint8_t*>(http.data()), http.size())};
  for (const auto whole : pieces) {
    WireClient client(port_);
    std::this_thread::sleep_for(50ms);  // accepted before a byte arrives
    ASSERT_TRUE(client.send(whole.first(3)));
    std::this_thread::sleep_for(50ms);
    ASSERT_TRUE(client.send(whole.subspan(3)));
    const auto answer = client.readToEnd();
    ASSERT_TRUE(answer);
    EXPECT_FALSE(answer->empty());
  }
  // Closing on unread bytes would reset the connection and lose the answer.
  for (const std::size_t extra : {std::size_t{10}, std::size_t{64 * 1024}}) {
    WireClient client(port_);
    auto bytes = request;
    bytes.resize(bytes.size() + extra, 0x55);
    ASSERT_TRUE(client.send(bytes));
    std::this_thread::sleep_for(50ms);
    const auto answer = client.readToEnd();
    ASSERT_TRUE(answer) << extra;
    EXPECT_EQ(*answer, testing::wireBytes(packet(net::ansDone))) << extra;
    EXPECT_FALSE(client.reset()) << extra;
  }
  expectCleanStop(*server_);
}

TEST_F(ServerProcess, IdleConnectionsDoNotHoldUpOthers) {
  rlimit limit{};
  ::getrlimit(RLIMIT_NOFILE, &limit);
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
  ASSERT_GE(limit.rlim_cur, 1100u) << "too few descriptors for this test";

  start({"--timeout-ms", "60000"});
  std::vector<std::unique_ptr<WireClient>> idle;
  for (int i = 0; i < 1000; ++i) {
    idle.push_back(std::make_unique<WireClient>(port_));
    ASSERT_TRUE(idle.back()->connected()) << i;
    if (i % 2 == 0) idle.back()->send(std::vector<std::uint8_t>{0x0C, 0});  // half a header
  }
  EXPECT_EQ(transact(net::reqRegister, net::registerPayload(alice, "alice1")), net::ansDone);
  EXPECT_EQ(codeOf(httpExchange(port_, packet(net::reqTestServer), true)), net::ansDone);
  idle.clear();
  expectCleanStop(*server_);
}

TEST_F(ServerProcess, ConnectionCapAndDeadline) {
  start({"--timeout-ms", "1500", "--max-connections", "3"});
  // Connections beyond the cap are closed at once, unanswered.
  std::vector<std::unique_ptr<WireClient>> held;
  for (int i = 0; i < 3; ++i) held.push_back(std::make_unique<WireClient>(port_, 5));
  std::this_thread::sleep_for(100ms);  // let the server admit them
  {
    WireClient extra(port_, 5);
    extra.send(testing::wireBytes(packet(net::reqTestServer)));
    const auto refused = extra.readToEnd();
    ASSERT_TRUE(refused);
    EXPECT_TRUE(refused->empty());
  }
  held.clear();
  // Slots are given back as the server sees the connections close.
  auto answered = [&] {
    for (int i = 0; i < 100; ++i) {
      if (transact(net::reqTestServer) == net::ansDone) return true;
      std::this_thread::sleep_for(50ms);
    }
    return false;
  };
  EXPECT_TRUE(answered());

  {  // A silent client is dropped at the deadline.
    WireClient silent(port_);
    const auto answer = silent.readToEnd();
    ASSERT_TRUE(answer) << "still open long after the deadline";
    EXPECT_TRUE(answer->empty());
  }
  EXPECT_TRUE(answered());
  expectCleanStop(*server_);
}

// Logins from clients that hang up at once must neither pile up behind the
// hash nor keep the connection slots from requests answered straight away.
TEST_F(ServerProcess, AbandonedLoginsLeaveRoomForOthers) {
  start({"--timeout-ms", "3000", "--max-connections", "100", "--threads", "1", "--hash-cost",
         "interactive"});
  const auto login = testing::wireBytes(packet(net::reqLogin, net::loginPayload(alice, "alice1", 0, 5000)));
  int answered = 0;
  int asked = 0;
  for (int i = 0; i < 300; ++i) {
    {
      WireClient gone(port_, 5);
      gone.send(login);
    }
    if (i % 10 == 9) {
      ++asked;
      if (transact(net::reqTestServer) == net::ansDone) ++answered;
    }
  }
  std::printf("[figure] test requests answered during 300 abandoned logins: %d of %d\n", answered,
              asked);
  EXPECT_GE(answered, asked * 9 / 10);
  // Past their deadline the abandoned logins are dropped, not hashed for
  // nobody: a few seconds on, the server is idle.
  std::this_thread::sleep_for(3s);
  const double before = cpuSeconds(server_->pid());
  std::this_thread::sleep_for(1s);
  const double busy = cpuSeconds(server_->pid()) - before;
  std::printf("[figure] server CPU 3 s after the flood: %.0f%%\n", busy * 100);
  EXPECT_LT(busy, 0.5);
  expectCleanStop(*server_);
}

// TLS and the plain protocol share the port. The pair made on the first
// start is kept, so a phone's pin of it holds across restarts.
TEST_F(ServerProcess, TlsBesidePlainOnOnePort) {
  start();
  std::vector<std::uint8_t> key;
  EXPECT_EQ(codeOf(testing::tlsExchange(
                port_, packet(net::reqRegister, net::registerPayload(alice, "alice1")), &key)),
            net::ansDone);
  ASSERT_FALSE(key.empty());
  // The phone's key, given in a TLS login, is handed out inside TLS alone.
  net::PublicKey phoneKey{};
  phoneKey.fill(0x42);
  const auto loggedIn = testing::tlsExchange(
      port_, packet(net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5000, phoneKey)));
  ASSERT_TRUE(loggedIn);
  ASSERT_EQ(loggedIn->code, net::ansLoggedIn);
  const auto userKey = net::userKeyPayload(net::parseTicket(*loggedIn), alice);
  const auto asked = testing::tlsExchange(port_, packet(net::reqUserKey, userKey));
  ASSERT_TRUE(asked);
  EXPECT_EQ(net::parseUserKey(*asked, alice), phoneKey);
  EXPECT_EQ(transact(net::reqUserKey, userKey), net::ansFailed);
  EXPECT_EQ(transact(net::reqLogin, net::loginPayload(alice, "alice1", loopback, 5000)),
            net::ansLoggedIn);
  EXPECT_EQ(std::filesystem::status(dir_.file("server-tls.key")).permissions() &
                std::filesystem::perms::all,
            std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  expectCleanStop(*server_);

  start();
  std::vector<std::uint8_t> again;
  EXPECT_EQ(codeOf(testing::tlsExchange(port_, packet(net::reqTestServer), &again)), net::ansDone);
  EXPECT_EQ(again, key);
  expectCleanStop(*server_);

  start({"--no-tls"});
  EXPECT_FALSE(testing::tlsExchange(port_, packet(net::reqTestServer)));
  EXPECT_EQ(transact(net::reqTestServer), net::ansDone);
  expectCleanStop(*server_);
  // A pair named by the administrator must be there.
  const auto missing = orvalis::testing::runProgram(
      ORVALIS_SERVER_PATH,
      {"--port", "0", "--db", db(), "--tls-cert", "none.crt", "--tls-key", "none.key"},
      dir_.path().string(), "");
  EXPECT_EQ(missing.exitStatus, 1);
}

TEST_F(ServerProcess, AdministrationCommands) {
  auto added = admin({"add-user", "200000001", "alice1"});
  EXPECT_EQ(added.exitStatus, 0);
  EXPECT_EQ(admin({"add-user", "200000002", "bobby1"}).exitStatus, 0);
  EXPECT_EQ(admin({"add-user", "200000001", "again"}).exitStatus, 1);
  EXPECT_EQ(admin({"add-user", "12", "x"}).exitStatus, 2);
  // Without PASSWORD, one line of standard input is the password.
  EXPECT_EQ(admin({"add-user", "200000003"}, "carol1\nignored\n").exitStatus, 0);
  EXPECT_EQ(admin({"add-user", "200000004"}, "").exitStatus, 2);
  EXPECT_EQ(admin({"add-user", "200000004"}, "01234567890123456789\n").exitStatus, 2);
  EXPECT_EQ(admin({"delete-user", "300000000"}).exitStatus, 1);

  // Closed registration: only administration adds accounts; they can log in.
  start({"--closed"});
  EXPECT_EQ(transact(net::reqRegister, net::registerPayload(300000001, "pw")), net::ansFailed);
  EXPECT_EQ(transact(net::reqLogin, net::loginPayload(bob, "bobby1", htonl(0x0A000001), 7000)),
            net::ansLoggedIn);
  EXPECT_EQ(transact(net::reqLogin, net::loginPayload(200000003, "carol1", loopback, 7000)),
            net::ansLoggedIn);
  ASSERT_EQ(admin({"delete-user", "200000003"}).exitStatus, 0);

  const auto listed = admin({"list-users"});
  EXPECT_EQ(listed.exitStatus, 0);
  EXPECT_EQ(listed.out, "200000001\n200000002 10.0.0.1:7000\n");

  EXPECT_EQ(admin({"delete-user", "200000002"}).exitStatus, 0);
  EXPECT_EQ(transact(net::reqLogin, net::loginPayload(bob, "bobby1", loopback, 7000)),
            net::ansFailed);
  EXPECT_EQ(admin({"list-users"}).out, "200000001\n");
  expectCleanStop(*server_);
}

TEST_F(ServerProcess, HelpAndBadOptions) {
  const auto help =
      orvalis::testing::runProgram(ORVALIS_SERVER_PATH, {"--help"}, dir_.path().string(), "");
  EXPECT_EQ(help.exitStatus, 0);
  for (const char* word : {"--port", "--bind", "--db", "--relay", "--hash-cost", "--closed",
                           "--timeout-ms", "--max-connections", "--threads", "--quiet", "--help",
                           "--trusted-proxy",
                           "add-user", "delete-user", "list-users"}) {
    EXPECT_NE(help.out.find(word), std::string::npos) << word;
  }
  for (const std::vector<std::string>& bad : {std::vector<std::string>{"--port", "x"},
                                              {"--nope"},
                                              {"--relay", "name:1"},
                                              {"list-users", "x"}}) {
    const auto result =
        orvalis::testing::runProgram(ORVALIS_SERVER_PATH, bad, dir_.path().string(), "");
    EXPECT_EQ(result.exitStatus, 2) << bad[0];
    EXPECT_TRUE(result.out.empty());
  }
  // A database that cannot be opened is a failure, not a crash.
  const auto noDb = orvalis::testing::runProgram(
      ORVALIS_SERVER_PATH, {"--db", (dir_.path() / "none" / "x.db").string(), "list-users"},
      dir_.path().string(), "");
  EXPECT_EQ(noDb.exitStatus, 1);
}

TEST_F(ServerProcess, RelayCarriesTransactionsToTheServer) {
  start({"--quiet"});
  ChildProcess relay(ORVALIS_SERVER_PATH,
                     {"--relay", "127.0.0.1:" + std::to_string(port_), "--port", "0", "--bind",
                      "127.0.0.1", "--timeout-ms", "5000"});
  const std::uint16_t relayPort = announcedPort(relay);

  EXPECT_EQ(
      codeOf(exchange(relayPort, packet(net::reqRegister, net::registerPayload(alice, "alice1")))),
      net::ansDone);
  const auto login =
      exchange(relayPort, packet(net::reqLogin, net::loginPayload(alice, "alice1", 0, 5555)));
  ASSERT_EQ(codeOf(login), net::ansLoggedIn);
  const auto found = httpExchange(
      relayPort, packet(net::reqFindUser, net::findUserPayload(net::parseTicket(*login), alice)),
      true);
  ASSERT_EQ(codeOf(found), net::ansUserFound);
  EXPECT_EQ(net::parseUserFound(*found).port, 5555);
  expectCleanStop(relay);
  EXPECT_NE(relay.errText().find("relay peer=127.0.0.1:"), std::string::npos) << relay.errText();

  // A target that is not there: the client's connection is closed.
  ChildProcess nowhere(ORVALIS_SERVER_PATH,
                       {"--relay", "127.0.0.1:" + std::to_string(orvalis::testing::freePort()),
                        "--port", "0", "--bind", "127.0.0.1"});
  WireClient client(announcedPort(nowhere));
  client.send(testing::wireBytes(packet(net::reqTestServer)));
  const auto answer = client.readToEnd();
  ASSERT_TRUE(answer);
  EXPECT_TRUE(answer->empty());
  expectCleanStop(nowhere);
}

}  // namespace
}  // namespace orvalis::server
