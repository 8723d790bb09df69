// The reachability keeper's choices and upkeep, with routers played by
// fakes, and the relay's control link against a relay played by the test.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <thread>

#include "net/address.h"
#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/reach/reach_keeper.h"
#include "net/reach/relay_link.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;

const std::uint32_t homeAddress = *parseAddress("192.168.1.20");
const std::uint32_t routerOutside = *parseAddress("11.0.0.2");
const std::uint32_t carrierNat = *parseAddress("100.64.0.7");
const std::uint32_t publicAddress = *parseAddress("11.0.0.30");
const std::uint32_t serverAddress = *parseAddress("11.0.0.10");

// A router's mapping service as the keeper sees it; what it answers is set
// by the test, what it was asked is counted.
struct RouterFake {
  std::mutex lock;
  Reach kind = Reach::natpmp;
  bool offers = false;
  std::uint32_t external = routerOutside;
  bool holds = true;  // stillMapped's answer
  int maps = 0, unmaps = 0, checks = 0;
  std::uint16_t lastPort = 0;
};

class FakeMapper : public PortMapper {
 public:
  explicit FakeMapper(RouterFake& router) : router_(router) {}
  std::optional<PortMapping> map(std::uint16_t port, std::chrono::seconds lease,
                                 std::chrono::milliseconds) override {
    std::lock_guard guard(router_.lock);
    ++router_.maps;
    router_.lastPort = port;
    if (!router_.offers) return std::nullopt;
    router_.holds = true;
    return PortMapping{.kind = router_.kind, .external = router_.external,
                       .externalPort = static_cast<std::uint16_t>(port + 1000),
                       .internalPort = port, .internal = homeAddress, .lease = lease};
  }
  bool stillMapped(PortMapping&, std::chrono::milliseconds) override {
    std::lock_guard guard(router_.lock);
    ++router_.checks;
    return router_.holds;
  }
  void unmap(const PortMapping&, std::chrono::milliseconds) override {
    std::lock_guard guard(router_.lock);
    ++router_.unmaps;
  }

 private:
  RouterFake& router_;
};

class ReachKeeperTest : public ::testing::Test {
 protected:
  ReachKeeperTest() { upnp_.kind = Reach::upnp; }

  std::unique_ptr<ReachKeeper> keeper(std::chrono::seconds lease = 3600s) {
    ReachOptions options;
    options.lease = lease;
    options.makeNatPmp = [this] { return std::make_unique<FakeMapper>(natPmp_); };
    options.makeUpnp = [this] { return std::make_unique<FakeMapper>(upnp_); };
    options.sourceAddress = [this](std::uint32_t, std::uint16_t) { return source_.load(); };
    return std::make_unique<ReachKeeper>(std::move(options));
  }

  static ReachInput input(std::uint16_t port = 40000) {
    return {.automatic = true, .serverHost = serverAddress, .serverPort = 3393, .listenPort = port};
  }

  // The plan once decided (and, when given, once it has changed from an
  // earlier generation).
  static ReachPlan settled(ReachKeeper& k, std::optional<std::uint64_t> after = std::nullopt) {
    for (auto until = std::chrono::steady_clock::now() + 10s;
         std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(5ms)) {
      const ReachPlan plan = k.plan();
      if (plan.settled && (!after || plan.generation != *after)) return plan;
    }
    ADD_FAILURE() << "no plan was decided";
    return k.plan();
  }

  static int count(RouterFake& r, int RouterFake::*field) {
    std::lock_guard guard(r.lock);
    return r.*field;
  }

  RouterFake natPmp_, upnp_;
  std::atomic<std::uint32_t> source_{homeAddress};
};

TEST_F(ReachKeeperTest, ChoosesTheFirstWayThatWorksAndMapsNothingItDoesNotNeed) {
  {  // a public address, or a server on this machine: nothing to map
    for (const std::uint32_t own : {publicAddress, htonl(INADDR_LOOPBACK)}) {
      source_ = own;
      auto k = keeper();
      k->want(input());
      EXPECT_EQ(settled(*k).reach, Reach::direct);
    }
    EXPECT_EQ(count(natPmp_, &RouterFake::maps) + count(upnp_, &RouterFake::maps), 0);
  }
  source_ = homeAddress;
  {  // the user's own forwarding wins
    auto k = keeper();
    k->want({.automatic = true, .forwarded = true, .serverHost = serverAddress, .listenPort = 1});
    EXPECT_EQ(settled(*k).reach, Reach::forwarded);
    auto off = keeper();
    off->want({.automatic = false, .serverHost = serverAddress, .listenPort = 1});
    EXPECT_EQ(settled(*off).reach, Reach::none);
    EXPECT_EQ(count(natPmp_, &RouterFake::maps), 0);
  }
  {  // NAT-PMP first, announcing the router's outside and the mapped port
    natPmp_.offers = upnp_.offers = true;
    auto k = keeper();
    k->want(input());
    const ReachPlan plan = settled(*k);
    EXPECT_EQ(plan.reach, Reach::natpmp);
    EXPECT_EQ(plan.address, routerOutside);
    EXPECT_EQ(plan.port, 41000);
    EXPECT_EQ(count(upnp_, &RouterFake::maps), 0);
  }
  {  // then UPnP
    natPmp_.offers = false;
    auto k = keeper();
    k->want(input());
    EXPECT_EQ(settled(*k).reach, Reach::upnp);
  }
  {  // a mapping on a router behind a carrier-grade NAT is none, and goes
    natPmp_.offers = true;
    natPmp_.external = upnp_.external = carrierNat;
    const int unmapsBefore = count(natPmp_, &RouterFake::unmaps);
    auto k = keeper();
    k->want(input());
    EXPECT_EQ(settled(*k).reach, Reach::none);
    EXPECT_EQ(count(natPmp_, &RouterFake::unmaps), unmapsBefore + 1);
    // The relay its server offers is the way left.
    const std::uint64_t before = k->plan().generation;
    k->offerRelay(serverAddress, 3393, {serverAddress, 3394});
    const ReachPlan relayed = settled(*k, before);
    EXPECT_EQ(relayed.reach, Reach::relay);
    EXPECT_EQ(relayed.address, serverAddress);
    EXPECT_EQ(relayed.port, 3394);
    // Another server's relay is not this one's.
    k->want({.automatic = true, .serverHost = publicAddress, .serverPort = 3393, .listenPort = 40000});
    EXPECT_EQ(settled(*k).reach, Reach::none);
  }
}

TEST_F(ReachKeeperTest, RenewsRemakesMovesAndRemovesTheMapping) {
  natPmp_.offers = true;
  auto k = keeper(4s);  // renewed every 2 s, checked every second
  k->want(input(40000));
  ReachPlan plan = settled(*k);
  ASSERT_EQ(plan.reach, Reach::natpmp);
  std::this_thread::sleep_for(2500ms);
  EXPECT_GE(count(natPmp_, &RouterFake::maps), 2) << "not renewed";
  EXPECT_GE(count(natPmp_, &RouterFake::checks), 1) << "never checked";

  // The router forgot it (restarted): made again at the next check.
  {
    std::lock_guard guard(natPmp_.lock);
    natPmp_.holds = false;
  }
  const int maps = count(natPmp_, &RouterFake::maps);
  std::this_thread::sleep_for(1500ms);
  EXPECT_GT(count(natPmp_, &RouterFake::maps), maps) << "not made again";

  // A new listening port: the old mapping goes, a new one is made.
  const int unmaps = count(natPmp_, &RouterFake::unmaps);
  k->want(input(40001));
  plan = settled(*k, plan.generation);
  EXPECT_EQ(plan.port, 41001);
  EXPECT_EQ(count(natPmp_, &RouterFake::unmaps), unmaps + 1);

  // Logged out, then gone: nothing is left on the router.
  k->release();
  for (int i = 0; i < 200 && count(natPmp_, &RouterFake::unmaps) == unmaps + 1; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(count(natPmp_, &RouterFake::unmaps), unmaps + 2);
  k->want(input(40001));
  settled(*k);
  k.reset();
  EXPECT_EQ(count(natPmp_, &RouterFake::unmaps), unmaps + 3);
}

// The relay, played by the test on loopback.
class RelayLinkTest : public ::testing::Test {
 protected:
  void SetUp() override {
    listening_ = Socket::createTcp();
    ASSERT_TRUE(listening_->listen(htonl(INADDR_LOOPBACK), 0));
    relay_ = {htonl(INADDR_LOOPBACK), listening_->localPort()};
  }
  void TearDown() override { listening_->close(); }

  // The next connection to the relay and its first message.
  std::pair<SocketPtr, CPacket> next() {
    SocketPtr s = listening_->accept();
    CPacket first;
    if (!s || recvPacket(*s, first) == 0) ADD_FAILURE() << "no first message";
    return {s, first};
  }

  SocketPtr listening_;
  RelayEndpoint relay_;
};

TEST_F(RelayLinkTest, SaysWhoItIsHandsOverEachCallAndComesBackUntilRefused) {
  const Ticket first{1, 2, 3, 4, 5, 6, 7, 8}, second{9, 9, 9, 9, 9, 9, 9, 9};
  std::mutex lock;
  std::vector<SocketPtr> handed;
  RelayLink link(relay_, 200000001, first, [&](SocketPtr s) {
    std::lock_guard guard(lock);
    handed.push_back(std::move(s));
  });

  auto [control, hello] = next();
  auto said = parseRelayHello(hello);
  ASSERT_TRUE(said);
  EXPECT_EQ(said->number, 200000001);
  EXPECT_EQ(said->ticket, first);
  CPacket out;
  buildRelayWelcome(out, {serverAddress, 3394});
  ASSERT_NE(sendPacket(*control, out), 0);

  // A caller: the phone opens a data connection with the token.
  const RelayToken token{7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 7, 1};
  buildRelayToken(out, relayOpen, token);
  ASSERT_NE(sendPacket(*control, out), 0);
  auto [data, opening] = next();
  EXPECT_EQ(parseRelayToken(opening, relayData), token);
  for (int i = 0; i < 500 && link.dataConnections() == 0; ++i) std::this_thread::sleep_for(10ms);
  {
    std::lock_guard guard(lock);
    ASSERT_EQ(handed.size(), 1u);
  }
  EXPECT_EQ(link.state(), RelayLink::State::welcomed);
  EXPECT_EQ(link.callersUse(), (RelayEndpoint{serverAddress, 3394}));
  // The caller's bytes reach the handed-over connection unchanged.
  buildPacket(out, peerCall, 8, std::array<std::uint8_t, 8>{1, 2, 3, 4, 5, 6, 7, 8});
  ASSERT_NE(sendPacket(*data, out), 0);
  CPacket got;
  EXPECT_EQ(recvPacket(*handed[0], got), peerCall);

  // The relay went away: the link comes back, with the latest ticket.
  link.setTicket(second);
  control->close();
  auto [again, helloAgain] = next();
  said = parseRelayHello(helloAgain);
  ASSERT_TRUE(said);
  EXPECT_EQ(said->ticket, second);

  // A ticket the relay no longer knows: the link stops for a new login.
  buildRelayRefused(out, RelayRefusal::ticket);
  ASSERT_NE(sendPacket(*again, out), 0);
  for (int i = 0; i < 500 && link.state() != RelayLink::State::refused; ++i)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(link.state(), RelayLink::State::refused);
}

}  // namespace
}  // namespace orvalis::net
