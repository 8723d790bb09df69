// Phones on separate hosts: a lab of network namespaces with a LAN, which
// stands for the internet, and a home network behind a router that
// masquerades it and forwards one port to a home host. A real server and
// real headless phones run in the hosts.

#include <poll.h>
#include <sys/socket.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <deque>
#include <functional>
#include <sstream>

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

// Polls until each phone has printed text since its mark or limit has
// passed; the seconds from start to when each was seen, so that phones
// are timed side by side. Negative for a phone that never printed it.
std::vector<double> secondsUntilPrinted(const std::vector<Phone*>& phones, std::string_view text,
                                        Clock::time_point start, Clock::duration limit) {
  std::vector<double> seen(phones.size(), -1);
  while (Clock::now() < start + limit && std::ranges::count(seen, -1) > 0) {
    for (std::size_t i = 0; i < phones.size(); ++i)
      if (seen[i] < 0 && phones[i]->printedSinceMark(text)) seen[i] = secondsSince(start);
    std::this_thread::sleep_for(20ms);
  }
  return seen;
}

// Seconds until condition holds, polled; negative when limit passed first.
double secondsUntil(const std::function<bool()>& condition, Clock::duration limit) {
  const auto start = Clock::now();
  while (!condition()) {
    if (Clock::now() > start + limit) return -1;
    std::this_thread::sleep_for(20ms);
  }
  return secondsSince(start);
}

// TCP connections that connect and say nothing, all started at once, in
// the namespace of the thread that makes them; closed with the object.
class SilentConnections {
 public:
  SilentConnections(const std::string& address, std::uint16_t port, int count) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ipv4(address);
    to.sin_port = htons(port);
    for (int i = 0; i < count; ++i) {
      const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
      if (fd < 0) throw std::runtime_error("no socket");
      fds_.push_back(fd);
      ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);  // in progress
    }
  }
  SilentConnections(SilentConnections&&) = default;
  SilentConnections& operator=(SilentConnections&&) = delete;
  ~SilentConnections() {
    for (const int fd : fds_) ::close(fd);
  }

  // How many have been established.
  int connected() const { return count([](const pollfd& p) { return (p.revents & POLLOUT) != 0; }); }
  // How many the far side has closed or reset.
  int closedByPeer() const {
    return count([](const pollfd& p) { return (p.revents & (POLLIN | POLLHUP | POLLERR)) != 0; });
  }

 private:
  int count(bool (*counts)(const pollfd&)) const {
    std::vector<pollfd> polled;
    for (const int fd : fds_) polled.push_back({fd, POLLIN | POLLOUT, 0});
    ::poll(polled.data(), polled.size(), 0);
    return static_cast<int>(std::ranges::count_if(polled, counts));
  }

  std::vector<int> fds_;
};

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
  PhoneSettings lanSettings(const std::string& host, const std::string& audio = "null") const {
    return {.audio = audio, .serverHost = ipv4(serverAddress), .reHost = {},
            .launcher = lab_->launcher(host)};
  }
  Phone lanPhone(std::int32_t number, const std::string& host) {
    return Phone(number, server_->port(), lanSettings(host));
  }

  // Such a phone, registered and logged in, kept until the test ends.
  Phone& loggedIn(std::int32_t number, const std::string& host, const std::string& audio = "null") {
    Phone& phone = phones_.emplace_back(number, server_->port(), lanSettings(host, audio));
    EXPECT_TRUE(phone.registerNew());
    return phone;
  }

  // Drops every TCP segment that comes to a port of the host, as a
  // firewall that answers nothing does.
  void dropTcpTo(const std::string& host, const std::string& port) {
    lab_->runIn(host,
                "nft add table ip firewall\n"
                "nft add chain ip firewall in '{ type filter hook input priority 0; policy accept; }'\n"
                "nft add rule ip firewall in tcp dport " + port + " drop");
  }

  std::optional<NetnsLab> lab_;
  std::optional<Server> server_;
  std::deque<Phone> phones_;  // declared last: they quit before the server and the lab go
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

// Beta's network vanishes mid-call: from then on nothing, not even a reset,
// passes between it and alpha. Two calls run at once, one silent and one
// with voice both ways (a virtual microphone's silence, sent without a
// voice detector); both sides of each end the call.
TEST_F(LabCalls, CallEndsOnBothSidesWhenThePeersNetworkVanishes) {
  Phone& silentCaller = loggedIn(200000001, "alpha");
  Phone& silentCallee = loggedIn(200000002, "beta");
  Phone& voiceCaller = loggedIn(200000003, "alpha", "wav:,");
  Phone& voiceCallee = loggedIn(200000004, "beta", "wav:,");
  ASSERT_NO_FATAL_FAILURE(connect(silentCaller, silentCallee));
  ASSERT_NO_FATAL_FAILURE(connect(voiceCaller, voiceCallee));
  const std::vector<Phone*> all{&silentCaller, &voiceCaller, &silentCallee, &voiceCallee};
  for (Phone* p : all) p->markNow();
  const auto cut = Clock::now();
  lab_->runIn("beta", "ip link set eth0 down");
  const auto seen = secondsUntilPrinted(all, "display: User Disconnected", cut, 50s);
  std::printf("[figure] vanished peer noticed by the caller after %.1f s (silent call), %.1f s "
              "(voice flowing); by the vanished callee after %.1f s, %.1f s\n",
              seen[0], seen[1], seen[2], seen[3]);
  for (std::size_t i = 0; i < all.size(); ++i) {
    EXPECT_LT(seen[i], 45) << all[i]->number();
    if (seen[i] < 0) ADD_FAILURE() << "phone " << all[i]->number() << " still in the call";
    else EXPECT_TRUE(all[i]->expectStatus({"stateClient=5 "}));
  }
}

// A callee whose host drops the call's packets without an answer: a
// hang-up during the attempt ends it at once, and left alone the attempt
// gives up by itself.
TEST_F(LabCalls, CallToAHostThatDropsItsPacketsIsHungUpOrGivesUp) {
  Phone& a = loggedIn(200000001, "alpha");
  Phone& b = loggedIn(200000002, "beta");
  dropTcpTo("beta", b.statusValue("userPort"));
  a.markNow();
  a.send("dial " + b.number());
  ASSERT_TRUE(a.expect("state: stateClient=7"));
  const auto hungUp = Clock::now();
  a.send("hangup");
  EXPECT_TRUE(a.expectStatus({"stateClient=5 "}));
  const double idle = secondsSince(hungUp);
  std::printf("[figure] hung up while connecting: idle after %.2f s\n", idle);
  EXPECT_LT(idle, 2.0);
  EXPECT_TRUE(a.expect("display: User Inaccessable"));  // the attempt's last word

  a.markNow();
  const auto dialled = Clock::now();
  a.send("dial " + b.number());
  const double gaveUp = secondsUntilPrinted({&a}, "display: User Inaccessable", dialled, 30s)[0];
  std::printf("[figure] call to a host that drops its packets gave up after %.1f s\n", gaveUp);
  EXPECT_LT(gaveUp, 20);
  ASSERT_GE(gaveUp, 0) << "still trying";
  // Over and done with: the next call goes out and through.
  lab_->runIn("beta", "nft delete table ip firewall");
  ASSERT_NO_FATAL_FAILURE(connect(a, b));
  hangUpOn(a, b);
}

// Connections that say nothing queue at a phone's listener, as a port
// scanner or a broken peer leaves them: a real caller still rings at once,
// and each silent one is closed after its time for a first message.
TEST_F(LabCalls, SilentConnectionsAtTheListenerDoNotHoldOffACaller) {
  constexpr int silent = 20;
  Phone& a = loggedIn(200000001, "alpha");
  Phone& b = loggedIn(200000002, "beta");
  const auto port = static_cast<std::uint16_t>(std::stoi(b.statusValue("userPort")));
  const SilentConnections idle = lab_->inHost(
      "server", [&] { return SilentConnections("198.51.100.22", port, silent); });
  EXPECT_GE(secondsUntil([&] { return idle.connected() == silent; }, 5s), 0)
      << idle.connected() << " connected";
  markAll({&a, &b});
  const auto dialled = Clock::now();
  a.send("dial " + b.number());
  const double rang = secondsUntilPrinted({&b}, "display: Input Call", dialled, 60s)[0];
  std::printf("[figure] callee rang %.1f s after the dial, %d silent connections at its listener\n",
              rang, silent);
  EXPECT_GE(rang, 0);
  EXPECT_LT(rang, 3);
  EXPECT_EQ(idle.closedByPeer(), 0) << "closed before their time";
  b.send("dial");
  EXPECT_TRUE(a.expect("display: User Online"));
  hangUpOn(b, a);
  EXPECT_GE(secondsUntil([&] { return idle.closedByPeer() == silent; }, 15s), 0)
      << idle.closedByPeer() << " closed";
}

// The far phone stops reading mid-call (its process stopped) while the
// near one holds the floor and sends voice, until nothing more goes out:
// the near phone still answers its keys at once and hangs up.
TEST_F(LabCalls, APeerThatStopsReadingHoldsUpNoKeyOfTheNearPhone) {
  // Small buffers, so that seconds of voice fill them.
  lab_->runIn("alpha", "sysctl -qw net.ipv4.tcp_wmem='4096 4096 4096'");
  lab_->runIn("beta", "sysctl -qw net.ipv4.tcp_rmem='4096 4096 4096'");
  Phone& near = loggedIn(200000001, "alpha", "wav:,");
  Phone& far = loggedIn(200000002, "beta");
  near.send("config set msa 1");  // push-to-talk: the keys send on the call
  ASSERT_NO_FATAL_FAILURE(connect(near, far));
  ASSERT_TRUE(near.expectStatus({"floor=2 "}));
  const std::string farPort = far.statusValue("userPort");
  far.signal(SIGSTOP);
  // Until the near side's queue holds the same bytes for three reads half a
  // second apart: the far receive buffer is full and the near phone's voice
  // waits at its own send buffer.
  std::string last;
  int steadyReads = 0;
  const auto buffersFull = [&] {
    std::this_thread::sleep_for(500ms);
    std::istringstream line(lab_->outputIn(
        "alpha", "ss -tnH state established '( dport = :" + farPort + " )'"));
    std::string received, queued;
    line >> received >> queued;
    steadyReads = !queued.empty() && queued == last && queued != "0" ? steadyReads + 1 : 0;
    last = queued;
    return steadyReads >= 2;
  };
  EXPECT_GE(secondsUntil(buffersFull, 30s), 0) << "send queue " << last;

  near.markNow();
  const auto pressed = Clock::now();
  near.send("floor-offer");
  near.send("floor-request");
  near.send("status");
  EXPECT_TRUE(near.expectWithin("serverState=", 10s));
  const double answered = secondsSince(pressed);
  near.markNow();
  const auto hungUp = Clock::now();
  near.send("hangup");
  EXPECT_TRUE(near.expectStatus({"stateClient=5 "}));
  const double idle = secondsSince(hungUp);
  std::printf("[figure] far end stopped reading: near phone answered after %.2f s of floor keys, "
              "idle %.2f s after its hang-up\n", answered, idle);
  EXPECT_LT(answered, 5);  // each key's send waits at most 2 s
  EXPECT_LT(idle, 2);
  far.signal(SIGCONT);
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
