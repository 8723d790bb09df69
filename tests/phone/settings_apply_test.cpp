// Applying the configuration dialog's copy of the settings: which changes
// are asked about, what Yes and No keep, and what reaches the file.

#include "account_fixture.h"
#include "net/requests.h"
#include "phone/settings_apply.h"
#include "support/scripted_server.h"

namespace orvalis::testing {
namespace {

class SettingsApplyTest : public PhoneTest {
 protected:
  void SetUp() override {
    makePhone();
    ticks(phone::deferredStartValue);  // the start's own playback opening is done
    ASSERT_EQ(phone().playRestart.load(), 0);
    phone().cnfEdit.copyFrom(phone().cnf);
  }
  bool apply(bool savePasswd = true, std::int32_t startUp = 0) {
    return phone::applySettings(phone(), host, {"c1\nc2", "s1\ns2"}, savePasswd, startUp);
  }
  // An account with a saved password on server, transactions running.
  void useServer(const ScriptedServer& server) {
    phone().cnf.userNumber = 200000001;
    phone().cnf.passwd = "secret";
    phone().cnf.passwdLen = 6;
    phone().cnf.serverPort = server.port();
    phone().netReady = true;
  }
  // The user applies settings that name server instead.
  void moveTo(const ScriptedServer& server) {
    phone().cnfEdit.copyFrom(phone().cnf);
    phone().cnfEdit.serverPort = server.port();
    ASSERT_TRUE(apply());
  }
  bool loggedIn() { return phone().serverState.load() == phone::ServerState::loggedIn; }

  RecordingHost host;
};

TEST_F(SettingsApplyTest, WhatCountsAsAChange) {
  phone::CPhone& p = phone();
  p.cnfEdit.tmHoldVoice = 3;  // neither connection nor sound
  EXPECT_FALSE(phone::connectionChanged(p));
  EXPECT_FALSE(phone::soundChanged(p));

  p.cnfEdit.dynamicPort = 0;
  EXPECT_TRUE(phone::connectionChanged(p));
  p.cnf.dynamicPort = 0;  // a fixed port in both: only a different port counts
  EXPECT_FALSE(phone::connectionChanged(p));
  p.cnfEdit.userPort = static_cast<std::uint16_t>(p.cnf.userPort.get() + 1);
  EXPECT_TRUE(phone::connectionChanged(p));
  p.cnf.dynamicPort = 1;
  p.cnfEdit.dynamicPort = 1;
  EXPECT_FALSE(phone::connectionChanged(p));
  // A stopped listener counts only while the network is ready.
  p.callState.stateBind = net::BindState::bindStopped;
  EXPECT_FALSE(phone::connectionChanged(p));
  p.netReady = true;
  EXPECT_TRUE(phone::connectionChanged(p));

  using store::CnfData;
  for (auto field : {&CnfData::nGsm, &CnfData::soundSp, &CnfData::soundMc, &CnfData::soundSystem,
                     &CnfData::msa}) {
    (p.cnfEdit.*field) = (p.cnf.*field).get() + 1;
    EXPECT_TRUE(phone::soundChanged(p));
    (p.cnfEdit.*field) = (p.cnf.*field).get();
  }
}

TEST_F(SettingsApplyTest, YesTakesAndRestartsNoPutsBack) {
  phone::CPhone& p = phone();
  const std::uint16_t port = p.cnf.userPort.get();
  auto edit = [&] {
    p.cnfEdit.dynamicPort = 0;
    p.cnfEdit.userPort = 4500;
    p.cnfEdit.msa = 1;
    p.cnfEdit.reHost = 0x04030201;  // asked about by nobody: always taken
  };
  edit();
  host.answerYes = false;
  ASSERT_TRUE(apply());
  EXPECT_EQ(host.questions, (std::vector<std::string>{"|c1\nc2", "|s1\ns2"}));
  for (const store::CnfData* rec : {&p.cnf, &p.cnfEdit}) {
    EXPECT_EQ(rec->dynamicPort.get(), 1);
    EXPECT_EQ(rec->userPort.get(), port);
    EXPECT_EQ(rec->msa.get(), 3);
    EXPECT_EQ(rec->reHost.get(), 0x04030201u);
  }
  EXPECT_EQ(p.bindRestart, 0);
  EXPECT_EQ(p.playRestart.load(), 0);

  edit();
  host.answerYes = true;
  audio->startTest();
  ASSERT_TRUE(apply());
  EXPECT_EQ(p.cnf.dynamicPort.get(), 0);
  EXPECT_EQ(p.cnf.userPort.get(), 4500);
  EXPECT_EQ(p.cnf.msa.get(), 1);
  EXPECT_EQ(p.bindRestart, phone::deferredStartValue);
  EXPECT_EQ(p.playRestart.load(), phone::deferredStartValue);
  EXPECT_EQ(audio->testStates(), audio::TestStates{});  // the microphone test stopped
}

TEST_F(SettingsApplyTest, DuringACallTheRestartsWaitForItsEnd) {
  phone::CPhone& p = phone();
  p.callState.stateClient = net::ClientState::clientTalk;
  p.startCapture();  // the call's microphone
  p.cnf.dynamicPort = 0;
  p.cnfEdit.dynamicPort = 1;  // a new listener, on a port the system picks
  p.cnfEdit.soundSp = 1;
  audioLog.clear();
  ASSERT_TRUE(apply());
  EXPECT_EQ(ui.messages, (std::vector<std::string>{
                             "The new connection settings take effect when the call ends.",
                             "The new sound settings take effect when the call ends."}));
  EXPECT_EQ(p.cnf.soundSp.get(), 1);  // taken, used from the restart on
  ticks(5);
  EXPECT_TRUE(deviceSteps().empty());
  EXPECT_EQ(p.callState.stateClient.load(), net::ClientState::clientTalk);
  EXPECT_EQ(p.callState.stateBind.load(), net::BindState::bindListening);

  p.callState.stateClient = net::ClientState::clientIdle;  // the call ended
  p.tick();
  EXPECT_EQ(deviceSteps(), (std::vector<std::string>{"closeCapture", "closePlayback"}));
  EXPECT_EQ(p.callState.stateBind.load(), net::BindState::bindStopped);
  ticks(2);
  EXPECT_EQ(deviceSteps().back(), "openPlayback 1 2");
  awaitListener();
  EXPECT_EQ(p.callState.stateBind.load(), net::BindState::bindListening);
  ticks(5);
  EXPECT_EQ(deviceSteps().size(), 3u);  // once only
  EXPECT_EQ(ui.messages.size(), 2u);
}

TEST_F(SettingsApplyTest, AnotherServerLogsOutThereAndInHere) {
  ScriptedServer oldServer(net::ansDone), newServer(net::ansLoggedIn);
  phone::CPhone& p = phone();
  p.cnf.serverPort = oldServer.port();
  p.cnfEdit.copyFrom(p.cnf);
  p.cnfEdit.serverPort = newServer.port();
  EXPECT_TRUE(phone::connectionChanged(p));
  EXPECT_FALSE(phone::listenerChanged(p));

  host.answerYes = false;  // No keeps the old server
  ASSERT_TRUE(apply());
  EXPECT_EQ(p.cnfEdit.serverPort.get(), oldServer.port());

  // Logged in, Yes: the logout goes to the old server at once, then the
  // automatic login to the new one.
  p.cnf.userNumber = 200000001;
  p.cnf.passwd = "secret";
  p.cnf.passwdLen = 6;
  p.serverState = phone::ServerState::loggedIn;
  p.ticket = net::Ticket{1, 2, 3, 4, 5, 6, 7, 8};
  p.netReady = true;
  p.cnfEdit.copyFrom(p.cnf);
  p.cnfEdit.serverPort = newServer.port();
  host.answerYes = true;
  ASSERT_TRUE(apply());
  EXPECT_EQ(p.cnf.serverPort.get(), newServer.port());
  EXPECT_EQ(p.bindRestart, 0);  // the listener is not the server's business
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (p.serverState.load() != phone::ServerState::loggedIn &&
         std::chrono::steady_clock::now() < until) {
    p.tick();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  EXPECT_EQ(p.serverState.load(), phone::ServerState::loggedIn);
  EXPECT_EQ(oldServer.requests(), std::vector<std::int16_t>{net::reqLogout});
  EXPECT_EQ(newServer.requests(), std::vector<std::int16_t>{net::reqLogin});
  p.netReady = false;
}

TEST_F(SettingsApplyTest, AServerLeftDuringASweepPastTheLogoutIsLoggedOutNotTheNewOne) {
  ScriptedServer oldServer(net::ansUserOffline), newServer(net::ansDone);
  oldServer.issueTickets(1);
  newServer.issueTickets(101);
  useServer(oldServer);
  ASSERT_TRUE(tickUntil([&] { return loggedIn(); }));
  // The sweep is at the search, past the logout's slot, when the user
  // moves to the new server.
  oldServer.hold(net::reqFindUser);
  phone().findUser(300000003);
  phone().tick();
  ASSERT_TRUE(oldServer.awaitRequests(2));
  moveTo(newServer);
  oldServer.release();

  ASSERT_TRUE(tickUntil([&] { return loggedIn(); }));
  ASSERT_EQ(oldServer.requests(),
            (std::vector<std::int16_t>{net::reqLogin, net::reqFindUser, net::reqLogout}));
  EXPECT_EQ(net::parseTicket(oldServer.received()[2]), (net::Ticket{1, 1, 1, 1, 1, 1, 1, 1}));
  EXPECT_EQ(newServer.requests(), std::vector<std::int16_t>{net::reqLogin});
  EXPECT_EQ(phone().ticket, (net::Ticket{101, 101, 101, 101, 101, 101, 101, 101}));
}

TEST_F(SettingsApplyTest, ALoginInFlightToAServerLeftIsDroppedAndLoggedOutThere) {
  ScriptedServer oldServer(net::ansDone), newServer(net::ansDone);
  oldServer.issueTickets(1);
  newServer.issueTickets(101);
  oldServer.hold(net::reqLogin);
  useServer(oldServer);
  ASSERT_TRUE(tickUntil([&] { return !oldServer.requests().empty(); }));
  moveTo(newServer);
  oldServer.release();  // the old server logs the user in after all

  ASSERT_TRUE(tickUntil([&] { return loggedIn(); }));
  EXPECT_EQ(phone().ticket, (net::Ticket{101, 101, 101, 101, 101, 101, 101, 101}));
  EXPECT_EQ(newServer.requests(), std::vector<std::int16_t>{net::reqLogin});
  ASSERT_TRUE(oldServer.awaitRequests(2));
  ASSERT_EQ(oldServer.requests(), (std::vector<std::int16_t>{net::reqLogin, net::reqLogout}));
  EXPECT_EQ(net::parseTicket(oldServer.received()[1]), (net::Ticket{1, 1, 1, 1, 1, 1, 1, 1}));
}

TEST_F(SettingsApplyTest, PasswordStartUpAndTheWholeRecordReachTheFile) {
  phone::CPhone& p = phone();
  auto saved = [&] {
    store::CnfData cnf, cnfEdit;
    store::CConfig reread(cnf, cnfEdit, dir.dir());
    return cnf.encode();
  };
  p.cnfEdit.passwd = "secret";
  p.cnfEdit.passwdLen = 6;
  p.cnfEdit.socks5Port = 1080;
  ASSERT_TRUE(apply(true, 1));
  EXPECT_TRUE(host.questions.empty());
  EXPECT_EQ(p.cnf.passwd.str(), "secret");
  EXPECT_EQ(p.cnf.startUp.get(), 1);
  EXPECT_EQ(p.cnf.socks5Port.get(), 1080);
  EXPECT_EQ(saved(), p.cnf.encode());

  // Unchecked, the saved password is forgotten in both records and the file.
  ASSERT_TRUE(apply(false, 0));
  for (const store::CnfData* rec : {&p.cnf, &p.cnfEdit}) {
    EXPECT_EQ(rec->passwd.str(), "");
    EXPECT_EQ(rec->passwdLen.get(), 0);
    EXPECT_EQ(rec->startUp.get(), 0);
  }
  EXPECT_EQ(saved(), p.cnf.encode());
}

}  // namespace
}  // namespace orvalis::testing
