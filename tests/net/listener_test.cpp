// The listener against callers played by the test.

#include "net/listener.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include "call_fakes.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;
using namespace testing;

SocketPtr connectTo(std::uint16_t port) {
  SocketPtr s = Socket::createTcp();
  EXPECT_TRUE(s->connect(loopback, port));
  return s;
}

// Connects to the listener and sends a call request from caller.
SocketPtr callFrom(std::uint16_t port, std::int32_t caller) {
  SocketPtr s = connectTo(port);
  std::array<std::uint8_t, 8> numbers{};
  writeInt32(numbers, 0, 200000001);
  writeInt32(numbers, 4, caller);
  sendCode(*s, peerCall, numbers);
  return s;
}

// The listener closed the connection without a word, within five seconds.
bool closedByPeer(Socket& socket) {
  socket.setDeadline(Socket::Clock::now() + std::chrono::seconds(5));
  std::array<std::uint8_t, 1> byte{};
  return socket.recv(byte) == 0;
}

std::uint16_t listening(FakeCallHost& host) {
  EXPECT_TRUE(eventually([&] { return host.call.stateBind.load() == BindState::bindListening; }));
  return host.port.load();
}

// A listening CBind that is stopped and joined before the host goes, also
// when a test gives up early.
struct Listening {
  explicit Listening(FakeCallHost& h,
                     std::chrono::milliseconds firstMessageWait = firstMessageLimit,
                     CBind::Hook beforeTake = {})
      : host(h),
        bind(std::make_unique<CBind>(h, firstMessageWait, std::move(beforeTake))),
        port(listening(h)) {}
  ~Listening() { stop(); }
  void stop() {
    stopNetwork(host.call);
    bind.reset();
  }

  FakeCallHost& host;
  std::unique_ptr<CBind> bind;
  const std::uint16_t port;
};

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

TEST(Listener, SilentConnectionsDoNotHoldBackARealCaller) {
  FakeCallHost host;
  Listening listener(host);
  std::vector<SocketPtr> silent;
  for (int i = 0; i < 20; ++i) silent.push_back(connectTo(listener.port));
  ASSERT_TRUE(eventually([&] { return listener.bind->examining() == silent.size(); }));
  // Examined one at a time, they would hold the caller for 100 s.
  const SocketPtr caller = callFrom(listener.port, 300000003);
  EXPECT_TRUE(eventually([&] { return host.shown(CallText::inputCall); }));
}

TEST(Listener, ConnectionsOverTheCapAreClosedAndStoppingEndsEveryExamination) {
  FakeCallHost host;
  Listening listener(host, std::chrono::hours(1));
  std::vector<SocketPtr> silent;
  for (std::size_t i = 0; i < maxExamined; ++i) silent.push_back(connectTo(listener.port));
  ASSERT_TRUE(eventually([&] { return listener.bind->examining() == maxExamined; }));
  EXPECT_TRUE(closedByPeer(*connectTo(listener.port)));  // at once, not after the hour
  EXPECT_EQ(listener.bind->examining(), maxExamined);

  listener.stop();  // would wait for the hour
  for (const SocketPtr& s : silent) EXPECT_TRUE(closedByPeer(*s));
}

TEST(Listener, HangingUpTheOldCallAsANewOneIsTakenLeavesTheNewCallWhole) {
  FakeCallHost host;
  const Connection old;
  std::jthread hangingUp;
  // The old call is hung up as the request arrives, and the new call is
  // taken the moment the state is free.
  Listening listener(host, firstMessageLimit, [&] {
    hangingUp = std::jthread([&] { hangUpCall(host.call); });
    EXPECT_TRUE(eventually([&] { return host.state() == ClientState::clientIdle; }));
  });
  host.call.sockClient.set(old.near);
  host.call.stateClient = ClientState::clientTalk;
  const SocketPtr caller = callFrom(listener.port, 300000003);
  ASSERT_TRUE(eventually([&] { return host.shown(CallText::inputCall); }));
  EXPECT_TRUE(closedByPeer(*old.far));

  // The new caller's connection carries the call on.
  sendCode(*caller, peerAccept, std::array<std::uint8_t, 4>{});
  EXPECT_TRUE(eventually([&] { return host.state() == ClientState::clientTalk; }));
}

TEST(Listener, NoCallStartsOnceTheNetworkIsStopped) {
  FakeCallHost host;
  Listening listener(host, firstMessageLimit, [&] { stopNetwork(host.call); });
  EXPECT_TRUE(closedByPeer(*callFrom(listener.port, 300000003)));
  listener.stop();
  EXPECT_FALSE(host.shown(CallText::inputCall));
  EXPECT_EQ(host.state(), ClientState::clientIdle);
}

// Out of descriptors, the listener's accepts fail; it waits them out and
// takes the caller once there are descriptors again.
TEST(Listener, FailingAcceptsAreRiddenOutAndTheCallerTakenAfter) {
#ifdef __SANITIZE_ADDRESS__
  GTEST_SKIP() << "without a free descriptor the sanitizers' own checks fail";
#endif
  FakeCallHost host;
  Listening listener(host);
  const SocketPtr caller = Socket::createTcp();
  rlimit limit{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
  std::vector<int> filling;
  {
    rlimit tight = limit;
    tight.rlim_cur = 256;
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &tight), 0);
    for (int fd; (fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;) filling.push_back(fd);
    EXPECT_TRUE(caller->connect(loopback, listener.port));
    std::this_thread::sleep_for(3 * acceptRetryPause);
    EXPECT_FALSE(listener.bind->ended());
  }
  for (const int fd : filling) ::close(fd);
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
  std::array<std::uint8_t, 8> numbers{};
  writeInt32(numbers, 4, 300000003);
  sendCode(*caller, peerCall, numbers);
  EXPECT_TRUE(eventually([&] { return host.shown(CallText::inputCall); }));
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
