// Calls between headless phones, end to end on loopback: a real server, two
// or three orvalis-cli processes driven line by line, and for one test a
// real SOCKS5 proxy that carries the call.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <memory>
#include <sstream>

#include "store/cnf_data.h"
#include "store/config.h"
#include "support/child_process.h"
#include "support/interactive_process.h"
#include "support/temp_dir.h"

namespace orvalis::testing {
namespace {

using namespace std::chrono_literals;

// Generous: the sanitizer builds are slow, and a login waits a second.
constexpr auto patience = 30s;
const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

class Server {
 public:
  Server()
      : process_(ORVALIS_SERVER_PATH, {"--port", "0", "--bind", "127.0.0.1", "--db",
                                       dir_.file("server.db").string(), "--hash-cost", "min"}) {
    const auto port = process_.waitForLine("listening on ", patience);
    if (!port) throw std::runtime_error("server did not start: " + process_.errText());
    port_ = static_cast<std::uint16_t>(std::stoi(*port));
  }
  std::uint16_t port() const { return port_; }

 private:
  TempDir dir_;
  ChildProcess process_;
  std::uint16_t port_ = 0;
};

struct PhoneSettings {
  std::int32_t msa = 0;
  std::uint16_t socks5Port = 0;  // calls out through this proxy when set
};

// One phone in a directory of its own. Expectations look at the lines
// printed since the last markNow, in any order.
class Phone {
 public:
  Phone(std::int32_t number, std::uint16_t serverPort, PhoneSettings settings = {})
      : number_(std::to_string(number)) {
    store::CnfData cnf, cnfEdit;
    store::CConfig config(cnf, cnfEdit, dir_.dir());
    cnf.serverHost = loopback;
    cnf.serverPort = serverPort;
    // The listener takes a free port; logins announce it at 127.0.0.1.
    cnf.dynamicPort = 1;
    cnf.useReDirectCallIn = 1;
    cnf.reHost = loopback;
    cnf.msa = settings.msa;
    if (settings.socks5Port != 0) {
      cnf.useSocks5CallOut = 1;
      cnf.socks5Host = loopback;
      cnf.socks5Port = settings.socks5Port;
    }
    if (!config.save()) throw std::runtime_error("settings not saved");
    process_ = std::make_unique<InteractiveProcess>(ORVALIS_CLI_PATH, std::vector<std::string>{},
                                                    dir_.path().string());
  }

  const std::string& number() const { return number_; }
  const TempDir& dir() const { return dir_; }
  void send(std::string_view line) { process_->send(line); }
  void markNow() { mark_ = process_->mark(); }

  ::testing::AssertionResult expect(std::string_view text) {
    if (process_->waitForLine(mark_, text, patience)) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "phone " << number_ << " did not print \"" << text << "\"; since the mark:\n"
           << process_->outputSince(mark_);
  }
  bool printedSinceMark(std::string_view text) const {
    return process_->waitForLine(mark_, text, 0ms).has_value();
  }

  // Asks for the status until it contains every part.
  ::testing::AssertionResult expectStatus(std::initializer_list<std::string_view> parts) {
    std::string last;
    for (const auto until = std::chrono::steady_clock::now() + patience;
         std::chrono::steady_clock::now() < until;) {
      const std::size_t from = process_->mark();
      send("status");
      const auto at = process_->waitForLine(from, "serverState=", patience);
      if (!at) break;
      last = process_->line(*at);
      if (std::all_of(parts.begin(), parts.end(),
                      [&](std::string_view p) { return last.find(p) != std::string::npos; }))
        return ::testing::AssertionSuccess();
      send("wait 100");
    }
    return ::testing::AssertionFailure() << "phone " << number_ << " status stayed: " << last;
  }

  // One value of a fresh status line.
  std::string statusValue(std::string_view key) {
    const std::size_t from = process_->mark();
    send("status");
    const auto at = process_->waitForLine(from, "serverState=", patience);
    std::istringstream words(at ? process_->line(*at) : std::string());
    const std::string prefix = std::string(key) + '=';
    for (std::string word; words >> word;)
      if (word.starts_with(prefix)) return word.substr(prefix.size());
    return {};
  }

  // Registers the number, then logs in again so that the login announces
  // the loopback address rather than whatever the host name resolves to.
  ::testing::AssertionResult registerOnServer() {
    markNow();
    send("register-new " + number_ + " secret1");
    if (auto r = expect("message: Registration Ok!"); !r) return r;
    if (auto r = expectStatus({"serverState=2 "}); !r) return r;
    return relogin();
  }
  ::testing::AssertionResult logOut() {
    send("disconnect");
    send("wait 150");  // the logout's sweep has started by then
    return expectStatus({"serverState=1 ", "authThread=0 "});
  }
  ::testing::AssertionResult relogin() {
    if (auto r = logOut(); !r) return r;
    send("connect");
    return expectStatus({"serverState=2 "});
  }

  // Ends the program as its user would; its exit status (a sanitizer
  // report makes it non-zero).
  int quit() { return process_->finish(patience); }

 private:
  TempDir dir_;
  std::string number_;
  std::unique_ptr<InteractiveProcess> process_;
  std::size_t mark_ = 0;
};

void markAll(std::initializer_list<Phone*> phones) {
  for (Phone* p : phones) p->markNow();
}

// One call set up from caller to callee, answered, and both talking.
void connect(Phone& caller, Phone& callee) {
  markAll({&caller, &callee});
  caller.send("dial " + callee.number());
  EXPECT_TRUE(caller.expect("display: Search ..."));
  EXPECT_TRUE(caller.expect("display: Output Call"));
  EXPECT_TRUE(caller.expect("state: stateClient=7"));
  EXPECT_TRUE(callee.expect("state: stateClient=6"));
  EXPECT_TRUE(callee.expect("number: " + caller.number()));
  ASSERT_TRUE(callee.expect("display: Input Call"));
  callee.send("dial");
  for (Phone* p : {&caller, &callee}) {
    EXPECT_TRUE(p->expect("display: User Online"));
    EXPECT_TRUE(p->expect("state: stateClient=8"));
  }
}

// Hangs up on one side; both end as the call ends.
void hangUpOn(Phone& side, Phone& other) {
  markAll({&side, &other});
  side.send("hangup");
  for (Phone* p : {&side, &other}) {
    EXPECT_TRUE(p->expect("display: User Disconnected"));
    EXPECT_TRUE(p->expect("state: stateClient=5"));
  }
}

TEST(PhoneCalls, RingAnswerBusyAndHangUpBetweenThreePhones) {
  Server server;
  Phone a(200000001, server.port()), b(200000002, server.port()), c(200000003, server.port());
  a.send("dial " + b.number());
  EXPECT_TRUE(a.expect("display: The Registration Is Required"));
  for (Phone* p : {&a, &b, &c}) ASSERT_TRUE(p->registerOnServer());

  // The caller hangs up; a third phone meanwhile finds the line busy.
  connect(a, b);
  a.send("mute on");
  EXPECT_TRUE(a.expectStatus({"stateClient=8 ", "callMode=0 ", "ptt=0 ", "mute=1"}));
  markAll({&b, &c});
  c.send("dial " + b.number());
  EXPECT_TRUE(c.expect("display: User Disconnected"));
  EXPECT_TRUE(c.expect("state: stateClient=5"));
  EXPECT_TRUE(b.expectStatus({"stateClient=8 "}));
  EXPECT_FALSE(b.printedSinceMark("display: Input Call"));
  hangUpOn(a, b);
  EXPECT_TRUE(a.expectStatus({"stateClient=5 ", "mute=0"}));  // lifted with the call

  // The dial key alone calls the number still shown; the callee hangs up.
  markAll({&a, &b});
  a.send("dial");
  EXPECT_TRUE(a.expect("display: Search ..."));
  ASSERT_TRUE(b.expect("display: Input Call"));
  b.send("dial");
  EXPECT_TRUE(a.expect("display: User Online"));
  EXPECT_TRUE(b.expectStatus({"stateClient=8 "}));
  hangUpOn(b, a);

  // A ringing call refused; then the hang-up key clears the number shown,
  // and the dial key has nothing to dial.
  markAll({&a, &c});
  c.send("dial " + a.number());
  EXPECT_TRUE(a.expect("number: " + c.number()));
  ASSERT_TRUE(a.expect("display: Input Call"));
  hangUpOn(a, c);
  EXPECT_FALSE(a.printedSinceMark("display: User Online"));
  a.markNow();
  a.send("hangup");
  EXPECT_TRUE(a.expect("number:"));
  a.send("dial");
  EXPECT_TRUE(a.expect("display: Wrong Number"));

  // What the dial key refuses, and what the server answers about numbers
  // that cannot be called.
  const auto refused = [&a](const std::string& dialled, std::string_view text) {
    a.markNow();
    a.send("dial " + dialled);
    return a.expect(text);
  };
  EXPECT_TRUE(refused("12345678", "display: Wrong Number"));
  EXPECT_TRUE(refused("1234567890", "display: Wrong Number"));
  EXPECT_TRUE(refused(a.number(), "display: It Is Your Number"));
  EXPECT_TRUE(refused("999999999", "display: User Invalid"));
  ASSERT_TRUE(c.logOut());
  EXPECT_TRUE(refused(c.number(), "display: User Offline"));
  EXPECT_TRUE(a.expectStatus({"stateClient=5 ", "findState=0 "}));
  ASSERT_TRUE(a.logOut());
  EXPECT_TRUE(refused(b.number(), "display: Connected To Server"));

  for (Phone* p : {&a, &b, &c}) EXPECT_EQ(p->quit(), 0);
}

// The callee's address book decides: a black-listed caller is refused by
// the listener, a "V" caller is hung up as soon as it rings; a nick dials.
TEST(PhoneCalls, AddressBookGroupsOfCallers) {
  Server server;
  Phone a(200000001, server.port()), b(200000002, server.port());
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerOnServer());

  b.markNow();
  b.send("book add " + a.number());
  b.send("book set 1 alice B friend from work");
  b.send("book list");
  EXPECT_TRUE(b.expect("contact: 1 alice B " + a.number() + " friend from work"));
  std::ostringstream file;
  file << std::ifstream(b.dir().file("users201.txt")).rdbuf();
  EXPECT_EQ(file.str(), "alice\tB\t" + a.number() + "\tfriend from work\r\n");

  markAll({&a, &b});
  a.send("dial " + b.number());
  EXPECT_TRUE(a.expect("display: User Disconnected"));
  EXPECT_TRUE(b.expect("number: " + a.number()));
  EXPECT_TRUE(b.expect("name: alice"));
  EXPECT_TRUE(b.expectStatus({"stateClient=5 "}));
  EXPECT_FALSE(b.printedSinceMark("display: Input Call"));

  b.send("book set 1 alice V");
  markAll({&a, &b});
  a.send("dial " + b.number());
  EXPECT_TRUE(a.expect("display: User Disconnected"));
  EXPECT_TRUE(a.expect("state: stateClient=5"));
  EXPECT_TRUE(b.expect("number: " + a.number()));
  EXPECT_TRUE(b.expectStatus({"stateClient=5 "}));
  EXPECT_FALSE(a.printedSinceMark("display: User Online"));
  EXPECT_FALSE(b.printedSinceMark("display: User Online"));

  // A nick dials its contact.
  b.send("book set 1 alice N");
  markAll({&a, &b});
  b.send("dial alice");
  EXPECT_TRUE(b.expect("number: " + a.number()));
  ASSERT_TRUE(a.expect("display: Input Call"));
  a.send("dial");
  EXPECT_TRUE(b.expect("display: User Online"));
  hangUpOn(a, b);

  b.markNow();
  b.send("book delete 1");
  b.send("book delete 1");
  b.send("book add 12345");
  b.send("book list");
  EXPECT_TRUE(b.expect("error: expected: book delete ROW"));
  EXPECT_TRUE(b.expect("message: Wrong Number"));
  EXPECT_TRUE(b.expectStatus({"stateClient=5 "}));
  EXPECT_FALSE(b.printedSinceMark("contact:"));

  for (Phone* p : {&a, &b}) EXPECT_EQ(p->quit(), 0);
}

// Both phones push-to-talk; the caller's connection goes through a SOCKS5
// proxy, whose log names the callee's port.
TEST(PhoneCalls, PushToTalkCallThroughSocks5Proxy) {
  Server server;
  const std::uint16_t proxyPort = freePort();
  ChildProcess proxy("microsocks", {"-i", "127.0.0.1", "-p", std::to_string(proxyPort)});
  ASSERT_TRUE(waitForPort(proxyPort, patience)) << proxy.errText();
  Phone a(200000001, server.port(), {.msa = 1, .socks5Port = proxyPort});
  Phone b(200000002, server.port(), {.msa = 1});
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerOnServer());

  connect(a, b);
  // The caller asks for the floor at once and gets it.
  EXPECT_TRUE(a.expectStatus({"floor=2 ", "callMode=1 ", "ptt=1 "}));
  EXPECT_TRUE(b.expectStatus({"floor=0 ", "callMode=1 ", "ptt=1 "}));
  const std::string calleePort = b.statusValue("userPort");

  a.send("floor-offer");
  EXPECT_TRUE(b.expectStatus({"floor=2 "}));
  EXPECT_TRUE(a.expectStatus({"floor=0 "}));
  a.send("floor-request");
  EXPECT_TRUE(a.expectStatus({"floor=2 "}));
  EXPECT_TRUE(b.expectStatus({"floor=0 "}));
  hangUpOn(b, a);
  EXPECT_TRUE(a.expectStatus({"ptt=0 "}));

  EXPECT_NE((proxy.outText() + proxy.errText()).find("connected to 127.0.0.1:" + calleePort),
            std::string::npos)
      << proxy.outText() << proxy.errText();
  for (Phone* p : {&a, &b}) EXPECT_EQ(p->quit(), 0);
}

}  // namespace
}  // namespace orvalis::testing
