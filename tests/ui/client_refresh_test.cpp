// The main window's refresh tick on a real window: tray icon, menu,
// labels, the number handed over by calls, and the panels.

#include <QTest>

#include "client_fixture.h"
#include "net/message_codes.h"

namespace orvalis::testing {
namespace {

using net::ClientState;
using net::SlotState;
using phone::ServerState;

TEST_F(ClientTest, TrayIconBlinksWhileSomethingRunsAndIsSetOnlyOnChange) {
  makeClient();
  phone().quiryAuth[net::reqFindUser].store(SlotState::slotRunning);
  std::vector<int> shown;
  for (int i = 0; i < 7; ++i) {
    client().refreshTick();
    shown.push_back(client().trayIconShown());
  }
  EXPECT_EQ(shown, (std::vector<int>{3, 4, 4, 3, 4, 4, 3}));
  phone().quiryAuth[net::reqFindUser].store(SlotState::slotIdle);
  phone().callState.stateClient = ClientState::clientOutgoing;  // a call being set up
  ticks(2);
  EXPECT_EQ(client().trayIconShown(), 4);
  phone().callState.stateClient = ClientState::clientTalk;
  ticks(1);
  EXPECT_EQ(client().trayIconShown(), 2);
  phone().callState.stateClient = ClientState::clientIdle;
  phone().serverState = ServerState::loggedIn;
  ticks(2);
  EXPECT_EQ(client().trayIconShown(), 1);
  EXPECT_EQ(trayTrace(), (std::vector<std::string>{"tray: 3", "tray: 4", "tray: 3", "tray: 4",
                                                   "tray: 3", "tray: 4", "tray: 2", "tray: 1"}));
}

TEST_F(ClientTest, MenuAndLabelsFollowRegistrationAndLogin) {
  makeClient();
  ui::MainMenu& m = client().mainMenu();
  ticks(1);
  EXPECT_TRUE(m.registration->isVisible());
  EXPECT_FALSE(m.connect->isVisible());
  EXPECT_FALSE(m.disconnect->isVisible());
  EXPECT_FALSE(m.deleteUser->isEnabled());
  EXPECT_FALSE(m.changePasswd->isEnabled());
  EXPECT_EQ(w().ownNumber->text(), "UnDefined");
  EXPECT_EQ(w().state->text(), "Disconnected.");

  phone().cnf.userNumber = 200000001;
  ticks(1);
  EXPECT_FALSE(m.registration->isVisible());
  EXPECT_TRUE(m.connect->isVisible());
  EXPECT_FALSE(m.disconnect->isVisible());
  EXPECT_FALSE(m.deleteUser->isEnabled());
  EXPECT_EQ(w().ownNumber->text(), "200000001");

  phone().serverState = ServerState::loggedIn;
  ticks(1);
  EXPECT_FALSE(m.connect->isVisible());
  EXPECT_TRUE(m.disconnect->isVisible());
  EXPECT_TRUE(m.deleteUser->isEnabled());
  EXPECT_TRUE(m.changePasswd->isEnabled());
  EXPECT_EQ(w().state->text(), "");

  // Disconnect logs out and suspends the automatic login; Connect resumes it.
  m.disconnect->trigger();
  EXPECT_EQ(phone().serverState.load(), ServerState::suspended);
  EXPECT_EQ(phone().quiryAuth[net::reqLogout].load(), SlotState::slotQueued);
  m.connect->trigger();
  EXPECT_EQ(phone().serverState.load(), ServerState::loggedOut);
}

TEST_F(ClientTest, VoiceGroupCallerIsTurnedAwayButNumbersDialledLaterAreNot) {
  writeBook("vic\tV\t300000001\tpushy\r\nann\tN\t300000002\tfriend\r\n");
  makeClient();
  auto handOver = [this](std::int32_t number, ClientState state) {
    phone().callState.stateClient = state;
    phone().number = number;
    phone().numberChanged = true;
  };

  // The listener announces a caller of the "V" group: hung up in the same
  // tick, its number and name stay on the display.
  phone().numberType = store::contactVoiceCall;
  handOver(300000001, ClientState::clientIncoming);
  ticks(1);
  EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientIdle);
  EXPECT_EQ(numberText(), "300000001");
  EXPECT_EQ(nameText(), "vic");

  // The group outlives that call; a number this phone dials is kept.
  handOver(300000002, ClientState::clientIdle);
  ticks(1);
  EXPECT_EQ(numberText(), "300000002");
  EXPECT_EQ(nameText(), "ann");
  handOver(300000003, ClientState::clientOutgoing);
  ticks(1);
  EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientOutgoing);
  EXPECT_EQ(numberText(), "300000003");
  EXPECT_EQ(nameText(), "");  // not in the book

  // A caller of another group rings on.
  phone().numberType = store::contactNormal;
  handOver(300000002, ClientState::clientIncoming);
  ticks(1);
  EXPECT_EQ(phone().callState.stateClient.load(), ClientState::clientIncoming);
  phone().callState.stateClient = ClientState::clientIdle;
}

TEST_F(ClientTest, KeypadDigitsToneAndFillTheNumberFieldUpToNine) {
  makeClient();
  client().pressButton(ui::btnZero);
  EXPECT_EQ(numberText(), "");  // never a lone 0
  EXPECT_EQ(lastSound(), "tone 0");
  client().pressButton(1);
  client().pressButton(ui::btnZero);
  EXPECT_EQ(numberText(), "10");
  for (int d = 2; d <= 8; ++d) client().pressButton(d);
  EXPECT_EQ(numberText(), "102345678");
  client().pressButton(5);
  EXPECT_EQ(numberText(), "102345678");  // the tenth digit is refused
  EXPECT_EQ(lastSound(), "tone 5");      // but sounds
  const std::size_t sounds = audioLog.size();
  client().pressButton(ui::btnStar);
  client().pressButton(ui::btnHash);
  EXPECT_EQ(audioLog.size(), sounds);

  // Typing: blanks are dropped, and so is a lone 0.
  w().number->clear();
  QTest::keyClicks(w().number, "4 2");
  EXPECT_EQ(numberText(), "42");
  w().number->setText("0");
  EXPECT_EQ(numberText(), "");
}

TEST_F(ClientTest, EscapeDialsTheNumberOfATypedNicknameAndHangUpClearsIt) {
  writeBook("ann\tN\t300000002\tfriend\r\n");
  prepareSettings([](store::CnfData& cnf) { cnf.userNumber = 200000001; });
  makeClient();
  phone().serverState = ServerState::loggedIn;
  w().number->setFocus();
  QTest::keyClicks(w().number, "ann");
  QTest::keyClick(w().number, Qt::Key_Escape);
  EXPECT_EQ(numberText(), "300000002");
  EXPECT_EQ(nameText(), "ann");
  EXPECT_EQ(phone().quiryAuth[net::reqFindUser].load(), SlotState::slotQueued);
  EXPECT_FALSE(client().highlight().keyHeld());

  // Enter opens the menu, which takes the key's release.
  QTest::keyPress(w().number, Qt::Key_Return);
  EXPECT_TRUE(client().mainMenu().menu.isVisible());
  EXPECT_FALSE(client().highlight().keyHeld());
  client().mainMenu().menu.close();

  client().pressButton(ui::btnHangUp);
  EXPECT_EQ(numberText(), "");
  EXPECT_EQ(nameText(), "");
}

TEST_F(ClientTest, RowsPanelsMuteAndTalkPanelFollowTheirControls) {
  writeBook("ann\tN\t300000002\tfriend\r\nbob\tB\t300000004\tno thanks\r\n");
  makeClient();
  // Row 1 was selected at creation, before the display was emptied.
  EXPECT_EQ(nameText(), "");
  EXPECT_EQ(w().memo->text(), "friend");
  w().grid->setCurrentCell(1, 0);
  EXPECT_EQ(phone().addrBook.currentRow(), 2);
  EXPECT_EQ(numberText(), "300000004");
  EXPECT_EQ(nameText(), "bob");
  EXPECT_EQ(w().memo->text(), "no thanks");
  EXPECT_EQ(w().memo->toolTip(), "bob: B: 300000004: no thanks");

  EXPECT_EQ(w().list->height(), 1);
  client().pressButton(ui::btnSwapPanels);
  EXPECT_EQ(w().list->height(), 140);
  EXPECT_EQ(w().keypad->height(), 1);
  client().pressButton(ui::btnSwapPanels);
  EXPECT_EQ(w().list->height(), 1);
  EXPECT_EQ(w().keypad->height(), 140);

  std::atomic<std::int32_t>& mute = phone().callState.stateLabel[net::labelMute];
  w().mute->click();
  EXPECT_FALSE(w().mute->isChecked());  // no call: no mute
  EXPECT_EQ(mute.load(), 0);
  phone().callState.stateClient = ClientState::clientTalk;
  phone().callState.stateLabel[net::labelPtt] = 1;
  phone().floor = net::Floor::pending;
  w().mute->click();
  EXPECT_EQ(mute.load(), 1);
  ticks(1);
  EXPECT_EQ(w().talk->height(), 43);
  EXPECT_EQ(w().takeBar->palette().color(QPalette::Window), QColor(Qt::yellow));
  EXPECT_EQ(w().giveBar->palette().color(QPalette::Window), QColor(Qt::yellow));
  // The call ends: mute and the talk panel go with it.
  phone().callState.stateClient = ClientState::clientIdle;
  phone().callState.stateLabel[net::labelPtt] = 0;
  phone().floor = net::Floor::talking;
  ticks(1);
  EXPECT_EQ(mute.load(), 0);
  EXPECT_FALSE(w().mute->isChecked());
  EXPECT_EQ(w().talk->height(), 1);
  EXPECT_EQ(w().takeBar->palette().color(QPalette::Window), QColor(Qt::green));
  EXPECT_EQ(w().giveBar->palette().color(QPalette::Window), QColor(Qt::blue));
}

}  // namespace
}  // namespace orvalis::testing
