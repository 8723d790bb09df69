// The call thread against a far end played by the test.

#include "net/call_thread.h"

#include <netinet/tcp.h>

#include "call_fakes.h"
#include "support/bounded_wait.h"

namespace orvalis::net {
namespace {

using namespace testing;
using namespace std::chrono_literals;

std::array<std::uint8_t, 4> flags(std::int32_t mode) {
  std::array<std::uint8_t, 4> bytes{};
  writeInt32(bytes, 0, mode);
  return bytes;
}

// Voice leaves at once, marked, with little held back in the kernel.
void expectVoiceClass(const Socket& socket) {
  EXPECT_EQ(socket.intOption(IPPROTO_TCP, TCP_NODELAY), 1);
  EXPECT_EQ(socket.intOption(IPPROTO_IP, IP_TOS), voiceTypeOfService);
  EXPECT_EQ(socket.intOption(IPPROTO_TCP, TCP_NOTSENT_LOWAT), voiceUnsentLimit);
}

// An incoming call that rings, with our side's socket in sockClient.
std::unique_ptr<CClient> ringing(FakeCallHost& host, const Connection& link) {
  const TakenCall taken = takeIncoming(host.call, link.near);
  EXPECT_EQ(taken.outcome, IncomingTake::taken);
  return std::make_unique<CClient>(host, taken.generation, link.near);
}

// An outgoing call to port on loopback, begun as a dial begins it.
CallGeneration dialled(FakeCallHost& host, std::uint16_t port) {
  const auto generation = beginOutgoing(host.call, PeerAddress{loopback, htons(port), 0});
  EXPECT_TRUE(generation);
  return generation.value_or(0);
}

// An outgoing call through a proxy that accepts and never answers the
// greeting; the proxy's listening socket.
SocketPtr callThroughSilentProxy(FakeCallHost& host) {
  const SocketPtr proxy = Socket::createTcp();
  EXPECT_TRUE(proxy->listen(loopback, 0));
  host.cnf.useSocks5CallOut = 1;
  host.cnf.socks5Host = loopback;
  host.cnf.socks5Port = proxy->localPort();
  return proxy;
}

TEST(CallThread, AnsweredCallFollowsTheFloorTableAndEndsOnThePeersHangUp) {
  FakeCallHost host;
  host.cnf.msa = callModePushToTalk;
  Connection link;
  auto client = ringing(host, link);
  Socket& peer = *link.far;

  sendCode(peer, peerAccept, flags(callModeDetector));
  ASSERT_TRUE(eventually([&] { return host.call.stateLabel[labelPtt].load() == 1; }));
  EXPECT_EQ(host.state(), ClientState::clientTalk);
  EXPECT_EQ(host.fields.callMode.load(), callModePushToTalk | callModeDetector);
  EXPECT_TRUE(host.shown(CallText::inputCall));
  EXPECT_TRUE(host.shown(CallText::userOnline));
  EXPECT_EQ(host.captures.load(), 0);  // push-to-talk: the callee listens
  EXPECT_EQ(link.near->intOption(SOL_SOCKET, SO_KEEPALIVE), 1);
  expectVoiceClass(*link.near);
  EXPECT_TRUE(host.call.voiceSender.get());

  // Listening: a request is granted, an offer taken.
  sendCode(peer, peerFloorRequest);
  EXPECT_EQ(recvCode(peer), peerFloorGrant);
  EXPECT_EQ(host.floor(), Floor::listening);
  sendCode(peer, peerFloorOffer);
  EXPECT_EQ(recvCode(peer), peerFloorTake);
  EXPECT_EQ(host.floor(), Floor::talking);
  EXPECT_EQ(host.captures.load(), 1);
  sendCode(peer, peerFloorOffer);  // offered while already talking
  EXPECT_EQ(recvCode(peer), peerFloorTake);
  EXPECT_EQ(host.floor(), Floor::talking);

  // Both asked at once: each refuses the other, both end listening.
  host.fields.floor = Floor::pending;
  sendCode(peer, peerFloorRequest);
  EXPECT_EQ(recvCode(peer), peerFloorRefuse);
  sendCode(peer, peerFloorRefuse);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::listening; }));

  // Our offer crossed the peer's request: we keep, then grant its request.
  host.fields.floor = Floor::pending;
  sendCode(peer, peerFloorKeep);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::talking; }));
  sendCode(peer, peerFloorRequest);
  EXPECT_EQ(recvCode(peer), peerFloorGrant);
  EXPECT_EQ(host.floor(), Floor::listening);
  EXPECT_EQ(host.playbacks.load(), 1);
  // The peer's side of the same crossing: it asked, we offered.
  host.fields.floor = Floor::pending;
  sendCode(peer, peerFloorOffer);
  EXPECT_EQ(recvCode(peer), peerFloorKeep);
  EXPECT_EQ(host.floor(), Floor::pending);
  sendCode(peer, peerFloorGrant);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::talking; }));
  sendCode(peer, peerFloorTake);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::listening; }));

  // Voice: whole frames only; an accept during the call changes nothing.
  sendCode(peer, peerVoiceFirst, std::vector<std::uint8_t>(100, 7));
  sendCode(peer, peerAccept, flags(0));
  sendCode(peer, peerVoice, std::vector<std::uint8_t>(33, 7));
  ASSERT_TRUE(eventually([&] { return host.frames.load() == 4; }));
  EXPECT_EQ(host.spurts.load(), 1);
  EXPECT_EQ(host.state(), ClientState::clientTalk);

  sendCode(peer, peerHangUp);
  EXPECT_EQ(recvCode(peer), peerHangUp);  // said back before closing
  client.reset();
  EXPECT_EQ(host.state(), ClientState::clientIdle);
  EXPECT_FALSE(host.call.sockClient);
  EXPECT_TRUE(host.shown(CallText::userDisconnected));
  EXPECT_EQ(host.call.stateLabel[labelPtt].load(), 0);
  EXPECT_EQ(host.fields.callMode.load(), 0);
  EXPECT_FALSE(host.call.voiceSender.get());
}

TEST(CallThread, OutgoingCallSendsBothNumbersAndTheCallerAsksForTheFloor) {
  FakeCallHost host;
  host.cnf.userNumber = 200000001;
  host.cnf.msa = 0;
  host.fields.number = 200000002;
  const SocketPtr callee = Socket::createTcp();
  ASSERT_TRUE(callee->listen(loopback, 0));
  auto client = std::make_unique<CClient>(host, dialled(host, callee->localPort()));

  const SocketPtr peer = callee->accept();
  CPacket call;
  ASSERT_EQ(recvPacket(*peer, call), peerCall);
  EXPECT_EQ(readInt32(call.payload, 0), 200000002);
  EXPECT_EQ(readInt32(call.payload, 4), 200000001);
  EXPECT_TRUE(host.shown(CallText::outputCall));
  EXPECT_EQ(host.call.sockClient.get()->intOption(IPPROTO_TCP, TCP_USER_TIMEOUT), 20'000);
  expectVoiceClass(*host.call.sockClient.get());

  sendCode(*peer, peerAccept, flags(callModePushToTalk));  // the callee wants push-to-talk
  CPacket accept;
  ASSERT_EQ(recvPacket(*peer, accept), peerAccept);
  EXPECT_EQ(readInt32(accept.payload, 0), 0);  // our own mode
  EXPECT_EQ(recvCode(*peer), peerFloorRequest);
  EXPECT_EQ(host.fields.callMode.load(), callModePushToTalk);
  sendCode(*peer, peerFloorGrant);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::talking; }));

  peer->close();  // the connection breaks
  client.reset();
  EXPECT_EQ(host.state(), ClientState::clientIdle);
  EXPECT_TRUE(host.shown(CallText::userDisconnected));
}

TEST(CallThread, WithoutPushToTalkBothSidesCaptureAtOnce) {
  FakeCallHost host;
  Connection link;
  auto client = ringing(host, link);
  sendCode(*link.far, peerAccept, flags(0));
  ASSERT_TRUE(eventually([&] { return host.captures.load() == 1; }));
  EXPECT_EQ(host.call.stateLabel[labelPtt].load(), 0);
  // The own user hangs up: the receive fails and nothing is said back.
  hangUpCall(host.call);
  client.reset();
  EXPECT_EQ(recvCode(*link.far), 0);
  EXPECT_TRUE(host.shown(CallText::userDisconnected));
}

TEST(CallThread, BusyOrUnreachableCalleeGivesTheStateBack) {
  for (const bool busy : {true, false}) {
    FakeCallHost host;
    const SocketPtr callee = Socket::createTcp();
    ASSERT_TRUE(callee->listen(loopback, 0));
    const std::uint16_t port = callee->localPort();
    if (!busy) callee->close();  // nothing listens there any more
    auto client = std::make_unique<CClient>(host, dialled(host, port));
    if (busy) {
      const SocketPtr peer = callee->accept();
      EXPECT_EQ(recvCode(*peer), peerCall);
      sendCode(*peer, peerBusy);
    }
    client.reset();
    EXPECT_EQ(host.state(), ClientState::clientIdle) << busy;
    EXPECT_TRUE(host.shown(busy ? CallText::userDisconnected : CallText::userInaccessable)) << busy;
    EXPECT_FALSE(host.call.sockClient);
  }
}

TEST(CallThread, HangUpWhileConnectingThroughASilentProxyAbortsTheConnect) {
  FakeCallHost host;
  const SocketPtr proxy = callThroughSilentProxy(host);
  auto client = std::make_unique<CClient>(host, dialled(host, 9));
  const SocketPtr held = proxy->accept();
  ASSERT_TRUE(held);

  hangUpCall(host.call);
  client.reset();  // returns: the dialogue was aborted
  EXPECT_TRUE(host.shown(CallText::userInaccessable));
  EXPECT_EQ(host.state(), ClientState::clientIdle);
}

TEST(CallThread, ACalleeNotReachedInTimeIsInaccessible) {
  const ::orvalis::testing::FullListener callee;
  for (const bool proxy : {true, false}) {
    if (!proxy && !callee.full) GTEST_SKIP() << "the callee's accept queue never filled";
    FakeCallHost host;
    SocketPtr silent;
    if (proxy) silent = callThroughSilentProxy(host);
    const CallGeneration generation = dialled(host, proxy ? 9 : callee.port());
    auto client = std::make_unique<CClient>(host, generation, nullptr, 200ms);
    EXPECT_TRUE(eventually([&] { return host.shown(CallText::userInaccessable); })) << proxy;
    host.call.sockClient.closeAndReset();  // frees a thread that would not give up
    client.reset();
    EXPECT_EQ(host.state(), ClientState::clientIdle) << proxy;
  }
}

// A thread whose call was hung up, at each step of its way, gives the
// attempt its last word and leaves the next call whole.
TEST(CallThread, AThreadOfAHungUpCallLeavesTheNextCallWhole) {
  // Hung up as the thread sets out to connect, and caller C taken at once:
  // the thread connects nothing and leaves C's connection ringing.
  {
    FakeCallHost host;
    const SocketPtr proxy = callThroughSilentProxy(host);
    const Connection next;
    host.onFirstSettings = [&] {
      hangUpCall(host.call);
      EXPECT_EQ(takeIncoming(host.call, next.near).outcome, IncomingTake::taken);
    };
    auto client = std::make_unique<CClient>(host, dialled(host, 9));
    client.reset();  // at once: no connect was made
    EXPECT_TRUE(host.shown(CallText::userInaccessable));
    EXPECT_EQ(host.state(), ClientState::clientIncoming);
    EXPECT_EQ(host.call.sockClient.get(), next.near);
    EXPECT_TRUE(next.near->isOpen());
  }
  // Hung up before the thread ran, or hung up and dialled again: the new
  // dial's state is not this thread's to place or to give back.
  for (const bool redial : {false, true}) {
    FakeCallHost host;
    const SocketPtr proxy = callThroughSilentProxy(host);
    const CallGeneration first = dialled(host, 9);
    hangUpCall(host.call);
    if (redial) dialled(host, 9);
    auto client = std::make_unique<CClient>(host, first, nullptr, 200ms);
    client.reset();
    EXPECT_TRUE(host.shown(CallText::userInaccessable)) << redial;
    EXPECT_EQ(host.state(), redial ? ClientState::clientOutgoing : ClientState::clientIdle);
    EXPECT_FALSE(host.call.sockClient) << redial;
  }
  // Hung up and dialled again after the handshake, before the call is up:
  // the new dial is not moved to talking, and the end of the old call
  // resets nothing the new one has set.
  {
    FakeCallHost host;
    Connection link;
    host.onStopVoice = [&] {
      hangUpCall(host.call);
      dialled(host, 9);
      host.fields.callMode = callModePushToTalk;
    };
    auto client = ringing(host, link);
    sendCode(*link.far, peerAccept, flags(0));
    client.reset();
    EXPECT_EQ(host.state(), ClientState::clientOutgoing);
    EXPECT_EQ(host.fields.callMode.load(), callModePushToTalk);
    EXPECT_FALSE(host.call.voiceSender.get());
    EXPECT_EQ(recvCode(*link.far), 0);  // closed, with no word of the next call
  }
}

TEST(CallThread, AFloorKeyBehindAStalledPeerGivesUpAndEndsTheCall) {
  FakeCallHost host;
  host.cnf.msa = callModePushToTalk;
  Connection link(::orvalis::testing::makeTightLoopbackConnection());
  auto client = ringing(host, link);
  sendCode(*link.far, peerAccept, flags(0));
  sendCode(*link.far, peerFloorOffer);
  ASSERT_TRUE(eventually([&] { return host.floor() == Floor::talking; }));

  // The peer stops reading: our voice fills the connection until the
  // sender waits in a send, holding the send lock. One message a
  // millisecond: a sender still sending drops none of them.
  const auto sender = host.call.voiceSender.get();
  ASSERT_TRUE(sender);
  CPacket voice;
  buildPacket(voice, peerVoice, 15 * gsmFrameSize, std::vector<std::uint8_t>(15 * gsmFrameSize));
  ASSERT_TRUE(eventually([&] {
    sender->post(voice);
    return sender->dropped() > 200;
  }));
  EXPECT_TRUE(::orvalis::testing::finishesWithin(
      5s, [&] { offerFloor(host.call, host.fields); },
      [&] { host.call.sockClient.closeAndReset(); }));
  EXPECT_TRUE(eventually([&] { return host.state() == ClientState::clientIdle; }));
  client.reset();
  EXPECT_TRUE(host.shown(CallText::userDisconnected));
  EXPECT_FALSE(host.call.sockClient);
}

TEST(CallThread, AFinishedCallLeavesTheNextCallAlone) {
  FakeCallHost host;
  Connection first, second;
  auto client = ringing(host, first);
  sendCode(*first.far, peerAccept, flags(0));
  ASSERT_TRUE(eventually([&] { return host.state() == ClientState::clientTalk; }));
  // The user hung up and the next call already rings on its own socket
  // when the first peer's hang-up arrives.
  hangUpCall(host.call);
  ASSERT_EQ(takeIncoming(host.call, second.near).outcome, IncomingTake::taken);
  sendCode(*first.far, peerHangUp);
  client.reset();
  EXPECT_EQ(host.state(), ClientState::clientIncoming);
  EXPECT_EQ(host.call.sockClient.get(), second.near);
  EXPECT_TRUE(second.near->isOpen());
}

}  // namespace
}  // namespace orvalis::net
