// The SOCKS5 client against a scripted fake proxy on the loopback.

#include "net/socks5.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "net/message_codes.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;
using Bytes = std::vector<std::uint8_t>;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
const std::uint32_t target = htonl(0x7F000009);  // only named to the proxy, never dialled
constexpr std::uint16_t targetPort = 0x1234;

// One exchange of the fake proxy: read so many bytes, answer, and maybe
// hang up.
struct Step {
  std::size_t read;
  Bytes reply;
  bool hangUp = false;
};

// Accepts one connection, plays its steps, then records whatever else
// arrives until the client closes. received() is read after the client
// is done with its socket.
class FakeProxy {
 public:
  explicit FakeProxy(std::vector<Step> steps) : listener_(Socket::createTcp()) {
    EXPECT_TRUE(listener_ && listener_->listen(loopback, 0));
    thread_ = std::thread([this, steps = std::move(steps)] { serve(steps); });
  }
  ~FakeProxy() { join(); }

  std::uint16_t port() const { return listener_->localPort(); }
  const Bytes& received() {
    join();
    return received_;
  }
  // Whether the client closed the connection (rather than the fake giving up).
  bool clientHungUp() {
    join();
    return clientHungUp_;
  }

 private:
  void serve(const std::vector<Step>& steps) {
    const SocketPtr peer = listener_->accept();
    if (!peer) return;
    // A client that stops talking must not hold the test for ever.
    peer->setDeadline(Socket::Clock::now() + 20s);
    std::array<std::uint8_t, 64> buffer{};
    for (const Step& step : steps) {
      Bytes got(step.read);
      if (recvAll(*peer, got) < 0) return;
      received_.insert(received_.end(), got.begin(), got.end());
      if (!step.reply.empty() && peer->send(step.reply) < 0) return;
      if (step.hangUp) return;
    }
    ssize_t n = 0;
    while ((n = peer->recv(buffer)) > 0) {
      received_.insert(received_.end(), buffer.begin(), buffer.begin() + n);
    }
    clientHungUp_ = n == 0;
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

  SocketPtr listener_;
  std::thread thread_;
  Bytes received_;
  bool clientHungUp_ = false;
};

void useProxy(store::CnfData& cnf, const FakeProxy& proxy) {
  cnf.socks5Host = loopback;
  cnf.socks5Port = proxy.port();
}

Deadline soon() { return Socket::Clock::now() + 20s; }

const Bytes ipv4Reply{5, 0, 0, 1, 10, 0, 0, 1, 0x40, 0x00};
const Bytes connectRequest{5, 1, 0, 1, 127, 0, 0, 9, 0x12, 0x34};
const Bytes peerBusyWire{0x0C, 0, 0x04, 0, 0, 0};

Bytes concat(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

TEST(Socks5, AuthFieldsCarryOnlyTheAnnouncedBytes) {
  // Bytes past a field's length never go out, and a length outside the
  // field cannot read past it.
  store::CnfData cnf;
  cnf.socks5User = "abcdef";
  cnf.socks5UserLen = 3;
  cnf.socks5Passwd = "secret";
  cnf.socks5PasswdLen = 99;
  const auto auth = socks5AuthMessage(cnf);
  EXPECT_EQ(std::string(auth.begin() + 2, auth.begin() + 18), std::string("abc") + std::string(13, '\0'));
  EXPECT_EQ(std::string(auth.begin() + 19, auth.end()), std::string("secret") + std::string(10, '\0'));
  cnf.socks5UserLen = -4;
  EXPECT_EQ(socks5AuthMessage(cnf)[2], 0);
  // A length that ends inside a character sends none of that character.
  cnf.socks5Passwd = "\xD0\xBF\xD0\xB0\xD1\x80";  // "пар"
  cnf.socks5PasswdLen = 5;
  const auto cut = socks5AuthMessage(cnf);
  EXPECT_EQ(std::string(cut.begin() + 19, cut.end()),
            std::string("\xD0\xBF\xD0\xB0") + std::string(12, '\0'));
}

TEST(Socks5, ConnectsWithoutAuthentication) {
  FakeProxy proxy({{3, {5, 0}}, {10, concat(ipv4Reply, peerBusyWire)}});
  store::CnfData cnf;
  useProxy(cnf, proxy);
  SharedSocket socket;
  ASSERT_EQ(socks5Connect(socket, cnf, target, targetPort, soon()), 0);
  CPacket p;
  EXPECT_EQ(recvPacket(*socket.get(), p), peerBusy);
  socket.closeAndReset();
  // No authentication message between greeting and connect request.
  EXPECT_EQ(proxy.received(), concat({5, 1, 0}, connectRequest));
}

TEST(Socks5, AuthenticatesWithPaddedFields) {
  FakeProxy proxy({{3, {5, 2}}, {35, {1, 0}}, {10, ipv4Reply}});
  store::CnfData cnf;
  useProxy(cnf, proxy);
  cnf.socks5Auth = 1;
  cnf.socks5User = "bob";
  cnf.socks5UserLen = 3;
  cnf.socks5Passwd = "pw";
  cnf.socks5PasswdLen = 2;
  SocketPtr socket;
  ASSERT_EQ(socks5Connect(socket, cnf, target, targetPort, soon()), 0);
  socket->close();
  const Bytes& got = proxy.received();
  ASSERT_EQ(got.size(), 3u + 35u + 10u);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 3), (Bytes{5, 1, 2}));
  Bytes auth{1, 16, 'b', 'o', 'b'};
  auth.resize(18, 0);
  auth.insert(auth.end(), {16, 'p', 'w'});
  auth.resize(35, 0);
  EXPECT_EQ(Bytes(got.begin() + 3, got.begin() + 38), auth);
  EXPECT_EQ(Bytes(got.begin() + 38, got.end()), connectRequest);
}

TEST(Socks5, DialogueFailuresGiveOne) {
  // Each proxy would go on to connect a client that ignored the failure.
  const struct {
    const char* what;
    bool auth;
    std::vector<Step> steps;
  } cases[] = {
      {"no acceptable method", false, {{3, {5, 0xFF}}, {10, ipv4Reply}}},
      {"method not offered", true, {{3, {5, 0}}, {10, ipv4Reply}}},
      {"authentication refused", true, {{3, {5, 2}}, {35, {1, 1}}, {10, ipv4Reply}}},
      {"connect refused", false, {{3, {5, 0}}, {10, {5, 5, 0, 1, 0, 0, 0, 0, 0, 0}}}},
      {"unknown address type", false, {{3, {5, 0}}, {10, {5, 0, 0, 7, 0, 0, 0, 0, 0, 0}}}},
      {"reply cut short", false, {{3, {5, 0}}, {10, {5, 0, 0, 1, 10}, true}}},
      {"proxy hangs up", false, {{3, {}, true}}},
  };
  for (const auto& c : cases) {
    auto steps = c.steps;
    FakeProxy proxy(std::move(steps));
    store::CnfData cnf;
    useProxy(cnf, proxy);
    cnf.socks5Auth = c.auth ? 1 : 0;
    SocketPtr socket;
    EXPECT_EQ(socks5Connect(socket, cnf, target, targetPort, soon()), 1) << c.what;
    ASSERT_TRUE(socket) << c.what;
    EXPECT_FALSE(socket->isOpen()) << c.what;
  }
}

TEST(Socks5, LongBoundAddressIsReadWhole) {
  const Bytes domainReply{5, 0, 0, 3, 13, 'p', 'r', 'o', 'x', 'y', '.', 'e', 'x', 'a', 'm', 'p',
                          'l', 'e', 0x04, 0x38};
  Bytes ipv6Reply{5, 0, 0, 4};
  ipv6Reply.resize(4 + 16 + 2, 0xEE);
  for (const Bytes& reply : {domainReply, ipv6Reply}) {
    FakeProxy proxy({{3, {5, 0}}, {10, concat(reply, peerBusyWire)}});
    store::CnfData cnf;
    useProxy(cnf, proxy);
    SocketPtr socket;
    ASSERT_EQ(socks5Connect(socket, cnf, target, targetPort, soon()), 0);
    CPacket p;
    EXPECT_EQ(recvPacket(*socket, p), peerBusy) << int(reply[3]);
    EXPECT_EQ(p.length, 0);
    socket->close();
  }
}

TEST(Socks5, UnreachableOrSilentProxy) {
  store::CnfData cnf;
  cnf.socks5Host = loopback;
  {
    // A port that was just free: nobody listens there.
    auto probe = Socket::createTcp();
    ASSERT_TRUE(probe && probe->listen(loopback, 0));
    cnf.socks5Port = probe->localPort();
  }
  SocketPtr socket;
  EXPECT_EQ(socks5Connect(socket, cnf, target, targetPort), 2);

  // A proxy that takes the greeting and never answers: the deadline given
  // for the connection also ends the dialogue.
  FakeProxy silent(std::vector<Step>{{3, {}}});
  useProxy(cnf, silent);
  EXPECT_EQ(socks5Connect(socket, cnf, target, targetPort, Socket::Clock::now() + 300ms), 1);
  EXPECT_TRUE(silent.clientHungUp());
}

}  // namespace
}  // namespace orvalis::net
