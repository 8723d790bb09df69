// The listener against callers played by the test.

#include "net/listener.h"

#include "call_fakes.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;
using namespace testing;

// Connects to the listener and sends a call request from caller.
SocketPtr callFrom(std::uint16_t port, std::int32_t caller) {
  SocketPtr s = Socket::createTcp();
  EXPECT_TRUE(s->connect(loopback, port));
  std::array<std::uint8_t, 8> numbers{};
  writeInt32(numbers, 0, 200000001);
  writeInt32(numbers, 4, caller);
  sendCode(*s, peerCall, numbers);
  return s;
}

std::uint16_t listening(FakeCallHost& host) {
  EXPECT_TRUE(eventually([&] { return host.call.stateBind.load() == BindState::bindListening; }));
  return host.port.load();
}

TEST(Listener, SystemChosenPortIsAnnouncedAndASecondCallerIsBusy) {
  FakeCallHost host;
  CBind bind(host);
  const std::uint16_t port = listening(host);
  ASSERT_NE(port, 0);
  EXPECT_TRUE(host.call.refreshLocalPort.load());

  const SocketPtr caller = callFrom(port, 300000003);
  ASSERT_TRUE(eventually([&] { return host.shown(CallText::inputCall); }));
  EXPECT_EQ(host.state(), ClientState::clientIncoming);
  EXPECT_EQ(host.fields.number.load(), 300000003);
  EXPECT_TRUE(host.fields.numberChanged.load());

  const SocketPtr third = callFrom(port, 300000004);
  EXPECT_EQ(recvCode(*third), peerBusy);
  EXPECT_EQ(recvCode(*third), 0);  // and closed
  EXPECT_EQ(host.fields.number.load(), 300000003);
  EXPECT_EQ(host.state(), ClientState::clientIncoming);

  stopNetwork(host.call);  // ends the listener and the ringing call
  EXPECT_TRUE(eventually([&] { return host.call.stateBind.load() == BindState::bindStopped; }));
}

TEST(Listener, RefusesWhileLoggedOutBlackListedCallersAndOtherMessages) {
  FakeCallHost host;
  CBind bind(host);
  const std::uint16_t port = listening(host);

  host.logged = false;
  EXPECT_EQ(recvCode(*callFrom(port, 300000003)), 0);
  EXPECT_FALSE(host.fields.numberChanged.load());  // not even read

  host.logged = true;
  host.group = 2;
  EXPECT_EQ(recvCode(*callFrom(port, 300000005)), 0);
  EXPECT_EQ(host.state(), ClientState::clientIdle);
  EXPECT_EQ(host.fields.number.load(), 300000005);  // still shown
  EXPECT_EQ(host.fields.numberType.load(), 2);

  host.group = 0;
  const SocketPtr other = Socket::createTcp();
  ASSERT_TRUE(other->connect(loopback, port));
  sendCode(*other, peerFloorRequest);  // code 6 or any other: closed
  EXPECT_EQ(recvCode(*other), 0);
  EXPECT_EQ(host.state(), ClientState::clientIdle);
  stopNetwork(host.call);
}

TEST(Listener, SilentConnectionIsDroppedAndARealCallGetsThrough) {
  FakeCallHost host;
  CBind bind(host, 200ms);
  const std::uint16_t port = listening(host);
  const SocketPtr silent = Socket::createTcp();
  ASSERT_TRUE(silent->connect(loopback, port));
  const SocketPtr caller = callFrom(port, 300000003);
  ASSERT_TRUE(eventually([&] { return host.state() == ClientState::clientIncoming; }));
  EXPECT_EQ(recvCode(*silent), 0);
  // The call keeps its connection: the time limit was for the first message.
  std::this_thread::sleep_for(300ms);
  EXPECT_EQ(host.state(), ClientState::clientIncoming);
  stopNetwork(host.call);
}

TEST(Listener, StoppingTheNetworkDoesNotWaitForASilentConnection) {
  FakeCallHost host;
  auto bind = std::make_unique<CBind>(host, std::chrono::hours(1));
  const std::uint16_t port = listening(host);
  const SocketPtr silent = Socket::createTcp();
  ASSERT_TRUE(silent->connect(loopback, port));
  ASSERT_TRUE(eventually([&] { return static_cast<bool>(host.call.sockPending); }));
  stopNetwork(host.call);
  bind.reset();  // would hang for the hour
  EXPECT_EQ(recvCode(*silent), 0);
}

TEST(Listener, TakenPortIsReportedAndNoListenerRuns) {
  const SocketPtr taken = Socket::createTcp();
  ASSERT_TRUE(taken->listen(htonl(INADDR_ANY), 0));
  FakeCallHost host;
  host.cnf.dynamicPort = 0;
  host.cnf.userPort = taken->localPort();
  {
    CBind bind(host);
  }
  EXPECT_TRUE(host.portTaken.load());
  EXPECT_EQ(host.call.stateBind.load(), BindState::bindStopped);
  EXPECT_FALSE(host.call.sockBind);
}

}  // namespace
}  // namespace orvalis::net
