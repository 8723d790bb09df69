// The call relay of the real orvalis-server on loopback: a callee keeps its
// control connection, a caller speaks the peer protocol to the relay, and
// what either sends reaches the other unchanged; and what it refuses.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/relay_wire.h"
#include "net/requests.h"
#include "server/wire_client.h"
#include "support/child_process.h"
#include "support/temp_dir.h"

namespace orvalis::server {
namespace {

using namespace std::chrono_literals;
using orvalis::testing::ChildProcess;

constexpr std::int32_t alice = 200000001;
constexpr std::int32_t bob = 200000002;
const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

class CallRelayProcess : public ::testing::Test {
 protected:
  void start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--port", "0", "--bind", "127.0.0.1", "--db",
                                  dir_.file("users.db").string(), "--hash-cost", "min"};
    args.insert(args.end(), extra.begin(), extra.end());
    server_ = std::make_unique<ChildProcess>(ORVALIS_SERVER_PATH, args);
    const auto line = server_->waitForLine("listening on ", 10s);
    ASSERT_TRUE(line) << server_->errText();
    port_ = static_cast<std::uint16_t>(std::stoi(*line));
    // Said before "listening on", when there is one.
    if (const auto relay = server_->waitForLine("call relay on ", 0ms))
      relayPort_ = static_cast<std::uint16_t>(std::stoi(*relay));
  }

  // Registers and logs the number in; the login's answer.
  net::CPacket login(std::int32_t number) {
    testing::exchange(port_, testing::packet(net::reqRegister, net::registerPayload(number, "secret1")));
    const auto in = testing::exchange(
        port_, testing::packet(net::reqLogin, net::loginPayload(number, "secret1", 0, 5000)));
    EXPECT_TRUE(in && in->code == net::ansLoggedIn);
    return in.value_or(net::CPacket{});
  }

  net::SocketPtr connectRelay() {
    net::SocketPtr s;
    EXPECT_EQ(net::connectTcp(s, loopback, relayPort_, net::Socket::Clock::now() + 5s),
              net::ConnectResult::ok);
    s->setDeadline(net::Socket::Clock::now() + 20s);  // nothing here may hang the test
    return s;
  }
  // A control connection said hello with the ticket; its first answer.
  std::pair<net::SocketPtr, net::CPacket> control(std::int32_t number, const net::Ticket& ticket) {
    auto s = connectRelay();
    net::CPacket m;
    net::buildRelayHello(m, number, ticket);
    net::sendPacket(*s, m);
    net::CPacket answer;
    net::recvPacket(*s, answer);
    return {s, answer};
  }
  // A caller that asked the relay for the number.
  net::SocketPtr caller(std::int32_t callee) {
    auto s = connectRelay();
    std::array<std::uint8_t, 8> numbers{};
    net::writeInt32(numbers, 0, callee);
    net::writeInt32(numbers, 4, alice);
    net::CPacket m;
    net::buildPacket(m, net::peerCall, 8, numbers);
    net::sendPacket(*s, m);
    return s;
  }
  // True when the far side closed the connection within the limit.
  static bool closedWithin(net::Socket& s, std::chrono::milliseconds limit) {
    s.setDeadline(net::Socket::Clock::now() + limit);
    std::array<std::uint8_t, 64> buffer{};
    for (;;) {
      const ssize_t n = s.recv(buffer);
      if (n == 0) return true;
      if (n < 0) return errno != ETIMEDOUT && errno != EAGAIN;
    }
  }

  // SIGTERM ends both listeners and the program with status 0, and no
  // sanitizer spoke up (its reports go to the program's standard error).
  void stopsCleanly() {
    if (!server_) return;
    EXPECT_EQ(server_->stop(), 0) << server_->errText();
    EXPECT_EQ(server_->errText().find("Sanitizer"), std::string::npos) << server_->errText();
    EXPECT_EQ(server_->errText().find("runtime error"), std::string::npos) << server_->errText();
  }
  void TearDown() override { stopsCleanly(); }

  // Sets up a call from alice to the number, whose callee holds control;
  // the caller's and the callee's data connection, the request read.
  std::pair<net::SocketPtr, net::SocketPtr> relayedCall(std::int32_t callee, net::Socket& control) {
    auto call = caller(callee);
    net::CPacket m;
    EXPECT_EQ(net::recvPacket(control, m), net::relayOpen);
    auto data = connectRelay();
    net::buildRelayToken(m, net::relayData, net::parseRelayToken(m, net::relayOpen).value_or(net::RelayToken{}));
    net::sendPacket(*data, m);
    EXPECT_EQ(net::recvPacket(*data, m), net::peerCall);
    return {call, data};
  }

  // True once the server's log holds the text; it arrives through a pipe.
  bool logged(std::string_view text) const {
    for (int i = 0; i < 250; ++i) {
      if (server_->errText().find(text) != std::string::npos) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }

  orvalis::testing::TempDir dir_;
  std::unique_ptr<ChildProcess> server_;
  std::uint16_t port_ = 0;
  std::uint16_t relayPort_ = 0;
};

TEST_F(CallRelayProcess, JoinsACallerToItsCalleeAndPassesTheirBytesUnchanged) {
  start();
  const net::CPacket in = login(bob);
  const auto offer = net::parseRelayOffer(in);
  ASSERT_TRUE(offer) << "the login answer offers no relay";
  EXPECT_EQ(*offer, (net::RelayEndpoint{loopback, relayPort_}));

  auto [bobControl, welcome] = control(bob, net::parseTicket(in));
  ASSERT_EQ(welcome.code, net::relayWelcome);
  EXPECT_EQ(net::parseRelayWelcome(welcome), (net::RelayEndpoint{loopback, relayPort_}));

  const auto call = caller(bob);
  net::CPacket open;
  ASSERT_EQ(net::recvPacket(*bobControl, open), net::relayOpen);
  const auto data = connectRelay();
  net::CPacket m;
  net::buildRelayToken(m, net::relayData, *net::parseRelayToken(open, net::relayOpen));
  net::sendPacket(*data, m);
  // The callee reads the request as the caller made it, then they talk.
  ASSERT_EQ(net::recvPacket(*data, m), net::peerCall);
  EXPECT_EQ(net::readInt32(m.body(), 0), bob);
  EXPECT_EQ(net::readInt32(m.body(), 4), alice);
  std::vector<std::uint8_t> voice(20'000);
  std::mt19937 random(7);
  for (auto& b : voice) b = static_cast<std::uint8_t>(random());
  ASSERT_EQ(data->send(voice), static_cast<ssize_t>(voice.size()));
  std::vector<std::uint8_t> heard(voice.size());
  ASSERT_EQ(net::recvAll(*call, heard), static_cast<int>(heard.size()));
  EXPECT_EQ(heard, voice);
  ASSERT_EQ(call->send(std::span(voice).first(1000)), 1000);
  std::vector<std::uint8_t> back(1000);
  ASSERT_EQ(net::recvAll(*data, back), 1000);
  EXPECT_TRUE(std::equal(back.begin(), back.end(), voice.begin()));
  // Either end's hang-up ends the other.
  data->close();
  EXPECT_TRUE(closedWithin(*call, 5s));
  EXPECT_TRUE(logged("call-relay from=200000001 to=200000002 up=1014")) << server_->errText();

  // A signal stops the server with a call still relayed and a control
  // connection open, and both are closed.
  auto [ongoing, ongoingData] = relayedCall(bob, *bobControl);
  stopsCleanly();
  EXPECT_TRUE(closedWithin(*ongoing, 2s));
  EXPECT_TRUE(closedWithin(*bobControl, 2s));
}

TEST_F(CallRelayProcess, RefusesWhatItCannotJoin) {
  start({"--max-relayed-calls", "1"});
  // Nobody by that number holds a control connection: the caller is closed.
  EXPECT_TRUE(closedWithin(*caller(bob), 2s));
  // A ticket that is not bob's current one is refused.
  const net::Ticket ticket = net::parseTicket(login(bob));
  auto [stranger, refusal] = control(bob, net::Ticket{9, 9, 9, 9, 9, 9, 9, 9});
  EXPECT_EQ(refusal.code, net::relayRefused);
  EXPECT_TRUE(closedWithin(*stranger, 2s));
  // So is a hello too short to hold one.
  {
    auto s = connectRelay();
    net::CPacket m;
    const std::array<std::uint8_t, 4> numberOnly{};
    net::buildPacket(m, net::relayHello, 4, numberOnly);
    net::sendPacket(*s, m);
    ASSERT_EQ(net::recvPacket(*s, m), net::relayRefused);
    EXPECT_EQ(m.payload[0], static_cast<std::uint8_t>(net::RelayRefusal::ticket));
  }
  auto [first, welcomed] = control(bob, ticket);
  ASSERT_EQ(welcomed.code, net::relayWelcome) << server_->errText();
  // One control connection per number: the newer one replaces the older.
  auto [second, welcomedAgain] = control(bob, ticket);
  ASSERT_EQ(welcomedAgain.code, net::relayWelcome);
  EXPECT_TRUE(closedWithin(*first, 2s));

  // A callee that opens no data connection: the caller goes after 5 s, and
  // meanwhile the one relayed call allowed is taken.
  const auto waiting = caller(bob);
  net::CPacket open;
  ASSERT_EQ(net::recvPacket(*second, open), net::relayOpen);
  const auto refused = caller(bob);
  EXPECT_TRUE(closedWithin(*refused, 2s));
  EXPECT_TRUE(logged("call-relay full: 1 calls relayed, call to 200000002 refused"))
      << server_->errText();
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_TRUE(closedWithin(*waiting, 10s));
  const double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - asked).count();
  EXPECT_GT(waited, 3.0);
  EXPECT_LT(waited, 7.0);
  // A data connection with the token of a call gone by joins nothing.
  const auto late = connectRelay();
  net::CPacket m;
  net::buildRelayToken(m, net::relayData, *net::parseRelayToken(open, net::relayOpen));
  net::sendPacket(*late, m);
  EXPECT_TRUE(closedWithin(*late, 2s));
  // The slot is free again.
  const auto next = caller(bob);
  EXPECT_EQ(net::recvPacket(*second, open), net::relayOpen);
}

TEST_F(CallRelayProcess, WithoutItLoginsAnswerAsBefore) {
  start({"--no-call-relay"});
  EXPECT_EQ(relayPort_, 0);
  const net::CPacket in = login(bob);
  EXPECT_EQ(in.length, net::ticketSize);
  EXPECT_FALSE(net::parseRelayOffer(in));
}

}  // namespace
}  // namespace orvalis::server
