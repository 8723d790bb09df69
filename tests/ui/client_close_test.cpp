// Shutting down, minimising and the heartbeat of a real window.

#include <QSignalSpy>

#include "client_fixture.h"
#include "net/message_codes.h"

namespace orvalis::testing {
namespace {

using net::SlotState;
using phone::ServerState;

TEST_F(ClientTest, ShutdownWaitsForTheLogoutThenClosesOnce) {
  makeClient();
  QSignalSpy closed(&client(), &ui::TFClient::closed);
  phone().cnf.userNumber = 200000001;
  phone().serverState = ServerState::loggedIn;
  client().pressButton(ui::btnShutDown);
  EXPECT_EQ(client().closeCountdown(), ui::TFClient::shutdownStart);
  EXPECT_EQ(phone().quiryAuth[net::reqLogout].load(), SlotState::slotQueued);
  EXPECT_EQ(phone().serverState.load(), ServerState::suspended);
  ticks(5);
  EXPECT_EQ(closed.count(), 0);
  // A second request meanwhile changes nothing.
  const int countdown = client().closeCountdown();
  client().shutDown();
  EXPECT_EQ(closed.count(), 0);
  EXPECT_EQ(client().closeCountdown(), countdown);
  EXPECT_NE(phone().callState.stateBind.load(), net::BindState::bindStopped);

  // The transaction thread finished and the controller freed the slot.
  phone().quiryAuth[net::reqLogout].store(SlotState::slotIdle);
  ticks(1);
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(client().closeCountdown(), 1);
  EXPECT_EQ(phone().callState.stateBind.load(), net::BindState::bindStopped);
  ticks(3);
  EXPECT_EQ(closed.count(), 1);
}

// A server that never answers the logout holds the exit 2 s at most.
TEST_F(ClientTest, ShutdownGivesUpOnAnUnansweredLogoutAfterTwoSeconds) {
  makeClient();
  QSignalSpy closed(&client(), &ui::TFClient::closed);
  phone().cnf.userNumber = 200000001;
  phone().serverState = ServerState::loggedIn;
  client().shutDown();
  const int twoSeconds = 2000 / ui::TFClient::refreshPeriodMs;
  ticks(twoSeconds - 1);
  EXPECT_EQ(closed.count(), 0);
  ticks(1);
  EXPECT_EQ(closed.count(), 1);
  EXPECT_EQ(phone().callState.stateBind.load(), net::BindState::bindStopped);
}

TEST_F(ClientTest, ShutdownWithoutLoginTakesTwoTicks) {
  makeClient();
  QSignalSpy closed(&client(), &ui::TFClient::closed);
  client().mainMenu().shutDown->trigger();
  EXPECT_EQ(phone().quiryAuth[net::reqLogout].load(), SlotState::slotIdle);
  ticks(1);
  EXPECT_EQ(closed.count(), 0);
  ticks(1);
  EXPECT_EQ(closed.count(), 1);
}

TEST_F(ClientTest, WithoutATrayMinimisingMinimisesAndStartUpInTheTrayShows) {
  prepareSettings([](store::CnfData& cnf) { cnf.startUp = 1; });
  makeClient();
  if (client().tray().available()) GTEST_SKIP() << "this desktop has a tray";
  QSignalSpy closed(&client(), &ui::TFClient::closed);
  client().showAtStart();
  EXPECT_TRUE(client().isVisible());
  client().pressButton(ui::btnMinimize);
  EXPECT_TRUE(client().isMinimized());
  client().showNormal();
  client().mainMenu().minimize->trigger();
  EXPECT_TRUE(client().isMinimized());
  // A close request of the desktop is no shutdown either.
  client().showNormal();
  client().close();
  EXPECT_TRUE(client().isMinimized());
  EXPECT_EQ(closed.count(), 0);
  EXPECT_EQ(client().closeCountdown(), 0);
}

TEST_F(ClientTest, HeartbeatTicksTheSoundAndKeepsTheChosenPort) {
  makeClient();
  ASSERT_NE(phone().cnf.userPort.get(), 0);
  const int holdTicks = audio->holdTicks;
  client().heartbeat().step();
  EXPECT_EQ(audio->holdTicks, holdTicks + 1);
  store::CnfData cnf, cnfEdit;
  store::CConfig saved(cnf, cnfEdit, dir.dir());
  EXPECT_EQ(cnf.userPort.get(), phone().cnf.userPort.get());
  EXPECT_FALSE(phone().callState.refreshLocalPort.load());
}

}  // namespace
}  // namespace orvalis::testing
