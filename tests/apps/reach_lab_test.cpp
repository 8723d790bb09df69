// Reachability through home routers: a lab of network namespaces with an
// internet segment (11.0.0.0/24, a range routers take as public) holding
// the server host, and three homes behind routers that masquerade them and
// drop what comes from outside unasked. Router 1 maps ports by UPnP IGD
// and NAT-PMP, router 2 by NAT-PMP only, router 3 not at all; the first
// two run the real miniupnpd. The lab is built once for the group.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include "net/address.h"
#include "net/reach/default_gateway.h"
#include "net/reach/port_mapper.h"
#include "audio/wav_file.h"
#include "cli_phones.h"
#include "speech.h"
#include "support/home_router.h"
#include "support/netns_lab.h"

namespace orvalis::testing {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using net::PortMapper;
using net::PortMapping;

std::uint32_t ipv4(const std::string& text) { return net::parseAddress(text).value(); }

double millisecondsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// A descriptor closed with the object.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  Fd& operator=(Fd&&) = delete;
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  int get() const { return fd_; }

 private:
  int fd_;
};

bool readable(int fd, std::chrono::milliseconds limit) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, static_cast<int>(limit.count())) == 1 && (p.revents & POLLIN) != 0;
}

// A TCP connection to address:port, or an invalid descriptor when it was
// refused or not made within limit; in the calling thread's namespace.
Fd connectTo(std::uint32_t address, std::uint16_t port, std::chrono::milliseconds limit) {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = address;
  to.sin_port = htons(port);
  if (::connect(fd.get(), reinterpret_cast<const sockaddr*>(&to), sizeof to) != 0 &&
      errno != EINPROGRESS)
    return Fd();
  pollfd p{fd.get(), POLLOUT, 0};
  int error = 0;
  socklen_t len = sizeof error;
  if (::poll(&p, 1, static_cast<int>(limit.count())) != 1 ||
      ::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &len) != 0 || error != 0)
    return Fd();
  return fd;
}

}  // namespace

// The lab, built once for the group: hosts, their addresses, the routers.
class ReachLab : public ::testing::Test {
 public:
  static constexpr const char* serverHost = "server";
  static constexpr const char* serverAddress = "11.0.0.10";
  // A host on the internet itself, whose phone is reached directly.
  static constexpr const char* internetHost = "caller";
  static constexpr std::chrono::milliseconds natPmpLimit{1000};
  static constexpr std::chrono::milliseconds upnpLimit{1500};

  static void SetUpTestSuite() {
    try {
      if (const std::string why = HomeRouter::unavailable(); !why.empty())
        throw LabUnavailable(why);
      auto world = std::make_unique<World>();
      NetnsLab& lab = world->lab;
      lab.addSegment("internet");
      lab.addHost(serverHost, {{"internet", std::string(serverAddress) + "/24"}});
      lab.addHost(internetHost, {{"internet", "11.0.0.20/24"}});
      const MappingService services[] = {MappingService::upnpAndNatPmp, MappingService::natPmpOnly,
                                         MappingService::none};
      for (int home = 1; home <= homes; ++home) {
        const std::string segment = "home" + std::to_string(home);
        lab.addSegment(segment);
        world->routers[home - 1] = std::make_unique<HomeRouter>(
            lab, HomeRouter::Options{.host = routerHost(home),
                                     .internet = "internet",
                                     .outside = routerOutside(home),
                                     .home = segment,
                                     .inside = routerInside(home),
                                     .homeNetwork = "192.168." + std::to_string(home) + ".0/24",
                                     .service = services[home - 1]});
        for (int n = 0; n < hostsPerHome; ++n)
          lab.addHost(homeHost(home, n), {{segment, homeAddress(home, n) + "/24"}},
                      routerInside(home));
      }
      world_ = std::move(world);
    } catch (const LabUnavailable& e) {
      GTEST_SKIP() << "no home-router lab on this machine: " << e.what();
    } catch (const std::exception& e) {
      broken_ = e.what();
    }
  }
  static void TearDownTestSuite() { world_.reset(); }

  static NetnsLab& lab() { return world_->lab; }
  // Homes 1 (UPnP and NAT-PMP), 2 (NAT-PMP only) and 3 (no mapping).
  static HomeRouter& router(int home) { return *world_->routers.at(home - 1); }
  static std::string routerHost(int home) { return "router" + std::to_string(home); }
  static std::string routerOutside(int home) { return "11.0.0." + std::to_string(home); }
  static std::string routerInside(int home) { return "192.168." + std::to_string(home) + ".1"; }
  // Host n (0 or 1) of a home: "home1a" at 192.168.1.10, "home1b" at .11.
  static std::string homeHost(int home, int n = 0) {
    return "home" + std::to_string(home) + static_cast<char>('a' + n);
  }
  static std::string homeAddress(int home, int n = 0) {
    return "192.168." + std::to_string(home) + "." + std::to_string(10 + n);
  }
  // Whether the home's router forwards outside TCP port inward now.
  static bool routerForwards(int home, std::uint16_t port) { return router(home).forwards(port); }

 protected:
  static constexpr int homes = 3;
  static constexpr int hostsPerHome = 2;

  void SetUp() override {
    if (!broken_.empty()) FAIL() << "the lab could not be built: " << broken_;
    if (!world_) GTEST_SKIP();  // said once, as the group began
  }

  // A socket listening on port in a host.
  Fd listenIn(const std::string& host, std::uint16_t port) {
    return lab().inHost(host, [port] {
      Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
      const int on = 1;
      ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
      sockaddr_in at{};
      at.sin_family = AF_INET;
      at.sin_port = htons(port);
      if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0 ||
          ::listen(fd.get(), 8) != 0)
        throw std::runtime_error("cannot listen on " + std::to_string(port));
      return fd;
    });
  }

  // Whether a connection from the server host to address:port arrives at
  // listener: a byte sent on it is read from the connection accepted there.
  bool serverReaches(std::uint32_t address, std::uint16_t port, const Fd& listener) {
    const Fd out = lab().inHost(serverHost, [&] { return connectTo(address, port, 2000ms); });
    if (out.get() < 0 || !readable(listener.get(), 2000ms)) return false;
    const Fd in(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    const char sent = 'x';
    char got = 0;
    return in.get() >= 0 && ::send(out.get(), &sent, 1, MSG_NOSIGNAL) == 1 &&
           readable(in.get(), 2000ms) && ::recv(in.get(), &got, 1, 0) == 1 && got == sent;
  }

  // Runs a mapper's call from a home host, as a phone there would.
  template <class F>
  auto from(const std::string& host, F f) {
    return lab().inHost(host, f);
  }

 private:
  struct World {
    NetnsLab lab;
    std::array<std::unique_ptr<HomeRouter>, homes> routers;
    ~World() {
      for (auto& router : routers) router.reset();  // daemons end before their namespaces
    }
  };
  inline static std::unique_ptr<World> world_;
  inline static std::string broken_;
};

TEST(DefaultGateway, IsTheUpGatewayRouteToEverywhereOfLowestMetric) {
  const std::string header =
      "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n";
  // 192.0.2.1 at metric 100, 192.0.2.254 at 50; a route to a subnet; a
  // default route that is down; a damaged line.
  const std::string table = header +
                            "eth0\t00000000\t010200C0\t0003\t0\t0\t100\t00000000\t0\t0\t0\n"
                            "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"
                            "eth1\t00000000\tFE0200C0\t0003\t0\t0\t50\t00000000\t0\t0\t0\n"
                            "eth2\t00000000\t0A0200C0\t0002\t0\t0\t1\t00000000\t0\t0\t0\n"
                            "eth3\t00000000\tZZ\n";
  EXPECT_EQ(net::defaultGatewayIn(table), ipv4("192.0.2.254"));
  EXPECT_EQ(net::defaultGatewayIn(header + "eth0\t000200C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"), 0u);
  EXPECT_EQ(net::defaultGatewayIn(""), 0u);
}

TEST_F(ReachLab, MappersMapAPortTheServerReachesUntilUnmapped) {
  const std::string host = homeHost(1);
  for (const bool upnp : {false, true}) {
    SCOPED_TRACE(upnp ? "UPnP" : "NAT-PMP");
    const std::uint16_t port = upnp ? 40002 : 40001;
    const Fd listener = listenIn(host, port);
    const std::unique_ptr<PortMapper> mapper = upnp ? net::makeUpnpMapper() : net::makeNatPmpMapper();
    const auto start = Clock::now();
    const auto mapping = from(host, [&] { return mapper->map(port, 3600s, upnp ? upnpLimit : natPmpLimit); });
    std::printf("[figure] mapped by %s on a router that offers it in %.0f ms\n",
                upnp ? "UPnP" : "NAT-PMP", millisecondsSince(start));
    ASSERT_TRUE(mapping.has_value());
    EXPECT_EQ(mapping->kind, upnp ? net::Reach::upnp : net::Reach::natpmp);
    EXPECT_EQ(mapping->external, ipv4(routerOutside(1)));
    EXPECT_EQ(mapping->externalPort, port);  // free, so given as asked
    EXPECT_EQ(mapping->internal, ipv4(homeAddress(1)));
    EXPECT_EQ(mapping->internalPort, port);
    EXPECT_EQ(mapping->lease, 3600s);
    EXPECT_TRUE(routerForwards(1, port));
    EXPECT_TRUE(serverReaches(mapping->external, mapping->externalPort, listener));
    PortMapping held = *mapping;
    EXPECT_TRUE(from(host, [&] { return mapper->stillMapped(held, 1000ms); }));

    from(host, [&] { mapper->unmap(*mapping, 1000ms); });
    EXPECT_FALSE(routerForwards(1, port));
    EXPECT_FALSE(serverReaches(mapping->external, mapping->externalPort, listener));
    if (upnp) {
      EXPECT_FALSE(from(host, [&] { return mapper->stillMapped(held, 1000ms); }));
    }
  }
}

// Two hosts of one home listening on the same port: the second is given
// another outside port, and each outside port leads to its own host.
TEST_F(ReachLab, TwoHostsOfAHomeOnOnePortGetOutsidePortsOfTheirOwn) {
  for (const bool upnp : {false, true}) {
    SCOPED_TRACE(upnp ? "UPnP" : "NAT-PMP");
    const std::uint16_t port = upnp ? 40012 : 40011;
    std::optional<PortMapping> mappings[2];
    std::unique_ptr<PortMapper> mappers[2];
    std::optional<Fd> listeners[2];
    for (int n = 0; n < 2; ++n) {
      listeners[n].emplace(listenIn(homeHost(1, n), port));
      mappers[n] = upnp ? net::makeUpnpMapper() : net::makeNatPmpMapper();
      mappings[n] = from(homeHost(1, n), [&] { return mappers[n]->map(port, 600s, upnpLimit); });
      ASSERT_TRUE(mappings[n].has_value()) << homeHost(1, n);
    }
    EXPECT_NE(mappings[0]->externalPort, mappings[1]->externalPort);
    for (int n = 0; n < 2; ++n) {
      EXPECT_EQ(mappings[n]->internal, ipv4(homeAddress(1, n)));
      EXPECT_TRUE(serverReaches(mappings[n]->external, mappings[n]->externalPort, *listeners[n]))
          << homeHost(1, n);
      // Renewed, each keeps its outside port.
      const auto renewed = from(homeHost(1, n), [&] { return mappers[n]->map(port, 600s, upnpLimit); });
      ASSERT_TRUE(renewed.has_value());
      EXPECT_EQ(renewed->externalPort, mappings[n]->externalPort);
    }
    for (int n = 0; n < 2; ++n) from(homeHost(1, n), [&] { mappers[n]->unmap(*mappings[n], 1000ms); });
  }
}

TEST_F(ReachLab, RoutersWithoutTheServiceGiveNothingWithinTheLimit) {
  const auto timed = [&](int home, bool upnp, const char* router) {
    const std::unique_ptr<PortMapper> mapper = upnp ? net::makeUpnpMapper() : net::makeNatPmpMapper();
    const auto limit = upnp ? upnpLimit : natPmpLimit;
    const auto start = Clock::now();
    const auto mapping = from(homeHost(home), [&] { return mapper->map(40021, 600s, limit); });
    const double ms = millisecondsSince(start);
    std::printf("[figure] %s gave up on router %d (%s) after %.0f ms (limit %lld ms)\n",
                upnp ? "UPnP" : "NAT-PMP", home, router, ms,
                static_cast<long long>(limit.count()));
    EXPECT_FALSE(mapping.has_value()) << "router " << home << (upnp ? " by UPnP" : " by NAT-PMP");
    EXPECT_LT(ms, limit.count() + 250.0);
  };
  timed(2, true, "NAT-PMP only");
  timed(3, false, "no service, refuses");
  timed(3, true, "no service");
  // A router that drops the request instead of refusing it: libnatpmp would
  // go on asking for over a minute; the limit ends it.
  lab().runIn(routerHost(3), "nft add table ip silent\n"
                             "nft add chain ip silent in '{ type filter hook input priority 0; }'\n"
                             "nft add rule ip silent in udp dport 5351 drop");
  timed(3, false, "no service, silent");
  lab().runIn(routerHost(3), "nft delete table ip silent");

  // A router that cannot be asked is no proof that a mapping is gone.
  const std::unique_ptr<PortMapper> natPmp = net::makeNatPmpMapper();
  PortMapping unknown{.kind = net::Reach::natpmp, .external = ipv4(routerOutside(3)),
                      .externalPort = 40021, .internalPort = 40021, .epoch = 1000};
  EXPECT_TRUE(from(homeHost(3), [&] { return natPmp->stillMapped(unknown, 300ms); }));

  // The NAT-PMP-only router still maps by NAT-PMP.
  const auto mapping = from(homeHost(2), [&] { return natPmp->map(40021, 600s, natPmpLimit); });
  ASSERT_TRUE(mapping.has_value());
  EXPECT_EQ(mapping->external, ipv4(routerOutside(2)));
  EXPECT_TRUE(routerForwards(2, mapping->externalPort));
  from(homeHost(2), [&] { natPmp->unmap(*mapping, 1000ms); });
  EXPECT_FALSE(routerForwards(2, mapping->externalPort));
}

// A lease of 2 s renewed every second still leads in after 4 s; left
// alone, the router drops it.
TEST_F(ReachLab, AShortLeaseRenewedOutlivesItsFirstLease) {
  const std::string host = homeHost(1);
  const std::uint16_t ports[] = {40031, 40032};
  std::unique_ptr<PortMapper> mappers[] = {net::makeNatPmpMapper(), net::makeUpnpMapper()};
  std::optional<Fd> listeners[2];
  std::optional<PortMapping> mappings[2];
  for (int i = 0; i < 2; ++i) {
    listeners[i].emplace(listenIn(host, ports[i]));
    mappings[i] = from(host, [&] { return mappers[i]->map(ports[i], 2s, upnpLimit); });
    ASSERT_TRUE(mappings[i].has_value()) << i;
    EXPECT_EQ(mappings[i]->lease, 2s);
  }
  const auto start = Clock::now();
  while (Clock::now() < start + 4s) {
    std::this_thread::sleep_for(1s);
    for (int i = 0; i < 2; ++i) {
      const auto asked = Clock::now();
      const auto renewed = from(host, [&] { return mappers[i]->map(ports[i], 2s, upnpLimit); });
      // The router found at first is asked again, without a new search.
      EXPECT_LT(millisecondsSince(asked), 500) << i;
      ASSERT_TRUE(renewed.has_value()) << i;
      EXPECT_EQ(renewed->externalPort, mappings[i]->externalPort);
    }
  }
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(serverReaches(mappings[i]->external, mappings[i]->externalPort, *listeners[i])) << i;

  const auto left = Clock::now();
  bool gone = false;
  while (!gone && Clock::now() < left + 8s) {
    std::this_thread::sleep_for(100ms);
    gone = !routerForwards(1, mappings[0]->externalPort) && !routerForwards(1, mappings[1]->externalPort);
  }
  std::printf("[figure] 2 s leases left alone were dropped by the router after %.1f s\n",
              millisecondsSince(left) / 1000);
  EXPECT_TRUE(gone);
}

// A router that starts again has forgotten its mappings: the mappers see
// it (NAT-PMP by its epoch, UPnP by the missing entry) and map anew.
TEST_F(ReachLab, ARestartedRouterIsNoticedAndMappedAgain) {
  const std::string host = homeHost(1);
  const std::uint16_t ports[] = {40041, 40042};
  std::unique_ptr<PortMapper> mappers[] = {net::makeNatPmpMapper(), net::makeUpnpMapper()};
  std::optional<Fd> listeners[2];
  std::optional<PortMapping> mappings[2];
  for (int i = 0; i < 2; ++i) {
    listeners[i].emplace(listenIn(host, ports[i]));
    mappings[i] = from(host, [&] { return mappers[i]->map(ports[i], 600s, upnpLimit); });
    ASSERT_TRUE(mappings[i].has_value()) << i;
  }
  // A second passes, so that the router's new epoch is behind the old one's
  // course however its seconds are counted.
  std::this_thread::sleep_for(1100ms);
  for (int i = 0; i < 2; ++i)
    EXPECT_TRUE(from(host, [&] { return mappers[i]->stillMapped(*mappings[i], 1000ms); })) << i;
  router(1).reboot();
  for (int i = 0; i < 2; ++i) {
    SCOPED_TRACE(i == 0 ? "NAT-PMP" : "UPnP");
    EXPECT_FALSE(from(host, [&] { return mappers[i]->stillMapped(*mappings[i], 1500ms); }));
    EXPECT_FALSE(serverReaches(mappings[i]->external, mappings[i]->externalPort, *listeners[i]));
    const auto again = from(host, [&] { return mappers[i]->map(ports[i], 600s, upnpLimit); });
    ASSERT_TRUE(again.has_value());
    EXPECT_TRUE(serverReaches(again->external, again->externalPort, *listeners[i]));
    PortMapping held = *again;
    EXPECT_TRUE(from(host, [&] { return mappers[i]->stillMapped(held, 1000ms); }));
    from(host, [&] { mappers[i]->unmap(*again, 1000ms); });
  }
}

// ---- real phones, started with a new user's settings: only the server's
// address is set, and they register themselves -------------------------------

class ReachPhones : public ReachLab {
 protected:
  void SetUp() override {
    ReachLab::SetUp();
    if (IsSkipped() || HasFatalFailure()) return;
    server_.emplace(lab().launcher(serverHost), serverAddress);
  }

  PhoneSettings settingsIn(const std::string& host, std::vector<std::string> args = {}) {
    return {.silentMelodies = true, .serverHost = ipv4(serverAddress), .reHost = std::nullopt,
            .launcher = lab().launcher(host), .args = std::move(args)};
  }
  Phone& phone(std::int32_t number, PhoneSettings settings) {
    return phones_.emplace_back(number, server_->port(), std::move(settings));
  }
  // Seconds from the start until the phone is logged in with the way and
  // has a place to be called at; negative when that did not come.
  static double secondsUntilReachable(Phone& p, std::string_view reach, Clock::time_point start) {
    const std::string want = "reach=" + std::string(reach) + " ";
    for (auto until = start + 30s; Clock::now() < until; std::this_thread::sleep_for(50ms)) {
      const std::string status = p.status();
      if (status.find("serverState=2 ") != std::string::npos &&
          status.find(want) != std::string::npos && status.find("reachableAt=-") == std::string::npos &&
          status.find("reachableAt=192.168.") == std::string::npos)
        return secondsSince(start);
    }
    ADD_FAILURE() << "phone " << p.number() << " never reachable by " << reach << ": " << p.status();
    return -1;
  }
  // The outside port a phone's login announced.
  static std::uint16_t announcedPort(Phone& p) {
    const std::string at = p.statusValue("reachableAt");
    const auto colon = at.rfind(':');
    return colon == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(at.substr(colon + 1)));
  }

  std::optional<Server> server_;
  std::deque<Phone> phones_;  // last: they quit before the server goes
};

TEST_F(ReachPhones, EveryPhoneIsReachedWhereverItSits) {
  // Home 1's second host may not use NAT-PMP (its router drops the
  // requests), so it must map by UPnP.
  lab().runIn(routerHost(1), "nft add table ip nopmp\n"
                             "nft add chain ip nopmp in '{ type filter hook input priority -10; }'\n"
                             "nft add rule ip nopmp in ip saddr " + homeAddress(1, 1) +
                                 " udp dport 5351 drop");
  struct Case {
    std::string host;
    std::string reach;
    Phone* phone = nullptr;
  };
  std::vector<Case> cases{{internetHost, "direct"}, {homeHost(1), "natpmp"},
                          {homeHost(1, 1), "upnp"},  {homeHost(2), "natpmp"},
                          {homeHost(3), "relay"}};
  std::int32_t number = 210000001;
  const auto start = Clock::now();
  for (Case& c : cases) {
    c.phone = &phone(number++, settingsIn(c.host));
    c.phone->send("register-new " + c.phone->number() + " secret1");
  }
  for (Case& c : cases) {
    const double s = secondsUntilReachable(*c.phone, c.reach, start);
    std::printf("[figure] %s phone (%s) reachable %.2f s after start, at %s\n", c.reach.c_str(),
                c.host.c_str(), s, c.phone->statusValue("reachableAt").c_str());
  }
  lab().runIn(routerHost(1), "nft delete table ip nopmp");
  if (HasFailure()) return;
  Phone& out = *cases[0].phone;
  for (std::size_t i = 1; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].reach + " callee");
    SCOPED_TRACE(cases[i].phone->status() + "\n" + server_->log());
    ASSERT_NO_FATAL_FAILURE(connect(out, *cases[i].phone));
    hangUpOn(out, *cases[i].phone);
  }
  // Between homes: a mapped phone calls the relayed one, and back to another.
  ASSERT_NO_FATAL_FAILURE(connect(*cases[1].phone, *cases[4].phone));
  hangUpOn(*cases[4].phone, *cases[1].phone);
  ASSERT_NO_FATAL_FAILURE(connect(*cases[4].phone, *cases[3].phone));
  hangUpOn(*cases[3].phone, *cases[4].phone);
}

TEST_F(ReachPhones, SpeechCrossesARelayedCall) {
  TempDir media;
  const auto spoken = makeSentence(media, "sentence", 0.3);
  const std::string heardPath = media.file("heard.wav").string();
  PhoneSettings talker = settingsIn(homeHost(2));
  talker.audio = "wav:" + media.file("sentence.wav").string() + ",";
  talker.fullDuplex = true;
  PhoneSettings listener = settingsIn(homeHost(3));
  listener.audio = "wav:," + heardPath;
  listener.fullDuplex = true;
  Phone& a = phone(220000001, talker);
  Phone& b = phone(220000002, listener);
  for (Phone* p : {&a, &b}) ASSERT_TRUE(p->registerNew());
  ASSERT_GE(secondsUntilReachable(b, "relay", Clock::now()), 0);
  ASSERT_NO_FATAL_FAILURE(connect(a, b));
  std::this_thread::sleep_for(std::chrono::duration<double>(spoken.size() / 8000.0 + 2.0));
  hangUpOn(a, b);
  EXPECT_EQ(b.quit(), 0);
  const auto heard = audio::loadWav(heardPath);
  ASSERT_TRUE(heard.ok()) << heard.error;
  EXPECT_GT(bestAlignment(spoken, heard.samples), 0.8);
}

// A short lease is renewed; a router that restarts has the mapping made
// again; quitting removes it.
TEST_F(ReachPhones, APhonesMappingIsKeptAndThenRemoved) {
  Phone& out = phone(230000001, settingsIn(internetHost));
  Phone& home = phone(230000002, settingsIn(homeHost(2), {"--mapping-lease", "4"}));
  for (Phone* p : {&out, &home}) ASSERT_TRUE(p->registerNew());
  ASSERT_GE(secondsUntilReachable(home, "natpmp", Clock::now()), 0);
  const std::uint16_t port = announcedPort(home);
  ASSERT_TRUE(routerForwards(2, port));
  std::this_thread::sleep_for(6s);  // past its first lease
  EXPECT_TRUE(routerForwards(2, port)) << "not renewed";
  ASSERT_NO_FATAL_FAILURE(connect(out, home));
  hangUpOn(out, home);

  router(2).reboot();
  EXPECT_FALSE(routerForwards(2, port));
  const auto rebooted = Clock::now();
  double back = -1;
  while (back < 0 && Clock::now() < rebooted + 15s) {
    std::this_thread::sleep_for(100ms);
    if (routerForwards(2, port)) back = secondsSince(rebooted);
  }
  std::printf("[figure] mapping made again %.1f s after the router restarted (lease 4 s)\n", back);
  ASSERT_GE(back, 0) << "not made again";
  ASSERT_NO_FATAL_FAILURE(connect(out, home));
  hangUpOn(home, out);

  EXPECT_EQ(home.quit(), 0);
  EXPECT_FALSE(routerForwards(2, port)) << "left on the router after quit";
}

}  // namespace orvalis::testing
