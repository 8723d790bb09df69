// The account actions: what registration and password change store, the
// login state changes, the deletion's confirmation and the server test.

#include <filesystem>

#include "account_fixture.h"
#include "net/requests.h"
#include "store/config.h"

namespace orvalis::testing {
namespace {

using net::SlotState;
using phone::FlowOutcome;
using phone::ServerState;

// Reads the settings file back as the next start would.
struct SavedSettings {
  explicit SavedSettings(const TempDir& dir) : config(cnf, cnfEdit, dir.dir()) {}
  store::CnfData cnf, cnfEdit;
  store::CConfig config;
};

class AccountFlowTest : public AccountTest {
 protected:
  // Shows the registration dialog the way a user fills it, with the server
  // answering ansDone.
  FlowOutcome registerNew(bool save) {
    return actions->registerUser(*registration, [&] {
      registration->setNumberText("223456789");
      registration->setPasswd1("secret");
      registration->setPasswd2("secret");
      registration->setSavePasswd(save);
      registration->addNewClick();
      finish(net::reqRegister, net::ansDone);
      registration->timer1();
    });
  }
  FlowOutcome changePasswd(bool save) {
    return actions->changePasswd(*passwd, [&] {
      passwd->setPasswd1("newpass");
      passwd->setPasswd2("newpass");
      passwd->setSavePasswd(save);
      passwd->acceptClick();
      finish(net::reqChangePasswd, net::ansDone);
      passwd->timer1();
    });
  }
};

TEST_F(AccountFlowTest, RegistrationWithoutSavingStoresTheNumberOnly) {
  phone().cnf.passwd = "stale1";
  phone().cnf.passwdLen = 6;
  EXPECT_EQ(registerNew(false), FlowOutcome::done);
  for (const store::CnfData* rec : {&phone().cnf, &phone().cnfEdit}) {
    EXPECT_EQ(rec->userNumber.get(), 223456789);
    EXPECT_EQ(rec->passwdLen.get(), 0);
    EXPECT_EQ(rec->passwd.str(), "");
  }
  SavedSettings saved(dir);
  EXPECT_EQ(saved.cnf.userNumber.get(), 223456789);
  EXPECT_EQ(saved.cnf.passwdLen.get(), 0);

  // So the first automatic login asks for the password.
  phone().tick();
  EXPECT_EQ(ui.loginShown, 1);
}

TEST_F(AccountFlowTest, RegistrationWithSavingLogsInByItself) {
  EXPECT_EQ(registerNew(true), FlowOutcome::done);
  EXPECT_EQ(phone().cnfEdit.passwd.str(), "secret");
  EXPECT_EQ(SavedSettings(dir).cnf.passwdLen.get(), 6);
  phone().tick();
  EXPECT_EQ(ui.loginShown, 0);
  EXPECT_EQ(slotState(net::reqLogin), SlotState::slotQueued);
  EXPECT_EQ(net::readInt32(request(net::reqLogin).payload, 0), 223456789);

  // With a number, registering again shows nothing.
  bool shown = false;
  EXPECT_EQ(actions->registerUser(*registration, [&] { shown = true; }), FlowOutcome::notAvailable);
  EXPECT_FALSE(shown);
}

TEST_F(AccountFlowTest, RegistrationEndedWithoutSuccessStoresNothing) {
  const auto outcome = actions->registerUser(*registration, [&] {
    registration->setNumberText("223456789");
    registration->setPasswd1("secret");
    registration->setPasswd2("secret");
    registration->addNewClick();
    finish(net::reqRegister, net::ansNumberDuplicate);
    registration->timer1();
    registration->cancelClick();
  });
  EXPECT_EQ(outcome, FlowOutcome::unchanged);
  EXPECT_EQ(phone().cnf.userNumber.get(), 0);
  EXPECT_FALSE(registration->open());
}

TEST_F(AccountFlowTest, UnwritableSettingsAreReportedNotHidden) {
  std::filesystem::remove_all(dir.path());
  EXPECT_EQ(registerNew(true), FlowOutcome::notSaved);
  EXPECT_EQ(phone().cnf.userNumber.get(), 223456789);  // kept for this run
}

TEST_F(AccountFlowTest, PasswordChangeStoresOrErasesTheSavedPassword) {
  EXPECT_EQ(changePasswd(true), FlowOutcome::notAvailable);  // not logged in
  logIn();
  phone().cnf.passwd = "secret";
  phone().cnf.passwdLen = 6;
  phone().cnfEdit.passwd = "secret";
  phone().cnfEdit.passwdLen = 6;

  EXPECT_EQ(changePasswd(true), FlowOutcome::done);
  EXPECT_EQ(phone().cnfEdit.passwd.str(), "newpass");
  EXPECT_EQ(SavedSettings(dir).cnf.passwd.str(), "newpass");

  EXPECT_EQ(changePasswd(false), FlowOutcome::done);
  for (const store::CnfData* rec : {&phone().cnf, &phone().cnfEdit}) {
    EXPECT_EQ(rec->passwdLen.get(), 0);
    EXPECT_EQ(rec->passwd.str(), "");
  }
  EXPECT_EQ(SavedSettings(dir).cnf.passwdLen.get(), 0);

  // A cancelled dialog leaves the settings alone.
  phone().cnf.passwd = "kept12";
  EXPECT_EQ(actions->changePasswd(*passwd, [&] { passwd->cancelClick(); }), FlowOutcome::unchanged);
  EXPECT_EQ(phone().cnf.passwd.str(), "kept12");
}

TEST_F(AccountFlowTest, ConnectAndDisconnectMoveTheLoginState) {
  EXPECT_FALSE(actions->disconnectUser());
  EXPECT_EQ(slotState(net::reqLogout), SlotState::slotIdle);
  EXPECT_FALSE(actions->connectUser());
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedOut);

  logIn();
  EXPECT_FALSE(actions->connectUser());
  EXPECT_TRUE(actions->disconnectUser());
  EXPECT_EQ(phone().serverState.load(), ServerState::suspended);
  EXPECT_EQ(slotState(net::reqLogout), SlotState::slotQueued);

  ui.loginPrompt = "server does not answer.";
  EXPECT_TRUE(actions->connectUser());
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedOut);
  EXPECT_EQ(ui.loginPrompt, "Enter the password.");
  EXPECT_EQ(ui.loginCaption, "Connection to server.");
}

TEST_F(AccountFlowTest, DeletionAsksFirst) {
  EXPECT_EQ(actions->deleteUser(), FlowOutcome::notAvailable);
  EXPECT_TRUE(host.questions.empty());

  logIn();
  host.answerYes = false;
  EXPECT_EQ(actions->deleteUser(), FlowOutcome::unchanged);
  EXPECT_EQ(host.questions.back(),
            "Delete user.|You really want to remove\ntelephone number with server?");
  EXPECT_EQ(slotState(net::reqDeleteUser), SlotState::slotIdle);

  host.answerYes = true;
  EXPECT_EQ(actions->deleteUser(), FlowOutcome::done);
  EXPECT_EQ(slotState(net::reqDeleteUser), SlotState::slotQueued);
  EXPECT_EQ(actions->deleteUser(), FlowOutcome::unchanged);  // one already waits
}

TEST_F(AccountFlowTest, ServerTestShowsProgressAndOutcome) {
  serverTest->poll();
  EXPECT_EQ(ui.testServerLabel, "unset");  // nothing finished, nothing shown

  phone().testServerTicks = 5;
  serverTest->start();
  EXPECT_EQ(ui.testServerLabel, "Connection...");
  EXPECT_FALSE(serverTest->buttonEnabled());
  EXPECT_EQ(phone().testServerTicks, 0);
  serverTest->poll();
  EXPECT_EQ(ui.testServerLabel, "Connection...");

  fail(net::reqTestServer);
  serverTest->poll();
  EXPECT_EQ(ui.testServerLabel, "Server is inaccessible.");
  EXPECT_TRUE(serverTest->buttonEnabled());
  EXPECT_EQ(phone().testServerTicks, 20);
  EXPECT_EQ(slotState(net::reqTestServer), SlotState::slotIdle);

  // Any answer means the server was reached.
  serverTest->start();
  finish(net::reqTestServer, net::ansFailed);
  serverTest->poll();
  EXPECT_EQ(ui.testServerLabel, "Server is accessible!");

  // A busy slot: the label says so, the button stays usable.
  ASSERT_TRUE(phone().testServer());
  serverTest->start();
  EXPECT_EQ(ui.testServerLabel, "Connection...");
  EXPECT_TRUE(serverTest->buttonEnabled());
}

}  // namespace
}  // namespace orvalis::testing
