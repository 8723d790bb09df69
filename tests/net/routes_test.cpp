// Every route to the server carries every account transaction: directly,
// through a SOCKS5 proxy with and without a password, through an HTTP
// proxy, and through the gate. The server, the relay and the proxies are
// real programs started here on loopback.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <thread>

#include "net/auth_server.h"
#include "net/message_codes.h"
#include "net/requests.h"
#include "net/tls_channel.h"
#include "support/child_process.h"
#include "support/recording_relay.h"
#include "support/temp_dir.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;
using testing::ChildProcess;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);
constexpr auto startLimit = 10s;

enum class Route { direct, socks5, socks5Password, httpTunnel, gate };

std::string routeName(const ::testing::TestParamInfo<Route>& info) {
  switch (info.param) {
    case Route::direct: return "Direct";
    case Route::socks5: return "Socks5";
    case Route::socks5Password: return "Socks5Password";
    case Route::httpTunnel: return "HttpTunnel";
    case Route::gate: return "Gate";
  }
  return "Unknown";
}

std::uint16_t listeningPort(ChildProcess& process) {
  const auto port = process.waitForLine("listening on ", startLimit);
  if (!port) throw std::runtime_error("no port announced: " + process.errText());
  return static_cast<std::uint16_t>(std::stoi(*port));
}

// A proxy program on a port of its own, up and accepting.
std::unique_ptr<ChildProcess> startProxy(const std::string& program,
                                         const std::vector<std::string>& args,
                                         std::uint16_t port) {
  auto proxy = std::make_unique<ChildProcess>(program, args);
  if (!testing::waitForPort(port, startLimit)) {
    throw std::runtime_error(program + " did not start: " + proxy->errText());
  }
  return proxy;
}

class Routes : public ::testing::TestWithParam<Route> {
 protected:
  void SetUp() override {
    server_ = std::make_unique<ChildProcess>(
        ORVALIS_SERVER_PATH,
        std::vector<std::string>{"--port", "0", "--bind", "127.0.0.1", "--db",
                                 dir_.file("users.db").string(), "--hash-cost", "min", "--quiet"});
    const std::uint16_t serverPort = listeningPort(*server_);
    cnf_.serverHost = loopback;
    cnf_.serverPort = serverPort;

    switch (GetParam()) {
      case Route::direct:
        cnf_.connectServer = static_cast<std::int32_t>(store::ConnectWay::direct);
        break;
      case Route::socks5:
      case Route::socks5Password: {
        const std::uint16_t port = testing::freePort();
        std::vector<std::string> args{"-i", "127.0.0.1", "-p", std::to_string(port)};
        if (GetParam() == Route::socks5Password) {
          args.insert(args.end(), {"-u", "usr", "-P", "secret"});
          cnf_.socks5Auth = 1;
          cnf_.socks5User = "usr";  // reaches the proxy zero padded to 16
          cnf_.socks5UserLen = 3;
          cnf_.socks5Passwd = "secret";
          cnf_.socks5PasswdLen = 6;
        }
        proxy_ = startProxy("microsocks", args, port);
        cnf_.connectServer = static_cast<std::int32_t>(store::ConnectWay::socks5);
        cnf_.socks5Host = loopback;
        cnf_.socks5Port = port;
        break;
      }
      case Route::httpTunnel: {
        const std::uint16_t port = testing::freePort();
        const std::string conf = dir_.file("proxy.conf").string();
        std::ofstream(conf) << "Port " << port
                            << "\nListen 127.0.0.1\nAllow 127.0.0.1\nTimeout 30\n"
                               "MaxClients 20\nLogLevel Error\n";
        proxy_ = startProxy("tinyproxy", {"-d", "-c", conf}, port);
        cnf_.connectServer = static_cast<std::int32_t>(store::ConnectWay::httpTunnel);
        cnf_.httpHost = loopback;
        cnf_.httpPort = port;
        break;
      }
      case Route::gate:
        proxy_ = std::make_unique<ChildProcess>(
            ORVALIS_SERVER_PATH,
            std::vector<std::string>{"--relay", "127.0.0.1:" + std::to_string(serverPort),
                                     "--port", "0", "--bind", "127.0.0.1"});
        cnf_.connectServer = static_cast<std::int32_t>(store::ConnectWay::gate);
        cnf_.gateHost = loopback;
        cnf_.gatePort = listeningPort(*proxy_);
        cnf_.serverPort = 1;  // must not be used
        break;
    }
  }

  // One transaction through the route; the answer, or code 0 when the slot
  // failed.
  CPacket transact(std::int16_t code, std::span<const std::uint8_t> payload,
                   store::ServerKeys* keys = nullptr, bool* keyRefused = nullptr) {
    AuthTable table;
    auto& slot = table[static_cast<std::size_t>(code)];
    buildPacket(slot.request, code, static_cast<std::int16_t>(payload.size()), payload);
    slot.store(SlotState::slotQueued);
    std::atomic<AuthThread> authThread{AuthThread::starting};
    { CAuthServer sweep(table, cnf_, authThread, transactionTimeLimit, nullptr, keys); }
    if (keyRefused != nullptr) *keyRefused = slot.keyRefused;
    return slot.load() == SlotState::slotDone ? slot.answer : CPacket{};
  }

  Ticket login(std::int32_t number, std::string_view password, std::uint16_t port) {
    const CPacket answer = transact(reqLogin, loginPayload(number, password, loopback, port));
    EXPECT_EQ(answer.code, ansLoggedIn) << number;
    return parseTicket(answer);
  }

  testing::TempDir dir_;
  std::unique_ptr<ChildProcess> server_;
  std::unique_ptr<ChildProcess> proxy_;
  store::CnfData cnf_;
};

TEST_P(Routes, CarryEveryAccountTransaction) {
  constexpr std::int32_t alice = 200000001;
  constexpr std::int32_t bob = 200000002;

  EXPECT_EQ(transact(reqTestServer, {}).code, ansDone);
  EXPECT_EQ(transact(reqRegister, registerPayload(alice, "alice1")).code, ansDone);
  EXPECT_EQ(transact(reqRegister, registerPayload(alice, "other1")).code, ansNumberDuplicate);
  EXPECT_EQ(transact(reqRegister, registerPayload(bob, "bobby1")).code, ansDone);
  EXPECT_EQ(transact(reqLogin, loginPayload(alice, "wrong1", loopback, 5000)).code, ansFailed);

  const Ticket aliceTicket = login(alice, "alice1", 5001);
  const Ticket bobTicket = login(bob, "bobby1", 5002);

  const CPacket found = transact(reqFindUser, findUserPayload(aliceTicket, bob));
  ASSERT_EQ(found.code, ansUserFound);
  EXPECT_EQ(parseUserFound(found).address, loopback);
  EXPECT_EQ(parseUserFound(found).port, 5002);
  EXPECT_EQ(transact(reqFindUser, findUserPayload(aliceTicket, 300000000)).code, ansUserInvalid);

  EXPECT_EQ(transact(reqChangePasswd, changePasswdPayload(bobTicket, "bobby2")).code, ansDone);
  EXPECT_EQ(transact(reqLogout, bobTicket).code, ansDone);
  EXPECT_EQ(transact(reqFindUser, findUserPayload(aliceTicket, bob)).code, ansUserOffline);
  EXPECT_EQ(transact(reqLogin, loginPayload(bob, "bobby1", loopback, 5002)).code, ansFailed);
  login(bob, "bobby2", 5003);

  EXPECT_EQ(transact(reqDeleteUser, aliceTicket).code, ansDone);
  EXPECT_EQ(transact(reqLogin, loginPayload(alice, "alice1", loopback, 5001)).code, ansFailed);
  EXPECT_EQ(transact(reqFindUser, findUserPayload(aliceTicket, bob)).code, ansFailed);
}

// TLS rides every route that carries the server's own bytes, and the
// server's key is the same whichever way it is reached.
// (The HTTP tunnel carries GETs, not the server's bytes.)
class TlsRoutes : public Routes {};

TEST_P(TlsRoutes, CarryTlsToTheSameKey) {
  std::optional<KeyPin> first;
  for (int i = 0; i < 2; ++i) {
    SharedSocket current;
    ASSERT_EQ(openServerRoute(cnf_, current, Socket::Clock::now() + 10s), 0);
    const SocketPtr socket = current.get();
    TlsChannel channel(*socket);
    const auto pin = channel.handshake();
    ASSERT_TRUE(pin);
    if (first) EXPECT_EQ(*pin, *first);
    first = pin;
    CPacket request, answer;
    buildPacket(request, reqTestServer, 0);
    ASSERT_EQ(channel.sendPacket(request), reqTestServer);
    EXPECT_EQ(channel.recvPacket(answer), ansDone);
  }
}

// With a key book the requests go over TLS, and the key met first is
// pinned: a server showing another key is refused with nothing sent, and
// one that stops speaking TLS is not spoken to in plain.
TEST_P(TlsRoutes, PinTheFirstKeyAndHoldTheServerToIt) {
  store::ServerKeys keys(dir_.file("server-keys").string());
  EXPECT_EQ(transact(reqRegister, registerPayload(200000001, "alice1"), &keys).code, ansDone);
  const auto pin = keys.find(serverOf(cnf_));
  ASSERT_TRUE(pin);
  EXPECT_EQ(store::ServerKeys(dir_.file("server-keys").string()).find(serverOf(cnf_)), pin);
  EXPECT_EQ(transact(reqLogin, loginPayload(200000001, "alice1", loopback, 5001), &keys).code,
            ansLoggedIn);

  store::KeyPin other = *pin;
  other[0] ^= 1;
  store::ServerKeys changed(dir_.file("changed-keys").string());
  changed.remember(serverOf(cnf_), other);
  bool refused = false;
  EXPECT_EQ(transact(reqRegister, registerPayload(200000002, "bobby1"), &changed, &refused).code,
            0);
  EXPECT_TRUE(refused);
  EXPECT_EQ(transact(reqRegister, registerPayload(200000002, "bobby1"), &keys).code, ansDone)
      << "the refused registration reached the server";
}

// A server that has never offered TLS is spoken to in plain; once its key
// is pinned, plain is refused.
TEST(TlsFallback, PlainServerUnlessPinned) {
  testing::TempDir dir;
  ChildProcess server(ORVALIS_SERVER_PATH,
                      {"--port", "0", "--bind", "127.0.0.1", "--db", dir.file("users.db").string(),
                       "--hash-cost", "min", "--no-tls"});
  store::CnfData cnf;
  cnf.connectServer = static_cast<std::int32_t>(store::ConnectWay::direct);
  cnf.serverHost = loopback;
  cnf.serverPort = listeningPort(server);
  store::ServerKeys keys(dir.file("server-keys").string());
  AuthSlot slot;
  SharedSocket current;
  buildPacket(slot.request, reqTestServer, 0);
  ASSERT_TRUE(runTransaction(slot, cnf, current, transactionTimeLimit, &keys));
  EXPECT_EQ(slot.answer.code, ansDone);
  EXPECT_FALSE(keys.find(serverOf(cnf)));
  // For a while it is asked in plain at once: its log shows one handshake
  // it could not read, not one per request.
  ASSERT_TRUE(runTransaction(slot, cnf, current, transactionTimeLimit, &keys));
  EXPECT_EQ(slot.answer.code, ansDone);
  const auto count = [&](const std::string& what) {
    const std::string log = server.errText();
    std::size_t n = 0;
    for (auto at = log.find(what); at != std::string::npos; at = log.find(what, at + 1)) ++n;
    return n;
  };
  // The log is written by a thread of its own.
  const auto limit = std::chrono::steady_clock::now() + 5s;
  while (count("request=reqTestServer") < 2 && std::chrono::steady_clock::now() < limit)
    std::this_thread::sleep_for(10ms);
  EXPECT_EQ(count("request=reqTestServer"), 2u) << server.errText();
  EXPECT_EQ(count("request=malformed"), 1u) << server.errText();

  keys.remember(serverOf(cnf), store::KeyPin{});
  EXPECT_FALSE(runTransaction(slot, cnf, current, transactionTimeLimit, &keys));
  EXPECT_FALSE(slot.keyRefused);
}

// What crosses the wire: a login over TLS shows its password nowhere; the
// same login in plain shows it, so the capture would have seen it.
class TlsCapture : public Routes {};

TEST_P(TlsCapture, TheLoginsPasswordNeverCrossesInClear) {
  testing::RecordingRelay wire(cnf_.serverPort);
  cnf_.serverPort = wire.port();
  store::ServerKeys keys(dir_.file("server-keys").string());
  EXPECT_EQ(transact(reqRegister, registerPayload(200000001, "Pw-at-stake"), &keys).code, ansDone);
  EXPECT_EQ(transact(reqLogin, loginPayload(200000001, "Pw-at-stake", loopback, 5001), &keys).code,
            ansLoggedIn);
  EXPECT_EQ(wire.carried().find("Pw-at-stake"), std::string::npos);
  EXPECT_EQ(transact(reqLogin, loginPayload(200000001, "Pw-at-stake", loopback, 5001)).code,
            ansLoggedIn);
  EXPECT_NE(wire.carried().find("Pw-at-stake"), std::string::npos);
}

// A handshake with a server that never answers ends when another thread
// closes the socket, as a shutdown of the phone does.
TEST(TlsChannelAbort, CloseWakesTheHandshake) {
  const auto mute = Socket::createTcp();
  ASSERT_TRUE(mute->listen(loopback, 0));
  SharedSocket current;
  ASSERT_EQ(connectTcp(current, loopback, mute->localPort()), ConnectResult::ok);
  const SocketPtr socket = current.get();
  std::thread closer([&] {
    std::this_thread::sleep_for(100ms);
    current.closeAndReset();
  });
  TlsChannel channel(*socket);
  const auto began = std::chrono::steady_clock::now();
  EXPECT_FALSE(channel.handshake());
  EXPECT_LT(std::chrono::steady_clock::now() - began, 5s);
  closer.join();
}

INSTANTIATE_TEST_SUITE_P(Direct, TlsCapture, ::testing::Values(Route::direct), routeName);
INSTANTIATE_TEST_SUITE_P(ServerBytes, TlsRoutes,
                         ::testing::Values(Route::direct, Route::socks5Password, Route::gate),
                         routeName);
INSTANTIATE_TEST_SUITE_P(AllWays, Routes,
                         ::testing::Values(Route::direct, Route::socks5, Route::socks5Password,
                                           Route::httpTunnel, Route::gate),
                         routeName);

TEST(RoutesRefused, WrongProxyPasswordFailsTheTransaction) {
  const std::uint16_t port = testing::freePort();
  auto proxy = startProxy("microsocks",
                          {"-i", "127.0.0.1", "-p", std::to_string(port), "-u", "usr", "-P", "secret"},
                          port);
  store::CnfData cnf;
  cnf.connectServer = static_cast<std::int32_t>(store::ConnectWay::socks5);
  cnf.serverHost = loopback;
  cnf.serverPort = 1;
  cnf.socks5Host = loopback;
  cnf.socks5Port = port;
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  buildPacket(table[reqTestServer].request, reqTestServer, 0);
  table[reqTestServer].store(SlotState::slotQueued);

  // No password offered to a proxy that wants one, then a wrong one.
  { CAuthServer sweep(table, cnf, authThread); }
  EXPECT_EQ(table[reqTestServer].load(), SlotState::slotFailed);

  cnf.socks5Auth = 1;
  cnf.socks5User = "usr";
  cnf.socks5UserLen = 3;
  cnf.socks5Passwd = "wrong!";
  cnf.socks5PasswdLen = 6;
  table[reqTestServer].store(SlotState::slotQueued);
  { CAuthServer sweep(table, cnf, authThread); }
  EXPECT_EQ(table[reqTestServer].load(), SlotState::slotFailed);
}

}  // namespace
}  // namespace orvalis::net
