// What a phone behind a home router announces in its logins: a mapping on
// the router, or its server's call relay, whose calls then reach the
// listener; the router and the relay are played by the test.

#include <arpa/inet.h>

#include <mutex>

#include "net/address.h"
#include "net/packet_io.h"
#include "net/relay_wire.h"
#include "net/requests.h"
#include "phone_fixture.h"

namespace orvalis::testing {
namespace {

using net::SlotState;
using phone::ServerState;

const std::uint32_t homeAddress = *net::parseAddress("192.168.1.20");
const std::uint32_t routerOutside = *net::parseAddress("11.0.0.2");

// A router that maps when told to.
struct Router {
  std::mutex lock;
  bool offers = false;
};

class RouterMapper : public net::PortMapper {
 public:
  explicit RouterMapper(Router& r) : router_(r) {}
  std::optional<net::PortMapping> map(std::uint16_t port, std::chrono::seconds lease,
                                      std::chrono::milliseconds) override {
    std::lock_guard guard(router_.lock);
    if (!router_.offers) return std::nullopt;
    return net::PortMapping{.kind = net::Reach::natpmp, .external = routerOutside,
                            .externalPort = 50000, .internalPort = port, .lease = lease};
  }
  bool stillMapped(net::PortMapping&, std::chrono::milliseconds) override { return true; }
  void unmap(const net::PortMapping&, std::chrono::milliseconds) override {}

 private:
  Router& router_;
};

class ReachLoginTest : public PhoneTest {
 protected:
  void SetUp() override {
    reachOptions.makeNatPmp = [this] { return std::make_unique<RouterMapper>(router_); };
    reachOptions.makeUpnp = nullptr;
    reachOptions.sourceAddress = [](std::uint32_t, std::uint16_t) { return homeAddress; };
    makePhone();
    phone().cnf.userNumber = 200000001;
    phone().cnf.passwd = "secret";
    phone().cnf.passwdLen = 6;
    phone().cnf.serverHost = *net::parseAddress("11.0.0.10");
  }

  // Ticks until a login is queued; its request.
  const net::CPacket& nextLogin() {
    for (int i = 0; i < 200 && slotState(net::reqLogin) != SlotState::slotQueued; ++i) {
      phone().tick();
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
    return request(net::reqLogin);
  }

  Router router_;
};

TEST_F(ReachLoginTest, ALoginAnnouncesTheRoutersMapping) {
  {
    std::lock_guard guard(router_.lock);
    router_.offers = true;
  }
  const net::CPacket& login = nextLogin();
  EXPECT_EQ(net::loginAddress(login), routerOutside);
  EXPECT_EQ(net::loginPort(login), 50000);
  // The transaction must not put the connection's address in its place.
  EXPECT_FALSE(phone().quiryAuth[net::reqLogin].announceFromConnection);
  finish(net::reqLogin, net::ansLoggedIn, {1, 2, 3, 4, 5, 6, 7, 8});
  phone().tick();
  EXPECT_EQ(phone().reachPlan().reach, net::Reach::natpmp);
  EXPECT_EQ(phone().reachableAt(), "11.0.0.2:50000");
  ticks(phone::autoLoginInterval + 1);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);  // announced once
}

TEST_F(ReachLoginTest, WithoutAMappingTheOfferedRelayIsAnnouncedAndItsCallsRing) {
  // The relay, played here on loopback.
  const auto relay = net::Socket::createTcp();
  ASSERT_TRUE(relay->listen(htonl(INADDR_LOOPBACK), 0));
  const net::RelayEndpoint endpoint{htonl(INADDR_LOOPBACK), relay->localPort()};

  // No mapping: the first login announces the private address as before;
  // its answer offers the relay.
  const net::CPacket& first = nextLogin();
  EXPECT_TRUE(phone().quiryAuth[net::reqLogin].announceFromConnection);
  EXPECT_NE(net::loginAddress(first), endpoint.address);
  const net::Ticket ticket{1, 2, 3, 4, 5, 6, 7, 8};
  const auto offer = net::loggedInWithRelay(ticket, endpoint);
  finish(net::reqLogin, net::ansLoggedIn, {offer.begin(), offer.end()});
  phone().tick();
  ASSERT_EQ(phone().serverState.load(), ServerState::loggedIn);

  // A new login announces the relay.
  const net::CPacket& second = nextLogin();
  EXPECT_EQ(net::loginAddress(second), endpoint.address);
  EXPECT_EQ(net::loginPort(second), endpoint.port);
  const net::Ticket renewed{8, 7, 6, 5, 4, 3, 2, 1};
  const auto offerAgain = net::loggedInWithRelay(renewed, endpoint);
  finish(net::reqLogin, net::ansLoggedIn, {offerAgain.begin(), offerAgain.end()});
  phone().tick();
  EXPECT_EQ(phone().reachPlan().reach, net::Reach::relay);

  // The control connection says who it is with a ticket of its session
  // (it may start as soon as the relay is offered).
  const net::SocketPtr control = relay->accept();
  ASSERT_TRUE(control);
  net::CPacket message;
  ASSERT_EQ(net::recvPacket(*control, message), net::relayHello);
  const auto hello = net::parseRelayHello(message);
  EXPECT_EQ(hello->number, 200000001);
  EXPECT_TRUE(hello->ticket == renewed || hello->ticket == ticket);
  net::buildRelayWelcome(message, endpoint);
  net::sendPacket(*control, message);

  // A caller at the relay: the phone opens a data connection, and the
  // caller's request rings.
  const net::RelayToken token{5};
  net::buildRelayToken(message, net::relayOpen, token);
  net::sendPacket(*control, message);
  const net::SocketPtr data = relay->accept();
  ASSERT_TRUE(data);
  ASSERT_EQ(net::recvPacket(*data, message), net::relayData);
  std::array<std::uint8_t, 8> call{};
  net::writeInt32(call, 0, 200000001);
  net::writeInt32(call, 4, 300000003);
  net::buildPacket(message, net::peerCall, 8, call);
  net::sendPacket(*data, message);
  for (int i = 0; i < 500 && phone().callState.stateClient.load() != net::ClientState::clientIncoming; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(phone().callState.stateClient.load(), net::ClientState::clientIncoming);
  EXPECT_EQ(phone().number.load(), 300000003);
  phone().hangUp();
  relay->close();
}

}  // namespace
}  // namespace orvalis::testing
