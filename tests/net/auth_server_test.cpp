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

namespace orvalis::net {
namespace {

using namespace std::chrono_literals;

const std::uint32_t loopback = htonl(INADDR_LOOPBACK);

// Accepts connections one after another; answers each request with
// answerCode, or keeps silent while silent is set.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::int16_t answerCode, int silentConnections = 0)
      : answerCode_(answerCode), silentLeft_(silentConnections) {
    listener_ = Socket::createTcp();
    EXPECT_TRUE(listener_->listen(loopback, 0));
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedServer() {
    listener_->close();
    thread_.join();
  }

  std::uint16_t port() const { return listener_->localPort(); }
  std::vector<std::int16_t> requests() const {
    std::lock_guard lock(lock_);
    return requests_;
  }

 private:
  void serve() {
    std::vector<SocketPtr> held;  // silent connections stay open until the end
    while (SocketPtr peer = listener_->accept()) {
      CPacket request;
      const int code = recvPacket(*peer, request);
      {
        std::lock_guard lock(lock_);
        requests_.push_back(static_cast<std::int16_t>(code));
      }
      if (silentLeft_ > 0) {
        --silentLeft_;
        held.push_back(peer);
        continue;
      }
      CPacket answer;
      buildPacket(answer, answerCode_, 0);
      sendPacket(*peer, answer);
      peer->close();
    }
  }

  std::int16_t answerCode_;
  int silentLeft_;
  SocketPtr listener_;
  mutable std::mutex lock_;
  std::vector<std::int16_t> requests_;
  std::thread thread_;
};

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
