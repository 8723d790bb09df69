// Phones on separate hosts: a lab of network namespaces with a LAN, which
// stands for the internet, and a home network behind a router that
// masquerades it and forwards one port to a home host. A real server and
// real headless phones run in the hosts.

#include <gtest/gtest.h>

#include "cli_phones.h"
#include "net/address.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "support/netns_lab.h"

namespace orvalis::testing {
namespace {

// The LAN's hosts are at 198.51.100.x, the home network's at 203.0.113.x.
const std::string serverAddress = "198.51.100.10";
const std::string alphaAddress = "198.51.100.21";
const std::string routerOutside = "198.51.100.1";
constexpr std::uint16_t forwardedPort = 40000;

std::uint32_t ipv4(const std::string& text) { return net::parseAddress(text).value(); }

class LabCalls : public ::testing::Test {
 protected:
  void SetUp() override {
    try {
      lab_.emplace();
    } catch (const LabUnavailable& e) {
      GTEST_SKIP() << "no lab of network namespaces on this machine: " << e.what();
    }
    NetnsLab& lab = *lab_;
    lab.addSegment("lan");
    lab.addSegment("home");
    lab.addHost("server", {{"lan", serverAddress + "/24"}});
    lab.addHost("alpha", {{"lan", alphaAddress + "/24"}});
    lab.addHost("beta", {{"lan", "198.51.100.22/24"}});
    lab.addHost("router", {{"lan", routerOutside + "/24"}, {"home", "203.0.113.1/24"}});
    lab.addHost("home", {{"home", "203.0.113.10/24"}}, "203.0.113.1");
    lab.makeRouter("router", "eth0", "203.0.113.0/24", forwardedPort, "203.0.113.10");
    server_.emplace(lab.launcher("server"), serverAddress);
  }

  // A phone in a host of the LAN, left as its user would leave it but for
  // the server's address.
  Phone lanPhone(std::int32_t number, const std::string& host) {
    return Phone(number, server_->port(),
                 {.serverHost = ipv4(serverAddress), .reHost = {},
                  .launcher = lab_->launcher(host)});
  }

  std::optional<NetnsLab> lab_;
  std::optional<Server> server_;
};

TEST_F(LabCalls, PhonesOnOneLanCallEachOtherAfterRestarting) {
  Phone a = lanPhone(200000001, "alpha");
  Phone b = lanPhone(200000002, "beta");
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerNew());
  // Started again, each logs in by itself with the password it kept.
  for (Phone* p : {&a, &b}) {
    EXPECT_EQ(p->restart(), 0);
    ASSERT_TRUE(p->expectStatus({"serverState=2 "}));
  }
  ASSERT_NO_FATAL_FAILURE(connect(a, b));
  hangUpOn(a, b);
  ASSERT_NO_FATAL_FAILURE(connect(b, a));
  hangUpOn(b, a);
  for (Phone* p : {&a, &b}) EXPECT_EQ(p->quit(), 0);
}

TEST_F(LabCalls, APhoneThatQuitIsOfflineToItsCallers) {
  Phone a = lanPhone(200000001, "alpha");
  Phone b = lanPhone(200000002, "beta");
  Phone c = lanPhone(200000003, "beta");
  for (Phone* p : {&a, &b, &c}) ASSERT_TRUE(p->registerNew());
  b.send("quit");
  EXPECT_EQ(b.quit(), 0);
  EXPECT_EQ(c.stopBySignal(SIGTERM), 0);  // a shutdown logs out as well
  for (Phone* callee : {&b, &c}) {
    a.markNow();
    a.send("dial " + callee->number());
    EXPECT_TRUE(a.expect("display: User Offline")) << callee->number();
  }
  EXPECT_EQ(a.quit(), 0);
}

// The home phone announces the router's outside address and the forwarded
// port. Its peer on the LAN has its address set by hand, so that this does
// not depend on how a phone finds its own.
TEST_F(LabCalls, PhoneBehindARouterIsReachedOnTheForwardedPortAndCallsOut) {
  Phone home(200000003, server_->port(),
             {.serverHost = ipv4(serverAddress),
              .reHost = ipv4(routerOutside),
              .fixedPort = forwardedPort,
              .launcher = lab_->launcher("home")});
  Phone a(200000001, server_->port(),
          {.serverHost = ipv4(serverAddress),
           .reHost = ipv4(alphaAddress),
           .fixedPort = 41000,
           .launcher = lab_->launcher("alpha")});
  for (Phone* p : {&home, &a}) ASSERT_TRUE(p->registerNew());
  ASSERT_NO_FATAL_FAILURE(connect(a, home));
  hangUpOn(a, home);
  ASSERT_NO_FATAL_FAILURE(connect(home, a));
  hangUpOn(home, a);
  for (Phone* p : {&home, &a}) EXPECT_EQ(p->quit(), 0);
}

// One request on a connection of its own, as the phone makes them.
std::optional<net::CPacket> exchange(std::uint16_t port, std::int16_t code,
                                     std::span<const std::uint8_t> payload) {
  net::SocketPtr socket;
  if (net::connectTcp(socket, ipv4(serverAddress), port,
                      std::chrono::steady_clock::now() + patience) != net::ConnectResult::ok)
    return std::nullopt;
  net::CPacket request, answer;
  net::buildPacket(request, code, static_cast<std::int16_t>(payload.size()), payload);
  if (net::sendPacket(*socket, request) != code || net::recvPacket(*socket, answer) == 0)
    return std::nullopt;
  return answer;
}

std::int16_t codeOf(const std::optional<net::CPacket>& answer) {
  return answer ? answer->code : 0;
}

// A login from a lab host that announces a loopback address is recorded at
// the address it came from; callers elsewhere could not reach loopback.
TEST_F(LabCalls, ServerRecordsTheSourceOfALoginAnnouncingLoopback) {
  constexpr std::int32_t alice = 200000001, bob = 200000002;
  const auto request = [this](const std::string& host, std::int16_t code, const auto& payload) {
    return lab_->inHost(host, [&] { return exchange(server_->port(), code, payload); });
  };
  for (std::int32_t number : {alice, bob})
    ASSERT_EQ(codeOf(request("beta", net::reqRegister, net::registerPayload(number, "secret1"))),
              net::ansDone);
  const auto bobIn = request("beta", net::reqLogin,
                             net::loginPayload(bob, "secret1", ipv4("198.51.100.22"), 41000));
  ASSERT_EQ(codeOf(bobIn), net::ansLoggedIn);
  const net::Ticket ticket = net::parseTicket(*bobIn);

  // Where bob is told to call alice after she announced this from alpha.
  const auto foundAfterAnnouncing = [&](const std::string& announced) -> std::string {
    const auto in = request("alpha", net::reqLogin,
                            net::loginPayload(alice, "secret1", ipv4(announced), 41001));
    if (codeOf(in) != net::ansLoggedIn) return "login answered " + std::to_string(codeOf(in));
    const auto found = request("beta", net::reqFindUser, net::findUserPayload(ticket, alice));
    if (codeOf(found) != net::ansUserFound)
      return "find answered " + std::to_string(codeOf(found));
    const net::FoundUser user = net::parseUserFound(*found);
    return net::formatAddress(user.address) + ":" + std::to_string(user.port);
  };
  EXPECT_EQ(foundAfterAnnouncing("127.0.0.1"), "198.51.100.21:41001");
  EXPECT_EQ(foundAfterAnnouncing("127.0.1.1"), "198.51.100.21:41001");
  // A real address is the phone's to choose: a router's, say.
  EXPECT_EQ(foundAfterAnnouncing(routerOutside), "198.51.100.1:41001");
}

}  // namespace
}  // namespace orvalis::testing
