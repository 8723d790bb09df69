// The heartbeat the configuration dialog keeps, its tests of microphone and
// server, its device lists and its language texts.

#include <QCoreApplication>

#include "config_fixture.h"
#include "net/message_codes.h"

namespace orvalis::testing {
namespace {

using audio::TestState;
using net::SlotState;

TEST_F(ConfigDialogTest, HeartbeatShowsTestStatesMeterAndChosenPort) {
  makeDialog();
  ui::Heartbeat& beat = dialog().heartbeat();
  audio->tests = {TestState::running, TestState::idle};
  beat.step();
  EXPECT_EQ(w().lTestRecording->text().toStdString(), "Recording ...");
  EXPECT_EQ(w().lTestPlaying->text().toStdString(), "");
  audio->tests = {TestState::done, TestState::done};
  beat.step();
  EXPECT_EQ(w().lTestRecording->text().toStdString(), "Recording Ok!");
  EXPECT_EQ(w().lTestPlaying->text().toStdString(), "Playing Ok!");
  audio->tests = {};
  beat.step();
  EXPECT_EQ(w().lTestRecording->text().toStdString(), "");

  // The meter: idle and yellow with the microphone closed, which also ends
  // any voice hold; green and 7 pixels a level while it speaks.
  phone().voiceHold = 5;
  phone().voiceActive = 1;
  beat.step();
  EXPECT_EQ(w().pValueMc->width(), 2);
  EXPECT_EQ(w().pValueMc->palette().color(QPalette::Window), QColor(0xFF, 0xFF, 0x00));
  EXPECT_EQ(phone().voiceHold.load(), 0);
  audio->captureIsOpen = true;
  phone().voiceActive = 1;
  phone().voiceHold = 5;
  phone().voiceLevel = 6;
  beat.step();
  EXPECT_EQ(w().pValueMc->width(), 42);
  EXPECT_EQ(w().pValueMc->palette().color(QPalette::Window), QColor(0x00, 0xFF, 0x00));
  EXPECT_EQ(phone().voiceHold.load(), 4);
  const int spool = audio->holdTicks;
  beat.step();
  EXPECT_EQ(audio->holdTicks, spool + 1);

  // A port the listener chose is shown and kept in the file.
  phone().cnf.userPort = 41234;
  phone().cnfEdit.userPort = 41234;
  phone().callState.refreshLocalPort = true;
  beat.step();
  EXPECT_EQ(w().eUserPort->text().toStdString(), "41234");
  EXPECT_EQ(saved().cnf.userPort.get(), 41234);
  EXPECT_FALSE(phone().callState.refreshLocalPort.load());
}

TEST_F(ConfigDialogTest, ServerTestShowsProgressAndOutcome) {
  makeDialog();
  auto& slot = phone().quiryAuth[net::reqTestServer];
  // A test still waiting in its slot: the label shows, the button stays.
  slot.store(SlotState::slotRunning);
  w().bTestServer->click();
  EXPECT_EQ(w().lTestServer->text().toStdString(), "Connection...");
  EXPECT_TRUE(w().bTestServer->isEnabled());

  slot.store(SlotState::slotIdle);
  w().bTestServer->click();
  EXPECT_EQ(slot.load(), SlotState::slotQueued);
  EXPECT_FALSE(w().bTestServer->isEnabled());
  dialog().heartbeat().step();
  EXPECT_FALSE(w().bTestServer->isEnabled());
  slot.store(SlotState::slotFailed);
  dialog().heartbeat().step();
  EXPECT_EQ(w().lTestServer->text().toStdString(), "Server is inaccessible.");
  EXPECT_TRUE(w().bTestServer->isEnabled());
  EXPECT_EQ(slot.load(), SlotState::slotIdle);

  dialog().setText(267, "Reached!");
  w().bTestServer->click();
  slot.store(SlotState::slotDone);
  dialog().heartbeat().step();
  EXPECT_EQ(w().lTestServer->text().toStdString(), "Reached!");
  // The controller's tick clears the outcome after a second.
  for (int i = 0; i < 25; ++i) dialog().heartbeat().step();
  EXPECT_EQ(w().lTestServer->text().toStdString(), "");
}

TEST_F(ConfigDialogTest, MicrophoneTestStartsOnlyWhenIdle) {
  makeDialog([](store::CnfData& c) { c.soundSystem = 0; });
  w().bTestStart->click();
  EXPECT_EQ(audio->tests.rec, TestState::running);
  EXPECT_TRUE(audio->captureIsOpen);  // full duplex: at once
  audio->tests.rec = TestState::done;
  w().bTestStop->click();
  EXPECT_EQ(audio->tests, audio::TestStates{});
  EXPECT_FALSE(audio->captureIsOpen);
}

TEST_F(ConfigDialogTest, DeviceListsAndTheirMissingDevices) {
  makeDialog({}, [](ConfigAudio& a) {
    a.speakers = {};
    a.microphones = {"Mic A", "ab"};
  });
  EXPECT_EQ(w().comboBoxSp->count(), 0);
  ASSERT_EQ(w().comboBoxMc->count(), 2);
  EXPECT_EQ(w().comboBoxMc->itemText(1).toStdString(), "????");
  // The note waits for the running program's event loop, and comes once.
  QCoreApplication::processEvents();
  EXPECT_TRUE(host.messages.empty());
  dialog().reportMissingDevices();
  EXPECT_TRUE(host.messages.empty());
  QCoreApplication::processEvents();
  dialog().reportMissingDevices();
  QCoreApplication::processEvents();
  EXPECT_EQ(host.messages, std::vector<std::string>{"Error: Not WaveOut ."});
  // An empty list leaves the record's device alone.
  EXPECT_EQ(phone().cnfEdit.soundSp.get(), 0);
}

TEST_F(ConfigDialogTest, LanguageTextsRebuildListsAndCaptions) {
  makeDialog([](store::CnfData& c) { c.soundSystem = 0; c.msa = 2; });
  dialog().setText(201, "Incoming");
  EXPECT_EQ(w().rbMusic[0]->text().toStdString(), "Incoming");
  EXPECT_EQ(dialog().text(201).value_or(""), "Incoming");
  EXPECT_EQ(dialog().text(199), std::nullopt);
  EXPECT_FALSE(dialog().setText(275, "x"));

  dialog().setText(211, "Duplex");
  dialog().setText(212, "Half");
  ASSERT_EQ(w().comboSoundSystem->count(), 2);
  EXPECT_EQ(w().comboSoundSystem->currentText().toStdString(), "Duplex");
  for (std::int32_t code : {216, 217, 218, 219}) dialog().setText(code, std::to_string(code));
  ASSERT_EQ(w().comboMSA->count(), 4);
  EXPECT_EQ(w().comboMSA->currentText().toStdString(), "218");
  EXPECT_EQ(phone().cnfEdit.msa.get(), 2);  // rebuilding edits nothing
  EXPECT_EQ(phone().cnfEdit.soundSystem.get(), 0);

  dialog().setText(243, "Any port");
  EXPECT_EQ(w().checkDinamicalyPort->text().toStdString(), "Any port");
  dialog().setText(230, "Sound!");
  dialog().setText(231, "Restart.");
  w().comboNGsm->setCurrentIndex(4);
  dialog().apply();
  EXPECT_EQ(host.questions, std::vector<std::string>{"Sound!\nRestart."});
}

}  // namespace
}  // namespace orvalis::testing
