// The configuration dialog's edits and Apply, over a real controller.

#include <QSignalSpy>
#include <QTest>

#include <fstream>

#include "config_fixture.h"
#include "net/address.h"
#include "store/device_names.h"

namespace orvalis::testing {
namespace {

using store::CnfData;

TEST_F(ConfigDialogTest, HalfDuplexAllowsOnlyButtonModes) {
  makeDialog([](CnfData& c) {
    c.soundSystem = 1;
    c.msa = 3;
  });
  EXPECT_EQ(w().tabs->currentIndex(), ui::tabUser);
  EXPECT_EQ(w().comboMSA->currentText().toStdString(), "Кнопкой и детектором.");

  // Constant transmission needs full duplex: the button is chosen instead.
  w().comboMSA->setCurrentIndex(0);
  EXPECT_EQ(w().comboMSA->currentText().toStdString(), "Кнопкой.");
  EXPECT_EQ(phone().cnfEdit.msa.get(), 1);
  EXPECT_EQ(phone().cnf.msa.get(), 3);  // nothing live before Apply

  // In full duplex the detector alone is allowed, until half duplex returns.
  w().comboSoundSystem->setCurrentIndex(0);
  w().comboMSA->setCurrentIndex(2);
  EXPECT_EQ(w().comboMSA->currentText().toStdString(), "Детектором.");
  EXPECT_EQ(phone().cnfEdit.msa.get(), 2);
  w().comboSoundSystem->setCurrentIndex(1);
  EXPECT_EQ(w().comboMSA->currentText().toStdString(), "Кнопкой и детектором.");
  EXPECT_EQ(phone().cnfEdit.msa.get(), 3);
  EXPECT_EQ(phone().cnfEdit.soundSystem.get(), 1);
}

TEST_F(ConfigDialogTest, DynamicPortKeepsNatAddressOff) {
  makeDialog([](CnfData& c) {
    c.dynamicPort = 0;
    c.userPort = 0;  // any free port is fine for the listener here
    c.useReDirectCallIn = 1;
  });
  EXPECT_TRUE(w().cUseReDirectCallIn->isChecked());
  EXPECT_TRUE(w().eUserPort->isEnabled());

  w().checkDinamicalyPort->setChecked(true);
  EXPECT_FALSE(w().cUseReDirectCallIn->isChecked());
  EXPECT_FALSE(w().cUseReDirectCallIn->isEnabled());
  EXPECT_FALSE(w().eUserPort->isEnabled());
  EXPECT_FALSE(w().eReHost->isEnabled());
  EXPECT_EQ(phone().cnfEdit.useReDirectCallIn.get(), 0);

  EXPECT_TRUE(dialog().apply());
  ASSERT_EQ(host.questions.size(), 1u);  // the listener restarts: asked first
  EXPECT_EQ(host.questions[0], "Connect setting have been changed.\n"
                               "Disconnect and reconnect to the new setting to take effect.");
  EXPECT_FALSE(w().cUseReDirectCallIn->isChecked());
  EXPECT_FALSE(w().cUseReDirectCallIn->isEnabled());
  EXPECT_EQ(phone().cnf.useReDirectCallIn.get(), 0);
  EXPECT_EQ(saved().cnf.dynamicPort.get(), 1);
  EXPECT_EQ(saved().cnf.useReDirectCallIn.get(), 0);

  // Unchecked again, both are the user's to set.
  w().checkDinamicalyPort->setChecked(false);
  EXPECT_TRUE(w().cUseReDirectCallIn->isEnabled());
  EXPECT_TRUE(w().eUserPort->isEnabled());
}

TEST_F(ConfigDialogTest, ProxyAddressAppliesWithoutQuestion) {
  makeDialog();
  w().eSocks5Host->setText("10.0.0.7");
  w().eSocks5Port->setText("1080");
  w().cSocks5Auth->setChecked(true);
  w().eSocks5User->setText("alice");
  w().rConnect[1]->setChecked(true);
  // Text that is no address keeps the last one.
  w().eHttpHost->setText("10.0.0");
  w().eGateHost->setText("255.255.255.255");
  EXPECT_EQ(phone().cnf.socks5Host.get(), *net::parseAddress("127.0.0.1"));

  EXPECT_TRUE(dialog().apply());
  EXPECT_TRUE(host.questions.empty());
  const ConfigFile file = saved();
  EXPECT_EQ(file.cnf.socks5Host.get(), *net::parseAddress("10.0.0.7"));
  EXPECT_EQ(file.cnf.socks5Port.get(), 1080);
  EXPECT_EQ(file.cnf.socks5Auth.get(), 1);
  EXPECT_EQ(file.cnf.socks5User.str(), "alice");
  EXPECT_EQ(file.cnf.socks5UserLen.get(), 5);
  EXPECT_EQ(file.cnf.connectServer.get(), 1);
  EXPECT_EQ(file.cnf.httpHost.get(), *net::parseAddress("127.0.0.1"));
  EXPECT_EQ(file.cnf.gateHost.get(), *net::parseAddress("127.0.0.1"));
  EXPECT_EQ(w().eHttpHost->text().toStdString(), "127.0.0.1");  // shown as stored
}

TEST_F(ConfigDialogTest, ServerAddressIsEditedAndAppliedAsAConnectionSetting) {
  makeDialog();
  ASSERT_TRUE(w().eServerHost->isEnabled());
  ASSERT_TRUE(w().eServerPort->isEnabled());
  w().eServerHost->clear();
  QTest::keyClicks(w().eServerHost, "198.51.100.1x");
  EXPECT_EQ(w().eServerHost->text().toStdString(), "198.51.100.1");
  w().eServerPort->setText("70000");
  EXPECT_EQ(phone().cnfEdit.serverPort.get(), 3393);  // refused, not cut to 16 bits
  w().eServerPort->setText("4000");
  EXPECT_EQ(phone().cnf.serverHost.get(), *net::parseAddress("127.0.0.1"));  // not before Apply

  EXPECT_TRUE(dialog().apply());
  ASSERT_EQ(host.questions.size(), 1u);
  EXPECT_EQ(host.questions[0], "Connect setting have been changed.\n"
                               "Disconnect and reconnect to the new setting to take effect.");
  EXPECT_EQ(phone().bindRestart, 0);  // a new server leaves the listener alone
  const ConfigFile file = saved();
  EXPECT_EQ(file.cnf.serverHost.get(), *net::parseAddress("198.51.100.1"));
  EXPECT_EQ(file.cnf.serverPort.get(), 4000);

  // The host shown is what a login announces: never loopback.
  phone().tick();
  EXPECT_NE(w().lLocalHost->text().toStdString().rfind("127.", 0), 0u);
}

TEST_F(ConfigDialogTest, RefusedSoundChangeKeepsTheOldDevice) {
  makeDialog();
  EXPECT_EQ(w().comboBoxSp->count(), 2);
  w().comboBoxSp->setCurrentIndex(1);
  EXPECT_EQ(phone().cnfEdit.soundSp.get(), 1);
  host.answer = false;
  EXPECT_TRUE(dialog().apply());
  ASSERT_EQ(host.questions.size(), 1u);
  EXPECT_EQ(host.questions[0], "Sound setting have been changed.\n"
                               "Restart sound system to the new setting to take effect.");
  EXPECT_EQ(phone().cnf.soundSp.get(), 0);
  EXPECT_EQ(phone().cnfEdit.soundSp.get(), 0);
  EXPECT_EQ(w().comboBoxSp->currentIndex(), 0);
  EXPECT_EQ(saved().cnf.soundSp.get(), 0);

  // Yes takes it.
  host.answer = true;
  w().comboBoxSp->setCurrentIndex(1);
  EXPECT_TRUE(dialog().apply());
  EXPECT_EQ(phone().cnf.soundSp.get(), 1);
  EXPECT_EQ(saved().cnf.soundSp.get(), 1);

  // A headset plugged in meanwhile is offered once a list opens, not when
  // the dialog does (the restart of the sound library would stall it), and
  // never while a melody sounds; the chosen device stays selected.
  dialog().hide();
  audio->plugged.push_back("Headset");
  dialog().showConfig();
  const auto openList = [](QComboBox* list) {
    list->showPopup();
    list->hidePopup();
  };
  audio->sounding = true;
  openList(w().comboBoxSp);
  EXPECT_EQ(audio->refreshes, 0);
  EXPECT_EQ(w().comboBoxSp->count(), 2);
  audio->sounding = false;
  openList(w().comboBoxMc);
  EXPECT_EQ(audio->refreshes, 1);
  EXPECT_EQ(w().comboBoxSp->count(), 3);
  EXPECT_EQ(w().comboBoxSp->currentIndex(), 1);
  EXPECT_EQ(w().comboBoxMc->currentIndex(), 0);
  EXPECT_EQ(phone().cnfEdit.soundSp.get(), 1);
}

TEST_F(ConfigDialogTest, UncheckedSavePasswordForgetsIt) {
  makeDialog([](CnfData& c) {
    c.userNumber = 200000001;
    c.passwd = "secret";
    c.passwdLen = 6;
  });
  EXPECT_TRUE(w().cSavePasswd->isChecked());
  // Apply with the box left alone keeps it.
  EXPECT_TRUE(dialog().apply());
  EXPECT_EQ(saved().cnf.passwd.str(), "secret");

  w().cSavePasswd->setChecked(false);
  w().rbStartUp[1]->setChecked(true);
  EXPECT_TRUE(dialog().apply());
  const ConfigFile file = saved();
  EXPECT_EQ(file.cnf.passwd.str(), "");
  EXPECT_EQ(file.cnf.passwdLen.get(), 0);
  EXPECT_EQ(file.cnf.userNumber.get(), 200000001);
  EXPECT_EQ(file.cnf.startUp.get(), 1);
  EXPECT_FALSE(w().cSavePasswd->isChecked());
}

TEST_F(ConfigDialogTest, MelodyFileLoadsItsFirst1023Bytes) {
  makeDialog();
  std::string content;
  for (int i = 0; i < 5000; ++i) content.push_back(static_cast<char>('a' + i % 26));
  const std::string path = dir.file("long.txt").string();
  std::ofstream(path, std::ios::binary) << content;
  const std::string callIn = phone().cnf.musicCallIn.str();

  w().rbMusic[1]->setChecked(true);
  EXPECT_EQ(phone().cnf.musicSel.get(), 1);  // the choice is live at once
  EXPECT_TRUE(dialog().loadMelodyFile(QString::fromStdString(path)));
  EXPECT_EQ(phone().cnf.musicCallOut.str(), content.substr(0, 1023));
  EXPECT_EQ(phone().cnfEdit.musicCallOut.str(), content.substr(0, 1023));
  EXPECT_EQ(phone().cnf.musicCallIn.str(), callIn);

  // A file that cannot be read changes nothing; Play takes the slot shown.
  EXPECT_FALSE(dialog().loadMelodyFile(QString::fromStdString(dir.file("none.txt").string())));
  EXPECT_EQ(phone().cnf.musicCallOut.str(), content.substr(0, 1023));
  dialog().playMelody();
  ASSERT_GE(audioLog.size(), 2u);
  EXPECT_EQ(audioLog[audioLog.size() - 2], "melody " + content.substr(0, 1023));
  EXPECT_EQ(audioLog.back(), "startMelody");

  dialog().defaultMelody();
  EXPECT_NE(phone().cnfEdit.musicCallOut.str(), content.substr(0, 1023));
  EXPECT_EQ(phone().cnfEdit.musicCallOut.str(), phone().cnf.musicCallOut.str());
}

TEST_F(ConfigDialogTest, ImmediateSettingsReachBothRecords) {
  makeDialog();
  w().trackVol->setValue(77);
  EXPECT_EQ(audio->volume, 77);
  w().trackTakt->setValue(40);
  w().trackActivationVoice->setValue(9);
  for (const CnfData* r : {&phone().cnf, &phone().cnfEdit}) {
    EXPECT_EQ(r->musicVol.get(), 77);
    EXPECT_EQ(r->musicTakt.get(), 40);
    EXPECT_EQ(r->activationVoice.get(), 9);
  }
  // Hold time and spool size are saved as they change, with the other live
  // settings; the working copy's edits wait for Apply.
  w().eHttpPort->setText("8080");
  w().comboTmHoldVoice->setCurrentIndex(3);
  EXPECT_EQ(w().comboNGsmDelay->currentText(), "Automatic");  // a new user's
  w().comboNGsmDelay->setCurrentIndex(0);
  const ConfigFile file = saved();
  EXPECT_EQ(file.cnf.tmHoldVoice.get(), 3);
  EXPECT_EQ(file.cnf.nGsmDelay.get(), 0);
  EXPECT_EQ(file.cnf.musicVol.get(), 77);
  EXPECT_EQ(file.cnf.httpPort.get(), 0);
}

TEST_F(ConfigDialogTest, PortOutsideItsRangeIsRefused) {
  makeDialog([](CnfData& c) {
    c.dynamicPort = 0;
    c.userPort = 0;  // the system picks the listening port
  });
  w().eHttpPort->setText("8080");
  EXPECT_EQ(phone().cnfEdit.httpPort.get(), 8080);
  w().eHttpPort->setText("70000");
  EXPECT_EQ(phone().cnfEdit.httpPort.get(), 8080);  // not 70000 cut to 4464
  EXPECT_TRUE(w().eHttpPort->property("invalid").toBool());
  emit w().eHttpPort->editingFinished();
  EXPECT_EQ(w().eHttpPort->text().toStdString(), "8080");
  EXPECT_FALSE(w().eHttpPort->property("invalid").toBool());
  w().eHttpPort->setText("0");
  EXPECT_EQ(phone().cnfEdit.httpPort.get(), 8080);

  // Typed, the key that would go past 65535 is dropped.
  w().eGatePort->clear();
  QTest::keyClicks(w().eGatePort, "70000");
  EXPECT_EQ(w().eGatePort->text().toStdString(), "7000");
  EXPECT_EQ(phone().cnfEdit.gatePort.get(), 7000);
  QTest::keyClicks(w().eGateHost, "1x0.2 ");
  EXPECT_EQ(w().eGateHost->text().toStdString(), "127.0.0.110.2");
  EXPECT_EQ(phone().cnfEdit.gateHost.get(), *net::parseAddress("127.0.0.110"));  // last whole one

  // The listening port takes five digits too.
  w().eUserPort->setText("40000");
  EXPECT_EQ(phone().cnfEdit.userPort.get(), 40000);
}

TEST_F(ConfigDialogTest, AutomaticReachabilityGivesWayToTheNatAddress) {
  makeDialog([](CnfData& c) {
    c.dynamicPort = 0;
    c.userPort = 0;
    c.autoReach = 0;  // a file of a phone from before the choice
  });
  EXPECT_EQ(w().cAutoReach->text().toStdString(),
            "Automatic (NAT-PMP / UPnP, else the server's relay)");
  EXPECT_FALSE(w().cAutoReach->isChecked());
  w().cAutoReach->setChecked(true);
  EXPECT_EQ(phone().cnf.autoReach.get(), 0);  // nothing live before Apply

  // The user's own forwarding wins; the choice waits behind it.
  w().cUseReDirectCallIn->setChecked(true);
  EXPECT_FALSE(w().cAutoReach->isEnabled());
  dialog().setLocalHostLabel("203.0.113.9:40001");
  EXPECT_TRUE(dialog().apply());
  EXPECT_TRUE(host.questions.empty());
  EXPECT_EQ(phone().cnf.autoReach.get(), 1);
  EXPECT_EQ(saved().cnf.autoReach.get(), 1);
  EXPECT_TRUE(w().cAutoReach->isChecked());
  EXPECT_FALSE(w().cAutoReach->isEnabled());
  // Refilling keeps what the phone said over the record's bare address.
  EXPECT_EQ(w().lLocalHost->text().toStdString(), "203.0.113.9:40001");

  w().cUseReDirectCallIn->setChecked(false);
  EXPECT_TRUE(w().cAutoReach->isEnabled());
  w().cAutoReach->setChecked(false);
  EXPECT_TRUE(dialog().apply());
  EXPECT_EQ(saved().cnf.autoReach.get(), 0);
}

}  // namespace
}  // namespace orvalis::testing

namespace orvalis::testing {
namespace {

std::string soundFile(const TempDir& dir) {
  std::ifstream in(dir.file("sound201.txt"));
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Echo cancellation is kept beside the settings record, on unless switched
// off, and reaches the sound at once; it means nothing in half duplex.
TEST_F(ConfigDialogTest, EchoCancellationIsAChoiceOfFullDuplex) {
  makeDialog([](CnfData& c) { c.soundSystem = static_cast<std::int32_t>(store::SoundSystem::fullDuplex); });
  EXPECT_EQ(w().cSoundProcessing->text().toStdString(), "Echo cancellation and noise suppression");
  EXPECT_TRUE(w().cSoundProcessing->isChecked());
  EXPECT_TRUE(w().cSoundProcessing->isEnabled());
  EXPECT_EQ(audio->processing, std::optional(true));

  w().cSoundProcessing->setChecked(false);
  EXPECT_EQ(audio->processing, std::optional(true));  // nothing live before Apply
  EXPECT_TRUE(dialog().apply());
  EXPECT_EQ(audio->processing, std::optional(false));
  EXPECT_FALSE(w().cSoundProcessing->isChecked());
  EXPECT_NE(soundFile(dir).find("processing=off\n"), std::string::npos);
  // The devices remembered afterwards leave the choice in the file.
  phone().rememberDevices();
  EXPECT_NE(soundFile(dir).find("processing=off\n"), std::string::npos);
  EXPECT_NE(soundFile(dir).find("speaker=Speaker A\n"), std::string::npos);
  EXPECT_FALSE(store::loadSoundProcessing(dir.file("sound201.txt").string()));

  w().comboSoundSystem->setCurrentIndex(static_cast<int>(store::SoundSystem::halfDuplex));
  EXPECT_FALSE(w().cSoundProcessing->isEnabled());
  w().comboSoundSystem->setCurrentIndex(static_cast<int>(store::SoundSystem::fullDuplex));
  w().cSoundProcessing->setChecked(true);
  EXPECT_TRUE(dialog().apply());
  EXPECT_EQ(soundFile(dir).find("processing="), std::string::npos);
  EXPECT_TRUE(store::loadSoundProcessing(dir.file("sound201.txt").string()));
}

}  // namespace
}  // namespace orvalis::testing
