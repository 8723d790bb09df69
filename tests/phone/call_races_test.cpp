// Two events of a phone's life, each following the other before the first
// has settled, in both orders: afterwards the phone is idle or in exactly
// one call, every connection it dropped is closed, no call thread is left
// behind, and a new call comes up.

#include <arpa/inet.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>

#include "net/call_owner.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "phone_fixture.h"

namespace orvalis::testing {
namespace {

using namespace std::chrono_literals;
using net::ClientState;
using net::SlotState;

enum class Event { hangUp, dial, incoming, listenerRestart, stopNetwork, loginAnswer, serverChange };
constexpr std::array allEvents = {Event::hangUp,      Event::dial,        Event::incoming,
                                  Event::listenerRestart, Event::stopNetwork, Event::loginAnswer,
                                  Event::serverChange};

std::string nameOf(Event event) {
  switch (event) {
    case Event::hangUp: return "HangUp";
    case Event::dial: return "Dial";
    case Event::incoming: return "Incoming";
    case Event::listenerRestart: return "ListenerRestart";
    case Event::stopNetwork: return "StopNetwork";
    case Event::loginAnswer: return "LoginAnswer";
    case Event::serverChange: return "ServerChange";
  }
  return "?";
}

void PrintTo(Event event, std::ostream* out) { *out << nameOf(event); }

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// Phones the test plays: a callee the phone dials, whose connections are
// accepted as they come, and callers that call the phone. Every far end is
// kept, so that each can be asked afterwards whether the phone closed it.
class FarEnds {
 public:
  FarEnds() {
    callee_ = net::Socket::createTcp();
    EXPECT_TRUE(callee_->listen(loopback, 0));
    acceptor_ = std::thread([this] {
      while (net::SocketPtr s = callee_->accept()) keep(s);
    });
  }
  ~FarEnds() {
    callee_->close();
    acceptor_.join();
  }
  std::uint16_t calleePort() const { return callee_->localPort(); }

  void call(std::uint16_t port) {
    const net::SocketPtr s = net::Socket::createTcp();
    if (!s->connect(loopback, port)) return;  // nothing listens now
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, 200000001);
    net::writeInt32(numbers, 4, 300000003);
    net::CPacket request;
    net::buildPacket(request, net::peerCall, numbers.size(), numbers);
    net::sendPacket(*s, request);
    keep(s);
  }

  // Far ends the phone has not closed: each is read until the phone's
  // side closes it or stays silent for a while.
  std::vector<net::SocketPtr> open() {
    std::vector<net::SocketPtr> all;
    {
      std::lock_guard guard(lock_);
      all = far_;
    }
    std::vector<net::SocketPtr> live;
    for (const net::SocketPtr& s : all) {
      if (!closedByThePhone(*s)) live.push_back(s);
    }
    return live;
  }

  // The latest connection from the phone to the callee, once it came.
  net::SocketPtr latestDialled(std::size_t before) {
    for (int i = 0; i < 500; ++i) {
      {
        std::lock_guard guard(lock_);
        if (dialled_.size() > before) return dialled_.back();
      }
      std::this_thread::sleep_for(10ms);
    }
    return nullptr;
  }
  std::size_t dialledCount() {
    std::lock_guard guard(lock_);
    return dialled_.size();
  }

 private:
  // Reads what is left until the end of the stream, or until the phone's
  // side has been silent for a while.
  static bool closedByThePhone(net::Socket& s) {
    s.setDeadline(net::Socket::Clock::now() + 300ms);
    std::array<std::uint8_t, 512> bytes{};
    for (;;) {
      const ssize_t n = s.recv(bytes);
      if (n > 0) continue;
      return n == 0 || errno != ETIMEDOUT;
    }
  }
  void keep(const net::SocketPtr& s) {
    std::lock_guard guard(lock_);
    far_.push_back(s);
    if (s->localPort() == callee_->localPort()) dialled_.push_back(s);
  }

  net::SocketPtr callee_;
  std::mutex lock_;
  std::vector<net::SocketPtr> far_, dialled_;
  std::thread acceptor_;
};

class CallRaces : public PhoneTest, public ::testing::WithParamInterface<Event> {
 protected:
  void SetUp() override {
    loggedInPhone();
    phone().cnf.dynamicPort = 1;
  }

  void run(Event event) {
    switch (event) {
      case Event::hangUp:
        phone().hangUp();
        break;
      case Event::dial:
        // The dial key: a search when idle, the answer when ringing.
        phone().dial(300000002);
        if (slotState(net::reqFindUser) == SlotState::slotQueued) {
          std::vector<std::uint8_t> found(net::userFoundSize);
          std::memcpy(found.data() + 4, &loopback, 4);
          found[8] = static_cast<std::uint8_t>(far_.calleePort() & 0xFF);
          found[9] = static_cast<std::uint8_t>(far_.calleePort() >> 8);
          finish(net::reqFindUser, net::ansUserFound, found);
          phone().tick();
        }
        break;
      case Event::incoming:
        far_.call(phone().cnf.userPort.get());
        break;
      case Event::listenerRestart:
        phone().restartListener();
        phone().tick();  // stopped now, started again two ticks later
        break;
      case Event::stopNetwork:
        net::stopNetwork(phone().callState);
        break;
      case Event::loginAnswer:
        answerLogin();
        phone().tick();
        break;
      case Event::serverChange:
        phone().leaveServer();
        break;
    }
  }

  // Plays the server: whatever is queued is answered, a login with a new
  // ticket.
  void answerLogin() {
    if (slotState(net::reqLogin) == SlotState::slotIdle) {
      phone().login(200000001, "secret", loopback, phone().cnf.userPort.get());
    }
    ++ticket_;
    finish(net::reqLogin, net::ansLoggedIn, {ticket_, 2, 3, 4, 5, 6, 7, 8});
  }
  void settle() {
    for (int i = 0; i < 10; ++i) {
      for (const std::int16_t slot : {net::reqLogout, net::reqFindUser}) {
        if (slotState(slot) == SlotState::slotQueued) finish(slot, net::ansFailed);
      }
      if (slotState(net::reqLogin) == SlotState::slotQueued) answerLogin();
      phone().tick();
      std::this_thread::sleep_for(5ms);
    }
  }

  void expectOneCallAtMost(const std::string& what) {
    const ClientState state = phone().callState.stateClient.load();
    const net::SocketPtr socket = phone().callState.sockClient.get();
    const std::vector<net::SocketPtr> live = far_.open();
    if (state == ClientState::clientIdle) {
      EXPECT_FALSE(socket) << what;
      EXPECT_TRUE(live.empty()) << what << ": " << live.size() << " connections left open";
    } else {
      EXPECT_TRUE(socket && socket->isOpen()) << what << " state " << static_cast<int>(state);
      EXPECT_EQ(live.size(), 1u) << what << " state " << static_cast<int>(state);
    }
  }

  void hangUpAndReap(const std::string& what) {
    phone().hangUp();
    for (int i = 0; i < 500 && phone().callThreads() != 0; ++i) {
      std::this_thread::sleep_for(10ms);
      phone().tick();
    }
    EXPECT_EQ(phone().callThreads(), 0u) << what;
    EXPECT_TRUE(far_.open().empty()) << what;
  }

  void expectANewCallComesUp(const std::string& what) {
    settle();
    if (phone().serverState.load() != phone::ServerState::loggedIn) {
      answerLogin();
      phone().tick();
    }
    ticks(4);  // a listener restart that was still counting down
    const std::size_t before = far_.dialledCount();
    run(Event::dial);
    const net::SocketPtr callee = far_.latestDialled(before);
    ASSERT_TRUE(callee) << what;
    callee->setDeadline(net::Socket::Clock::now() + 5s);
    net::CPacket message;
    ASSERT_EQ(net::recvPacket(*callee, message), net::peerCall) << what;
    net::buildPacket(message, net::peerAccept, 4, std::array<std::uint8_t, 4>{});
    net::sendPacket(*callee, message);
    EXPECT_EQ(net::recvPacket(*callee, message), net::peerAccept) << what;
    for (int i = 0; i < 500 && phone().callState.stateClient.load() != ClientState::clientTalk; ++i)
      std::this_thread::sleep_for(10ms);
    EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientTalk) << what;
  }

  FarEnds far_;
  std::uint8_t ticket_ = 1;
};

// The event of the parameter, then each other one: with every event a
// parameter, each pair runs in both orders.
TEST_P(CallRaces, EachOtherEventFollowsIt) {
  const Event first = GetParam();
  for (const Event second : allEvents) {
    if (second == first) continue;
    const std::string what = nameOf(first) + " then " + nameOf(second);
    // Each pair starts from a dial under way.
    run(Event::dial);
    run(first);
    run(second);
    settle();
    expectOneCallAtMost(what);
    hangUpAndReap(what);
    expectANewCallComesUp(what);
    hangUpAndReap(what + ", the new call");
    if (HasFatalFailure()) return;
  }
}

INSTANTIATE_TEST_SUITE_P(Events, CallRaces, ::testing::ValuesIn(allEvents),
                         [](const auto& info) { return nameOf(info.param); });

}  // namespace
}  // namespace orvalis::testing
