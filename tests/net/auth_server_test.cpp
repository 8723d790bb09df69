// The transaction thread against scripted servers on loopback.

#include "net/auth_server.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>

#include <mutex>
#include <thread>
#include <vector>

#include "net/message_codes.h"
#include "net/packet_io.h"
#include "net/requests.h"
#include "support/scripted_server.h"

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

using orvalis::testing::ScriptedServer;

void queue(AuthTable& table, std::int16_t code) {
  buildPacket(table[static_cast<std::size_t>(code)].request, code, 0);
  table[static_cast<std::size_t>(code)].store(SlotState::slotQueued);
}

void pointAtServer(store::CnfData& cnf, std::uint16_t port, std::int32_t way) {
  cnf.connectServer = way;
  cnf.serverHost = loopback;
  cnf.serverPort = port;
}

std::size_t openDescriptors() {
  std::size_t count = 0;
  if (DIR* dir = ::opendir("/proc/self/fd")) {
    while (::readdir(dir) != nullptr) ++count;
    ::closedir(dir);
  }
  return count;
}

TEST(AuthServer, SweepPerformsQueuedSlotsInIndexOrderEachOnItsOwnConnection) {
  ScriptedServer server(77);  // any code at all counts as an answer
  store::CnfData cnf;
  pointAtServer(cnf, server.port(), 7);  // an unknown way is the direct one
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  queue(table, reqTestServer);
  queue(table, reqLogin);
  queue(table, reqDeleteUser);
  { CAuthServer sweep(table, cnf, authThread); }

  EXPECT_EQ(server.requests(), (std::vector<std::int16_t>{reqDeleteUser, reqLogin, reqTestServer}));
  for (const std::int16_t code : {reqDeleteUser, reqLogin, reqTestServer}) {
    EXPECT_EQ(table[static_cast<std::size_t>(code)].load(), SlotState::slotDone) << code;
    EXPECT_EQ(table[static_cast<std::size_t>(code)].answer.code, 77) << code;
  }
  EXPECT_EQ(table[reqRegister].load(), SlotState::slotIdle);
  EXPECT_EQ(authThread.load(), AuthThread::none);
}

TEST(AuthServer, ALoginAnnouncesWhereItsConnectionComesFrom) {
  ScriptedServer first(ansLoggedIn), second(ansLoggedIn);
  store::CnfData cnf;
  pointAtServer(cnf, first.port(), 0);
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  auto queueLogin = [&] {
    AuthSlot& slot = table[reqLogin];
    const auto payload = loginPayload(200000001, "secret", htonl(0x0A010203), 5000);
    buildPacket(slot.request, reqLogin, static_cast<std::int16_t>(payload.size()), payload);
    slot.announceFromConnection = true;
    slot.store(SlotState::slotQueued);
  };
  queueLogin();
  {
    CAuthServer sweep(table, cnf, authThread);
    // The sweep keeps the settings it started with.
    cnf.serverPort = second.port();
  }
  ASSERT_EQ(first.received().size(), 1u);
  EXPECT_TRUE(second.received().empty());
  // The connection comes from loopback, which is never announced.
  EXPECT_EQ(loginAddress(first.received()[0]), 0u);
  EXPECT_EQ(loginPort(first.received()[0]), 5000);

  // With the NAT option, the public address stands.
  cnf.useReDirectCallIn = 1;
  cnf.reHost = htonl(0xCB007105);
  table[reqLogin].store(SlotState::slotIdle);
  queueLogin();
  { CAuthServer sweep(table, cnf, authThread); }
  ASSERT_EQ(second.received().size(), 1u);
  EXPECT_EQ(loginAddress(second.received()[0]), htonl(0xCB007105));
}

TEST(AuthServer, ARequestCarryingTheTicketTakesTheSessionsAsItIsSent) {
  ScriptedServer server(ansUserOffline);
  server.issueTickets(5);
  store::CnfData cnf;
  pointAtServer(cnf, server.port(), 0);
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  ServerSession session;
  auto queueFind = [&] {
    AuthSlot& slot = table[reqFindUser];
    const auto payload = findUserPayload(Ticket{9, 9, 9, 9, 9, 9, 9, 9}, 300000003);
    buildPacket(slot.request, reqFindUser, static_cast<std::int16_t>(payload.size()), payload);
    slot.carriesTicket = true;
    slot.store(SlotState::slotQueued);
  };
  auto sweep = [&] { CAuthServer run(table, cnf, authThread, transactionTimeLimit, &session); };

  // The login ahead of it in the same sweep has replaced the ticket.
  queue(table, reqLogin);
  queueFind();
  sweep();
  ASSERT_EQ(server.requests(), (std::vector<std::int16_t>{reqLogin, reqFindUser}));
  EXPECT_EQ(parseTicket(server.received()[1]), (Ticket{5, 5, 5, 5, 5, 5, 5, 5}));
  EXPECT_EQ(readInt32(server.received()[1].payload, 8), 300000003);

  // Once the settings are to name another server, no ticket goes out.
  session.advance();
  queueFind();
  sweep();
  EXPECT_EQ(table[reqFindUser].load(), SlotState::slotFailed);
  EXPECT_EQ(server.requests().size(), 2u);
}

TEST(AuthServer, GateRouteGoesToTheGateNotTheServer) {
  ScriptedServer gate(ansDone);
  store::CnfData cnf;
  pointAtServer(cnf, 1, static_cast<std::int32_t>(store::ConnectWay::gate));
  cnf.gateHost = loopback;
  cnf.gatePort = gate.port();
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  queue(table, reqTestServer);
  { CAuthServer sweep(table, cnf, authThread); }
  EXPECT_EQ(table[reqTestServer].load(), SlotState::slotDone);
  EXPECT_EQ(gate.requests(), std::vector<std::int16_t>{reqTestServer});
}

TEST(AuthServer, UnreachableServerFailsEverySlotAndLeavesNoSocketOpen) {
  const std::uint16_t closedPort = [] {
    const SocketPtr probe = Socket::createTcp();
    probe->listen(loopback, 0);
    return probe->localPort();  // nothing listens there once probe is gone
  }();
  store::CnfData cnf;
  pointAtServer(cnf, closedPort, 0);
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  const std::size_t before = openDescriptors();
  for (const std::int16_t code : {reqRegister, reqLogin, reqFindUser, reqTestServer}) {
    queue(table, code);
  }
  { CAuthServer sweep(table, cnf, authThread); }
  for (const std::int16_t code : {reqRegister, reqLogin, reqFindUser, reqTestServer}) {
    EXPECT_EQ(table[static_cast<std::size_t>(code)].load(), SlotState::slotFailed) << code;
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST(AuthServer, SilentServerCostsOneSlotItsTimeLimitNotTheSweep) {
  ScriptedServer server(ansDone, /*silentConnections=*/1);
  store::CnfData cnf;
  pointAtServer(cnf, server.port(), 0);
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  queue(table, reqLogin);
  queue(table, reqTestServer);
  { CAuthServer sweep(table, cnf, authThread, 300ms); }
  EXPECT_EQ(table[reqLogin].load(), SlotState::slotFailed);
  EXPECT_EQ(table[reqTestServer].load(), SlotState::slotDone);
  EXPECT_EQ(authThread.load(), AuthThread::none);
}

TEST(AuthServer, AbortFailsTheTransactionUnderWayAndTheRest) {
  ScriptedServer server(ansDone, /*silentConnections=*/1);
  store::CnfData cnf;
  pointAtServer(cnf, server.port(), 0);
  AuthTable table;
  std::atomic<AuthThread> authThread{AuthThread::starting};
  queue(table, reqLogin);
  queue(table, reqLogout);
  {
    CAuthServer sweep(table, cnf, authThread);  // the full ten seconds
    while (server.requests().empty()) std::this_thread::sleep_for(1ms);
    sweep.abort();
  }
  EXPECT_EQ(table[reqLogin].load(), SlotState::slotFailed);
  EXPECT_EQ(table[reqLogout].load(), SlotState::slotFailed);
  EXPECT_EQ(server.requests().size(), 1u);
}

}  // namespace
}  // namespace orvalis::net
