// Calls between headless phones, end to end on loopback: a real server, two
// or three orvalis-cli processes driven line by line, and for one test a
// real SOCKS5 proxy that carries the call.

#include <gtest/gtest.h>

#include <array>
#include <fstream>
#include <thread>

#include "net/message_codes.h"
#include "net/packet_io.h"

#include "cli_phones.h"

namespace orvalis::testing {
namespace {

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
  // A busy answer can end the attempt before a tick sees it calling, so
  // the idle state is asked for rather than waited for as a change.
  EXPECT_TRUE(c.expectStatus({"stateClient=5 "}));
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
  EXPECT_TRUE(a.expectStatus({"stateClient=5 "}));
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

// Two phones with keys, on a server that speaks TLS, call privately, each
// having proved its number; a caller speaking the plain protocol still
// gets through, in plain, and is marked when the number it claims has a
// key it did not prove.
TEST(PhoneCalls, PrivateCallsAndCallersThatDoNotProveTheirNumber) {
  Server server;
  Phone a(200000001, server.port()), b(200000002, server.port());
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerOnServer());
  connect(a, b);
  for (Phone* p : {&a, &b}) EXPECT_TRUE(p->expectStatus({"privateCall=1 callerVerified=1"}));
  hangUpOn(a, b);
  EXPECT_TRUE(a.expectStatus({"stateClient=5 ", "privateCall=0 callerVerified=0"}));

  // A hand-made caller claims a's number, then one that has no key.
  const auto port = static_cast<std::uint16_t>(std::stoi(b.statusValue("userPort")));
  for (const std::int32_t claimed : {200000001, 200000009}) {
    b.markNow();
    const net::SocketPtr plain = net::Socket::createTcp();
    ASSERT_TRUE(plain->connect(loopback, port));
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, 200000002);
    net::writeInt32(numbers, 4, claimed);
    net::CPacket call;
    net::buildPacket(call, net::peerCall, 8, numbers);
    ASSERT_NE(net::sendPacket(*plain, call), 0);
    EXPECT_TRUE(b.expect("display: Input Call"));
    EXPECT_TRUE(b.expectStatus({"stateClient=6 ", "privateCall=0 callerVerified=0"}));
    if (claimed == 200000001) {
      EXPECT_TRUE(b.expect("caller: not verified"));
    } else {
      std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the server's answer
      EXPECT_FALSE(b.printedSinceMark("caller: not verified"));
    }
    plain->close();
    EXPECT_TRUE(b.expectStatus({"stateClient=5 "}));
  }
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
