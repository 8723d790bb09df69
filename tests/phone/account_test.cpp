// Automatic login, the queueing of server requests and what the controller
// does with their outcomes.

#include <filesystem>
#include <fstream>
#include <iterator>

#include <arpa/inet.h>
#include <netinet/in.h>

#include "net/requests.h"
#include "phone_fixture.h"
#include "support/child_process.h"
#include "support/scripted_server.h"
#include "support/subprocess.h"
#include "support/temp_dir.h"
#include "store/server_keys.h"

namespace orvalis::testing {
namespace {

using net::SlotState;
using phone::FindState;
using phone::ServerState;

std::vector<std::uint8_t> fileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

TEST_F(PhoneTest, SavedPasswordIsSentWithoutAsking) {
  makePhone();
  phone().cnf.userNumber = 123456789;
  phone().cnf.passwd = "secret";
  phone().cnf.passwdLen = 6;
  phone().cnf.userPort = 4000;
  phone().tick();

  EXPECT_EQ(ui.loginShown, 0);
  ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  // The server is on loopback: no address of this machine is announced, and
  // the transaction takes it from its connection.
  const auto expected = net::loginPayload(123456789, "secret", 0, 4000);
  const net::CPacket& req = request(net::reqLogin);
  EXPECT_EQ(req.code, net::reqLogin);
  EXPECT_EQ(req.length, 32);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), req.payload.begin()));
  EXPECT_TRUE(phone().quiryAuth[net::reqLogin].announceFromConnection);

  // Through a proxy, the machine's own address.
  phone().quiryAuth[net::reqLogin].store(SlotState::slotIdle);
  phone().cnf.connectServer = static_cast<std::int32_t>(store::ConnectWay::socks5);
  ticks(21);
  EXPECT_EQ(net::loginAddress(request(net::reqLogin)), hostAddress);

  // With "Use NAT address" the public address is announced instead.
  phone().quiryAuth[net::reqLogin].store(SlotState::slotIdle);
  phone().cnf.useReDirectCallIn = 1;
  phone().cnf.reHost = 0x04030201;
  ticks(21);
  EXPECT_EQ(net::loginAddress(request(net::reqLogin)), 0x04030201u);
}

TEST_F(PhoneTest, LoginsAnnounceThePortThatListens) {
  loggedInPhone();
  EXPECT_EQ(net::loginPort(request(net::reqLogin)), phone().cnf.userPort.get());
  EXPECT_TRUE(ui.messages.empty());  // the server is on loopback: nothing to tell

  // The listener moves to another port while logged in: nothing goes out
  // while it restarts, then a login announces the new port.
  const std::uint16_t next = freePort();
  phone().cnf.dynamicPort = 0;
  phone().cnf.userPort = next;
  phone().restartListener();
  for (int i = 0; i < phone::autoLoginInterval + 3; ++i) {
    phone().tick();
    if (phone().bindRestart > 0) {
      EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
    }
  }
  ASSERT_EQ(phone().callState.stateBind.load(), net::BindState::bindListening);
  ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  EXPECT_EQ(net::loginPort(request(net::reqLogin)), next);
  finish(net::reqLogin, net::ansLoggedIn, {9, 9, 9, 9, 9, 9, 9, 9});
  ticks(phone::autoLoginInterval + 1);
  EXPECT_EQ(phone().ticket, (net::Ticket{9, 9, 9, 9, 9, 9, 9, 9}));
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedIn);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);  // announced once

  // A port nobody could bind does not hold the login back.
  phone().serverState = ServerState::loggedOut;
  const auto taken = net::Socket::createTcp();
  ASSERT_TRUE(taken->listen(htonl(INADDR_ANY), 0));
  phone().cnf.userPort = taken->localPort();
  phone().restartListener();
  ticks(phone::autoLoginInterval + 3);
  EXPECT_EQ(phone().callState.stateBind.load(), net::BindState::bindStopped);
  EXPECT_EQ(ui.messages, std::vector<std::string>{"Port Already Use"});
  ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  EXPECT_EQ(net::loginPort(request(net::reqLogin)), taken->localPort());

  // A login that fails while logged in leaves the phone logged out.
  phone().quiryAuth[net::reqLogin].store(SlotState::slotIdle);
  phone().serverState = ServerState::loggedIn;
  phone().cnf.userPort = static_cast<std::uint16_t>(taken->localPort() + 1);
  phone().cnf.dynamicPort = 1;
  phone().restartListener();
  ticks(phone::autoLoginInterval + 3);
  ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  fail(net::reqLogin);
  phone().tick();
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedOut);
}

TEST_F(PhoneTest, APhoneOnlyLoopbackReachesIsToldSoOnce) {
  makePhone();
  phone().cnf.userNumber = 200000001;
  phone().cnf.passwd = "secret";
  phone().cnf.passwdLen = 6;
  phone().cnf.serverHost = htonl(0xC6336401);  // 198.51.100.1, another machine
  for (int login = 0; login < 2; ++login) {
    phone().serverState = ServerState::loggedOut;
    ticks(phone::autoLoginInterval + 1);
    ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
    net::setLoginAddress(phone().quiryAuth[net::reqLogin].request, 0);  // what it had to give
    finish(net::reqLogin, net::ansLoggedIn, {1, 2, 3, 4, 5, 6, 7, 8});
    phone().tick();
    ASSERT_EQ(phone().serverState.load(), ServerState::loggedIn);
  }
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_NE(ui.messages[0].find("cannot call this phone"), std::string::npos);
  EXPECT_TRUE(ui.localHostLabel.starts_with("0.0.0.0:")) << ui.localHostLabel;
}

TEST_F(PhoneTest, NoLoginWithoutOwnNumberOrWhileSuspended) {
  makePhone();
  ticks(30);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
  phone().cnf.userNumber = 123456789;
  phone().serverState = ServerState::suspended;
  ticks(30);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
  EXPECT_EQ(ui.loginShown, 0);
}

TEST_F(PhoneTest, LoginDialogStoresOrClearsThePasswordAndSaves) {
  makePhone();
  phone().cnf.userNumber = 123456789;
  ui.loginAnswer = {true, true, "newpass"};
  phone().tick();

  EXPECT_EQ(ui.loginShown, 1);
  EXPECT_EQ(ui.loginCaption, "Connection to server.");
  EXPECT_EQ(ui.loginSaveCaption, "Save password.");
  EXPECT_FALSE(ui.lastPrefill.savePasswd);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  EXPECT_EQ(request(net::reqLogin).payload[4], 7);
  for (const store::CnfData* rec : {&phone().cnf, &phone().cnfEdit}) {
    EXPECT_EQ(rec->passwd.str(), "newpass");
    EXPECT_EQ(rec->passwdLen.get(), 7);
  }
  auto saved = fileBytes(dir.file("phone201.cnf"));
  ASSERT_EQ(saved.size(), store::cnfSize);
  EXPECT_EQ(std::string(saved.begin() + 4276, saved.begin() + 4283), "newpass");

  // A wrong password: the next attempt asks again, showing the saved one,
  // and an unticked box erases it.
  finish(net::reqLogin, net::ansFailed);
  phone().tick();
  EXPECT_EQ(ui.loginPrompt, "The password is incorrect, repeat input.");
  ui.loginAnswer = {true, false, "other1"};
  ticks(20);
  EXPECT_EQ(ui.loginShown, 2);
  EXPECT_TRUE(ui.lastPrefill.savePasswd);
  EXPECT_EQ(ui.lastPrefill.passwd, "newpass");
  EXPECT_EQ(phone().cnf.passwdLen.get(), 0);
  EXPECT_EQ(phone().cnfEdit.passwd.str(), "");
  saved = fileBytes(dir.file("phone201.cnf"));
  EXPECT_TRUE(std::all_of(saved.begin() + 4272, saved.begin() + 4292, [](auto b) { return b == 0; }));
}

TEST_F(PhoneTest, CancelledLoginSuspendsAutomaticLogin) {
  makePhone();
  phone().cnf.userNumber = 123456789;
  ui.loginAnswer = {false, false, ""};
  phone().tick();
  EXPECT_EQ(phone().serverState.load(), ServerState::suspended);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
  ticks(50);
  EXPECT_EQ(ui.loginShown, 1);
}

TEST_F(PhoneTest, TicksWhileTheLoginDialogIsOpenAreDropped) {
  makePhone();
  phone().cnf.userNumber = 123456789;
  int nestedLogins = 0;
  ui.duringLogin = [&] {
    for (int i = 0; i < 100; ++i) phone().tick();
    nestedLogins = ui.loginShown;
  };
  ui.loginAnswer = {false, false, ""};
  phone().tick();
  EXPECT_EQ(nestedLogins, 1);
  EXPECT_EQ(phone().loginCountdown, 20);
}

TEST_F(PhoneTest, LoginOutcomes) {
  phone::CPhone& p = loggedInPhone();
  EXPECT_EQ(p.serverState.load(), ServerState::loggedIn);
  EXPECT_EQ(p.ticket, (net::Ticket{1, 2, 3, 4, 5, 6, 7, 8}));
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);

  // No answer: the prompt says so and the next attempt asks the user, even
  // though a password is saved.
  p.serverState = ServerState::loggedOut;
  p.loginCountdown = 0;
  p.tick();
  ASSERT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  fail(net::reqLogin);
  p.tick();
  EXPECT_EQ(ui.loginPrompt, "server does not answer.");
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
  ui.loginAnswer = {false, true, ""};
  ticks(20);
  EXPECT_EQ(ui.loginShown, 1);

  // Another answer code only frees the slot.
  p.serverState = ServerState::loggedOut;
  p.askPasswd = false;
  p.loginCountdown = 0;
  p.tick();
  finish(net::reqLogin, net::ansDone);
  p.tick();
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotIdle);
  EXPECT_EQ(p.serverState.load(), ServerState::loggedOut);
}

TEST_F(PhoneTest, FinishedLoginIsLeftToRegistrationWithoutOwnNumber) {
  makePhone();
  ASSERT_TRUE(phone().login(123456789, "secret", 1, 2));
  finish(net::reqLogin, net::ansLoggedIn, {9, 9, 9, 9, 9, 9, 9, 9});
  ticks(30);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotDone);
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedOut);
  // And a second login cannot be queued over it.
  EXPECT_FALSE(phone().login(111111111, "x", 1, 2));
  EXPECT_EQ(net::readInt32(request(net::reqLogin).payload, 0), 123456789);
}

TEST_F(PhoneTest, DeletionForgetsTheAccountEvenWithoutAnswer) {
  phone::CPhone& p = loggedInPhone();
  p.cnfEdit.userNumber = 200000001;
  p.requestDeleteUser();
  ASSERT_EQ(slotState(net::reqDeleteUser), SlotState::slotQueued);
  EXPECT_TRUE(std::equal(p.ticket.begin(), p.ticket.end(), request(net::reqDeleteUser).payload.begin()));
  fail(net::reqDeleteUser);
  p.tick();

  for (const store::CnfData* rec : {&p.cnf, &p.cnfEdit}) {
    EXPECT_EQ(rec->userNumber.get(), 0);
    EXPECT_EQ(rec->passwdLen.get(), 0);
    EXPECT_EQ(rec->passwd.str(), "");
  }
  EXPECT_EQ(p.serverState.load(), ServerState::loggedOut);
  EXPECT_EQ(slotState(net::reqDeleteUser), SlotState::slotIdle);
  const auto saved = fileBytes(dir.file("phone201.cnf"));
  EXPECT_TRUE(std::all_of(saved.begin() + 4268, saved.begin() + 4292, [](auto b) { return b == 0; }));
}

TEST_F(PhoneTest, LogoutEndsTheLogin) {
  phone::CPhone& p = loggedInPhone();
  p.logout();
  ASSERT_EQ(slotState(net::reqLogout), SlotState::slotQueued);
  EXPECT_EQ(request(net::reqLogout).length, 8);
  finish(net::reqLogout, net::ansDone);
  p.tick();
  EXPECT_EQ(p.serverState.load(), ServerState::suspended);
  EXPECT_EQ(slotState(net::reqLogout), SlotState::slotIdle);
}

TEST_F(PhoneTest, RequestsThatNeedALogin) {
  makePhone();
  EXPECT_FALSE(phone().requestChangePasswd("abcdef"));
  phone().requestDeleteUser();
  phone().findUser(300000003);
  EXPECT_EQ(slotState(net::reqChangePasswd), SlotState::slotIdle);
  EXPECT_EQ(slotState(net::reqDeleteUser), SlotState::slotIdle);
  EXPECT_EQ(slotState(net::reqFindUser), SlotState::slotIdle);
  EXPECT_EQ(phone().findState.load(), FindState::idle);

  // Requests without that condition queue at once; a busy slot refuses.
  EXPECT_TRUE(phone().testServer());
  EXPECT_FALSE(phone().testServer());
  EXPECT_EQ(request(net::reqTestServer).length, 0);
  EXPECT_TRUE(phone().registerNew(300000003, "abcdef"));
  EXPECT_EQ(net::readInt32(request(net::reqRegister).payload, 0), 300000003);
  EXPECT_EQ(request(net::reqRegister).payload[4], 6);
}

TEST_F(PhoneTest, SearchShowsItsTextAndEveryAnswerItsOwn) {
  phone::CPhone& p = loggedInPhone();
  audioLog.clear();
  p.findUser(300000003);
  EXPECT_EQ(ui.display(), "Search ...");
  EXPECT_EQ(p.displayTicks, 0);
  EXPECT_EQ(audioLog.front(), "melody " + p.cnf.musicFind.str());
  EXPECT_EQ(p.findState.load(), FindState::searching);
  const net::CPacket& req = request(net::reqFindUser);
  EXPECT_EQ(req.length, 12);
  EXPECT_EQ(net::readInt32(req.payload, 8), 300000003);
  EXPECT_EQ(req.payload[0], 1);

  struct Case {
    std::int16_t answer;
    const char* text;
  };
  for (const Case c : {Case{net::ansFailed, "Error Server"}, Case{net::ansUserOffline, "User Offline"},
                       Case{net::ansUserInvalid, "User Invalid"}, Case{0, "Error Network"}}) {
    p.findUser(300000003);
    if (c.answer == 0) fail(net::reqFindUser);
    else finish(net::reqFindUser, c.answer);
    p.tick();
    EXPECT_EQ(ui.display(), c.text);
    EXPECT_EQ(p.displayTicks, 40);
    EXPECT_EQ(p.findState.load(), FindState::idle);
    EXPECT_EQ(slotState(net::reqFindUser), SlotState::slotIdle);
  }
  EXPECT_EQ(audioLog[audioLog.size() - 2], "melody " + p.cnf.musicMsg.str());

  // A found user with no way to place the call yet ends the search quietly.
  p.findUser(300000003);
  finish(net::reqFindUser, net::ansUserFound, {0, 0, 0, 0, 127, 0, 0, 1, 0x41, 0x0D, 0, 0});
  p.tick();
  EXPECT_EQ(p.findState.load(), FindState::idle);
  EXPECT_EQ(slotState(net::reqFindUser), SlotState::slotIdle);
}

// A server showing another key than the one met first gets nothing, the
// password least of all: the user is told, and the login dialog offers to
// trust the new key, after which the phone logs in and pins it.
TEST_F(PhoneTest, AChangedServerKeyIsRefusedUntilTheUserTrustsIt) {
  TempDir serverDir;
  const std::string db = serverDir.file("server.db").string();
  ASSERT_EQ(runProgram(ORVALIS_SERVER_PATH, {"--db", db, "--hash-cost", "min", "add-user",
                                             "200000001", "secret1"},
                       serverDir.dir(), "")
                .exitStatus,
            0);
  ChildProcess server(ORVALIS_SERVER_PATH, {"--port", "0", "--bind", "127.0.0.1", "--db", db,
                                            "--hash-cost", "min"});
  const auto port = server.waitForLine("listening on ", std::chrono::seconds(10));
  ASSERT_TRUE(port);
  const store::ServerId id{htonl(INADDR_LOOPBACK), static_cast<std::uint16_t>(std::stoi(*port))};
  const std::string keys = dir.file("server-keys").string();
  store::ServerKeys(keys).remember(id, store::KeyPin{});

  makePhone();
  phone().cnf.userNumber = 200000001;
  phone().cnf.passwd = "secret1";
  phone().cnf.passwdLen = 7;
  phone().cnf.serverHost = id.first;
  phone().cnf.serverPort = id.second;
  ui.loginAnswer = {.ok = true, .savePasswd = true, .passwd = "secret1", .forgetServerKey = true};
  phone().netReady = true;
  ASSERT_TRUE(tickUntil([&] { return phone().serverState.load() == ServerState::loggedIn; }));
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_NE(ui.messages[0].find("key"), std::string::npos) << ui.messages[0];
  EXPECT_TRUE(ui.lastPrefill.serverKeyRefused);
  const auto pinned = store::ServerKeys(keys).find(id);
  ASSERT_TRUE(pinned);
  EXPECT_NE(*pinned, store::KeyPin{});
  // One login reached the server: the one after the user's choice.
  const std::string log = server.errText();
  std::size_t logins = 0;
  for (std::size_t at = log.find("request=reqLogin"); at != std::string::npos;
       at = log.find("request=reqLogin", at + 1))
    ++logins;
  EXPECT_EQ(logins, 1u) << log;
}

TEST_F(PhoneTest, ASearchCarriesTheTicketOfTheLoginSentJustBeforeIt) {
  ScriptedServer server(net::ansUserOffline);
  server.issueTickets(1);
  makePhone();
  phone().cnf.userNumber = 200000001;
  phone().cnf.passwd = "secret";
  phone().cnf.passwdLen = 6;
  phone().cnf.serverPort = server.port();
  phone().netReady = true;
  ASSERT_TRUE(tickUntil([&] { return phone().serverState.load() == ServerState::loggedIn; }));

  // A new listening port: the phone logs in again, and the user dials
  // before that login has gone out. The search must carry the ticket it
  // brings, the only one the server still knows.
  phone().cnf.dynamicPort = 0;
  phone().cnf.userPort = freePort();
  phone().restartListener();
  ASSERT_TRUE(tickUntil([&] { return slotState(net::reqLogin) == SlotState::slotQueued; }));
  phone().findUser(300000003);
  ASSERT_TRUE(tickUntil([&] { return slotState(net::reqFindUser) == SlotState::slotIdle; }));
  ASSERT_EQ(server.requests(),
            (std::vector<std::int16_t>{net::reqLogin, net::reqLogin, net::reqFindUser}));
  EXPECT_EQ(net::parseTicket(server.received()[2]), (net::Ticket{2, 2, 2, 2, 2, 2, 2, 2}));
  EXPECT_EQ(ui.display(), "User Offline");
  EXPECT_EQ(phone().ticket, (net::Ticket{2, 2, 2, 2, 2, 2, 2, 2}));
}

TEST_F(PhoneTest, OtherSlotsAreLeftToTheirDialogs) {
  makePhone();
  ASSERT_TRUE(phone().testServer());
  ASSERT_TRUE(phone().registerNew(300000003, "abcdef"));
  finish(net::reqTestServer, net::ansDone);
  fail(net::reqRegister);
  EXPECT_FALSE(phone().anyTransactionRunning());
  phone().quiryAuth[net::reqChangePasswd].store(SlotState::slotRunning);
  EXPECT_TRUE(phone().anyTransactionRunning());
  ticks(5);
  EXPECT_EQ(slotState(net::reqTestServer), SlotState::slotDone);
  EXPECT_EQ(slotState(net::reqRegister), SlotState::slotFailed);
}

}  // namespace
}  // namespace orvalis::testing
