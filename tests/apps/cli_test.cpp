// The headless phone as a program: commands on standard input, display
// texts and state on standard output, settings in its directory.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "store/cnf_data.h"
#include "store/config.h"
#include "support/child_process.h"
#include "support/interactive_process.h"
#include "support/scripted_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"

namespace orvalis::testing {
namespace {

RunResult runCli(const TempDir& dir, const std::string& input) {
  return runProgram(ORVALIS_CLI_PATH, {"--audio", "null"}, dir.path().string(), input);
}

// A loopback port bound but not listening: every connection to it is
// refused at once.
class RefusingPort {
 public:
  RefusingPort() : fd_(::socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (fd_ < 0 || ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      throw std::runtime_error("no loopback port");
    port_ = ntohs(addr.sin_port);
  }
  ~RefusingPort() { ::close(fd_); }
  RefusingPort(const RefusingPort&) = delete;
  RefusingPort& operator=(const RefusingPort&) = delete;
  std::uint16_t port() const { return port_; }

 private:
  int fd_;
  std::uint16_t port_ = 0;
};

// Gives the phone in dir an own number, and optionally a saved password,
// and a server on 127.0.0.1 (one that refuses: its logins go nowhere).
void registerNumber(const TempDir& dir, std::uint16_t serverPort, std::int32_t number,
                    std::string_view passwd = {}) {
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  cnf.serverHost = htonl(INADDR_LOOPBACK);
  cnf.serverPort = serverPort;
  cnf.userNumber = number;
  cnf.passwd = passwd;
  cnf.passwdLen = static_cast<std::int32_t>(passwd.size());
  ASSERT_TRUE(config.save());
}

// Points the phone in dir at a server on 127.0.0.1 that refuses.
void useRefusingServer(const TempDir& dir, const RefusingPort& port) {
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  cnf.serverHost = htonl(INADDR_LOOPBACK);
  cnf.serverPort = port.port();
  ASSERT_TRUE(config.save());
}

// Whether the lines appear in out in this order.
::testing::AssertionResult inOrder(const std::string& out, std::initializer_list<std::string> lines) {
  std::size_t at = 0;
  for (const auto& line : lines) {
    at = out.find(line, at);
    if (at == std::string::npos) return ::testing::AssertionFailure() << "missing or out of order: " << line;
    at += line.size();
  }
  return ::testing::AssertionSuccess();
}

TEST(HeadlessPhone, FirstStartCreatesSettingsAndReportsState) {
  TempDir dir;
  const RunResult r = runCli(dir, "status\nfrobnicate\nwait 500\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  // Without a number, the first line tells how to get one.
  EXPECT_EQ(r.out.rfind("ready: no number yet; register one on 127.0.0.1:3393 with: register-new "
                        "NUMBER PASSWORD (9 digits, a password of at least 6 characters)",
                        0),
            0u)
      << r.out;
  // The listener may or may not have its system-chosen port yet.
  EXPECT_NE(r.out.find("serverState=0 stateClient=5 findState=0 authThread=0 floor=0 "
                       "callMode=0 userNumber=0 stateBind="),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("error: unknown command: frobnicate\n"), std::string::npos);
  EXPECT_EQ(std::filesystem::file_size(dir.file("phone201.cnf")), store::cnfSize);

  // The listener's system-chosen port was written back to the file.
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  EXPECT_NE(cnf.userPort.get(), store::defaultServerPort);
}

TEST(HeadlessPhone, EndOfInputEndsCleanly) {
  TempDir dir;
  const RunResult r = runCli(dir, "");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(std::filesystem::exists(dir.file("phone201.cnf")));
}

TEST(HeadlessPhone, AsksForThePasswordAndSavesItWhenTold) {
  TempDir dir;
  RefusingPort server;
  registerNumber(dir, server.port(), 123456789);
  // Sixteen bytes are refused, also as eight Cyrillic letters.
  const RunResult r = runCli(dir,
                             "password 0123456789abcdef save\n"
                             "password \xD0\xB0\xD0\xB1\xD0\xB2\xD0\xB3\xD0\xB4\xD0\xB5\xD0\xB6\xD0\xB7 save\n"
                             "password abcdef save\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.rfind("ready: 123456789 logs in to 127.0.0.1:" + std::to_string(server.port()) +
                            "; help lists the commands\n"
                            "login: Please enter yor password\n"
                        "error: the password is longer than 15 bytes\n"
                        "error: the password is longer than 15 bytes\n",
                        0),
            0u)
      << r.out;
  EXPECT_NE(r.out.find("serverState=0 "), std::string::npos);

  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  EXPECT_EQ(cnf.passwd.str(), "abcdef");
  EXPECT_EQ(cnf.passwdLen.get(), 6);
}

// Quitting while the first login is on its way waits for its answer, so
// that the logout that follows covers it: the server must not keep an ended
// phone online. Both ways: the end of the input, and a signal.
TEST(HeadlessPhone, QuittingDuringTheFirstLoginLogsOutAfterIt) {
  using namespace std::chrono_literals;
  const std::vector<std::uint8_t> ticket = {1, 2, 3, 4, 5, 6, 7, 8};
  const auto waitForRequests = [](const ScriptedServer& server, std::size_t n) {
    for (int i = 0; i < 1000 && server.requests().size() < n; ++i)
      std::this_thread::sleep_for(10ms);
  };
  for (const int signal : {0, SIGTERM}) {
    SCOPED_TRACE(signal);
    TempDir dir;
    ScriptedServer server(net::ansLoggedIn, 0, ticket, 500ms);
    registerNumber(dir, server.port(), 123456789, "abcdef");
    InteractiveProcess phone(ORVALIS_CLI_PATH, {"--audio", "null"}, dir.path().string());
    waitForRequests(server, 1);
    ASSERT_EQ(server.requests(), std::vector<std::int16_t>{net::reqLogin});
    if (signal != 0) {
      phone.signal(signal);
      waitForRequests(server, 2);  // before the input ends
    }
    EXPECT_EQ(phone.finish(15s), 0);
    const auto received = server.received();
    ASSERT_EQ(server.requests(), (std::vector<std::int16_t>{net::reqLogin, net::reqLogout}));
    EXPECT_TRUE(std::equal(ticket.begin(), ticket.end(), received[1].payload.begin()));
  }
}

TEST(HeadlessPhone, CancelledPasswordSuspendsTheLogin) {
  TempDir dir;
  RefusingPort server;
  registerNumber(dir, server.port(), 123456789);
  const RunResult r = runCli(dir, "status please\ncancel\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  // A line that is no answer is refused while the dialog waits.
  EXPECT_NE(r.out.find("error: the login dialog expects"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("serverState=1 "), std::string::npos) << r.out;
}

TEST(HeadlessPhone, SavedPasswordLogsInWithoutAsking) {
  TempDir dir;
  RefusingPort server;
  registerNumber(dir, server.port(), 123456789, "abcdef");
  const RunResult r = runCli(dir, "status\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_EQ(r.out.find("login:"), std::string::npos) << r.out;
}

TEST(HeadlessPhone, AccountCommandsCheckInputAndState) {
  TempDir dir;
  const RunResult r = runCli(dir,
                             "register-new 0012 abcdef\nregister-existing 123456789 abc\n"
                             "register-new 12x 123456\nregister-new 123456789 abcdef keep\n"
                             "change-password abcdef\ndelete-user\ndisconnect\nconnect\n"
                             "connect now\nwait soon\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(inOrder(r.out, {"message: Error! Is long of the number less than 9 marks.",
                              "message: Error! Is long of the password less than 6 marks.",
                              "error: expected: register-new NUMBER PASSWORD [nosave]",
                              "error: expected: register-new NUMBER PASSWORD [nosave]",
                              "change-password: not logged in", "delete-user: not logged in",
                              "disconnect: not logged in",
                              "connect: the automatic login is not suspended",
                              "error: connect takes no arguments", "error: expected: wait MS"}))
      << r.out;
  EXPECT_NE(r.out.find(" userNumber=0 "), std::string::npos);
}

TEST(HeadlessPhone, UnreachableServerFailsRegistrationAndServerTest) {
  TempDir dir;
  RefusingPort port;
  useRefusingServer(dir, port);
  const RunResult r = runCli(dir, "register-new 123456789 abcdef\ntest-server\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(inOrder(r.out, {"message: Server Inaccessable!", "test-server: Connection...",
                              "test-server: Server is inaccessible.", "serverState=0"}))
      << r.out;
  EXPECT_NE(r.out.find(" userNumber=0 "), std::string::npos);

  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  EXPECT_EQ(cnf.userNumber.get(), 0);
}

TEST(HeadlessPhone, ConnectResumesTheLoginWithAFreshPrompt) {
  TempDir dir;
  RefusingPort port;
  registerNumber(dir, port.port(), 123456789);
  // Each wait outlasts the 21 ticks between two login attempts.
  const RunResult r = runCli(dir,
                             "password abcdef nosave\nwait 1500\ncancel\n"
                             "register-new 223456789 abcdef\nconnect\nwait 1500\ncancel\n"
                             "status\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(inOrder(r.out, {"login: Please enter yor password",
                              "login failed: server does not answer.",
                              "login: server does not answer.",
                              "register-new: the phone already has a number",
                              "login: Enter the password.", "serverState=1 "}))
      << r.out;
}

// The whole account life of a phone against the real server: registration,
// the automatic login that follows, a password change, disconnect and
// connect, the server test and the deletion of the number.
TEST(HeadlessPhone, AccountLifeAgainstTheServer) {
  TempDir dir;
  ChildProcess server(ORVALIS_SERVER_PATH, {"--port", "0", "--bind", "127.0.0.1", "--db",
                                            dir.file("server.db").string(), "--hash-cost", "min"});
  const auto port = server.waitForLine("listening on ", std::chrono::seconds(10));
  ASSERT_TRUE(port) << server.errText();
  {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir.dir());
    cnf.serverHost = htonl(INADDR_LOOPBACK);
    cnf.serverPort = static_cast<std::uint16_t>(std::stoi(*port));
    ASSERT_TRUE(config.save());
  }
  const RunResult r = runCli(dir,
                             "register-new 123456789 secret1\nwait 1500\nstatus\n"
                             "change-password secret2 save\n"
                             "disconnect\nwait 500\nstatus\nconnect\nwait 1500\nstatus\n"
                             "test-server\ndelete-user\nwait 500\nstatus\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  const std::string loggedIn = "logged in: 123456789, reachable at ";
  EXPECT_TRUE(inOrder(r.out, {"message: Registration Ok!", loggedIn, "serverState=2 ",
                              "message: The password is successfully changed!",
                              "serverState=1 ", loggedIn,
                              "serverState=2 ",  // logged in again with the new password
                              "test-server: Server is accessible!", "serverState=0 "}))
      << r.out;
  EXPECT_EQ(r.out.find("login:"), std::string::npos) << r.out;  // never asked
  EXPECT_NE(r.out.rfind(" userNumber=0 "), std::string::npos) << r.out;

  // The server forgot the number with the deletion.
  EXPECT_EQ(runProgram(ORVALIS_SERVER_PATH,
                       {"--db", dir.file("server.db").string(), "list-users"}, dir.path().string(),
                       "")
                .out,
            "");
}

TEST(HeadlessPhone, ConfigSetAppliesAndSavesAndRefusesBadInput) {
  TempDir dir;
  const RunResult r = runCli(dir,
                             "config set msa 1\nconfig set passwd abc\n"
                             "config set serverPort 70000\nconfig get serverPort\n"
                             "config set reHost 255.255.255.255\nconfig get bogus\n"
                             "config set bogus 1\nconfig list\nconfig get msa\nquit\n");
  EXPECT_EQ(r.exitStatus, 0);
  EXPECT_TRUE(inOrder(r.out, {"config: msa=1\n", "config: passwd=abc\n",
                              "error: refused value for serverPort: 70000\n",
                              "config: serverPort=3393\n",
                              "error: refused value for reHost: 255.255.255.255\n",
                              "error: unknown setting: bogus\n", "error: unknown setting: bogus\n",
                              "config-field: language\n", "config-field: gatePort\n",
                              "config: msa=1\n"}))
      << r.out;

  // Applied and saved; the refused values left their fields alone.
  store::CnfData cnf, cnfEdit;
  store::CConfig config(cnf, cnfEdit, dir.dir());
  EXPECT_EQ(cnf.msa.get(), 1);
  EXPECT_EQ(cnf.passwd.str(), "abc");
  EXPECT_EQ(cnf.passwdLen.get(), 3);
  EXPECT_EQ(cnf.serverPort.get(), store::defaultServerPort);
  EXPECT_EQ(cnf.reHost.get(), htonl(INADDR_LOOPBACK));
}

}  // namespace
}  // namespace orvalis::testing
