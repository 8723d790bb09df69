// The "Config" window: creation, showing, filling and Apply.

#include "ui/config_dialog.h"

#include <QMetaObject>
#include <QSignalBlocker>

#include <tuple>
#include <vector>

#include "net/address.h"
#include "phone/settings_apply.h"
#include "ui/config_fields.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

TFCnf::TFCnf(phone::CPhone& phone, phone::DialogHost& host, phone::PhoneUi& ui, QWidget* parent)
    : QDialog(parent), phone_(phone), host_(host), serverTest_(phone, ui) {
  setObjectName(QStringLiteral("FCnf"));
  setWindowTitle(QStringLiteral("Config"));
  setModal(false);
  w_ = buildConfigWidgets(*this);
  loadBuiltInTexts();
  w_.lTestRecording->clear();
  w_.lTestPlaying->clear();
  listDevices();
  connectHandlers();
  HeartbeatView& view = *this;
  heartbeat_ = std::make_unique<Heartbeat>(phone_, serverTest_, view, this);
}

TFCnf::~TFCnf() { heartbeat_->stop(); }

void TFCnf::listDevices() {
  for (const auto& [direction, list, note] :
       {std::tuple{audio::Direction::playback, w_.comboBoxSp, "Error: Not WaveOut ."},
        std::tuple{audio::Direction::capture, w_.comboBoxMc, "Error: Not WaveIn."}}) {
    // A device's place in its list is its number, which the settings hold.
    const std::vector<std::string> names = phone_.audio().deviceNames(direction);
    for (const std::string& name : names) list->addItem(qtText(deviceLabel(name)));
    if (names.empty()) missingDevices_.emplace_back(note);
  }
  // A phone run without sound on purpose has nothing to miss.
  if (dynamic_cast<audio::SilentAudio*>(&phone_.audio()) != nullptr) missingDevices_.clear();
}

void TFCnf::reportMissingDevices() {
  // The boxes wait for the event loop: the window that owns them may still
  // be being built.
  QMetaObject::invokeMethod(
      this,
      [this] {
        for (const std::string& note : missingDevices_) host_.message(note);
        missingDevices_.clear();
      },
      Qt::QueuedConnection);
}

void TFCnf::showConfig() {
  // The lists as the sound side last read them: reading them afresh
  // restarts the sound library, which would stall the window and cut a
  // melody; a list does it when it opens.
  w_.comboBoxSp->clear();
  w_.comboBoxMc->clear();
  missingDevices_.clear();
  listDevices();
  phone_.cnfEdit.copyFrom(phone_.cnf);
  fillControls();
  show();
  raise();
  activateWindow();
}

void TFCnf::refreshDeviceLists() {
  if (!phone_.refreshDevices()) return;
  // Devices listed before keep their places, so the choices stay.
  const QSignalBlocker quietSpeakers(w_.comboBoxSp);
  const QSignalBlocker quietMicrophones(w_.comboBoxMc);
  w_.comboBoxSp->clear();
  w_.comboBoxMc->clear();
  missingDevices_.clear();
  listDevices();
  w_.comboBoxSp->setCurrentIndex(phone_.cnfEdit.soundSp);
  w_.comboBoxMc->setCurrentIndex(phone_.cnfEdit.soundMc);
}

void TFCnf::fillControls() {
  const store::CnfData& e = phone_.cnfEdit;
  auto setPort = [](QLineEdit* edit, std::uint16_t port) {
    edit->setText(QString::number(port));
  };
  auto setHost = [](QLineEdit* edit, std::uint32_t address) {
    edit->setText(qtText(net::formatAddress(address)));
  };
  filling_ = true;
  w_.trackTakt->setValue(e.musicTakt);
  w_.trackVol->setValue(e.musicVol);
  const std::int32_t sel = e.musicSel;
  w_.rbMusic[sel >= 0 && sel <= 2 ? static_cast<std::size_t>(sel) : 3]->setChecked(true);
  w_.comboBoxSp->setCurrentIndex(e.soundSp);
  w_.comboBoxMc->setCurrentIndex(e.soundMc);
  w_.comboNGsm->setCurrentIndex(e.nGsm);
  w_.comboNGsmDelay->setCurrentIndex(e.nGsmDelay);
  w_.comboTmHoldVoice->setCurrentIndex(e.tmHoldVoice);
  w_.comboSoundSystem->setCurrentIndex(e.soundSystem);
  w_.comboMSA->setCurrentIndex(e.msa);
  w_.cSoundProcessing->setChecked(phone_.soundProcessing());
  w_.trackActivationVoice->setValue(e.activationVoice);
  w_.cUseSocks5CallOut->setChecked(e.useSocks5CallOut != 0);
  w_.cSavePasswd->setChecked(e.passwdLen >= 1);
  w_.rbStartUp[e.startUp == 1 ? 1 : 0]->setChecked(true);
  // Once the phone has said where callers reach it (with the port, or a
  // mapped address), the bare address of the record would only hide that.
  if (!localHostGiven_) w_.lLocalHost->setText(qtText(net::formatAddress(e.localHost)));
  setPort(w_.eUserPort, e.userPort);
  w_.checkDinamicalyPort->setChecked(e.dynamicPort != 0);
  w_.cUseReDirectCallIn->setChecked(e.useReDirectCallIn != 0);
  w_.cAutoReach->setChecked(e.autoReach != 0);
  setHost(w_.eReHost, e.reHost);
  setHost(w_.eServerHost, e.serverHost);
  setPort(w_.eServerPort, e.serverPort);
  const std::int32_t way = e.connectServer;
  w_.rConnect[way >= 1 && way <= 3 ? static_cast<std::size_t>(way) : 0]->setChecked(true);
  setHost(w_.eSocks5Host, e.socks5Host);
  setPort(w_.eSocks5Port, e.socks5Port);
  w_.cSocks5Auth->setChecked(e.socks5Auth != 0);
  w_.eSocks5User->setText(qtText(e.socks5User.str()));
  w_.eSocks5Passwd->setText(qtText(e.socks5Passwd.str()));
  setHost(w_.eHttpHost, e.httpHost);
  setPort(w_.eHttpPort, e.httpPort);
  setHost(w_.eGateHost, e.gateHost);
  setPort(w_.eGatePort, e.gatePort);
  filling_ = false;
  runHandlers();
}

bool TFCnf::apply() {
  const phone::ApplyPrompts prompts{phone::joinLines(stored(263), stored(264)),
                                    phone::joinLines(stored(230), stored(231))};
  const bool saved = phone::applySettings(phone_, host_, prompts, w_.cSavePasswd->isChecked(),
                                          w_.rbStartUp[1]->isChecked() ? 1 : 0);
  // Kept beside the settings record, and taken up by the sound at once.
  if (w_.cSoundProcessing->isChecked() != phone_.soundProcessing())
    phone_.setSoundProcessing(w_.cSoundProcessing->isChecked());
  fillControls();
  return saved;
}

void TFCnf::okClicked() {
  apply();
  hide();
}

void TFCnf::setLocalHostLabel(std::string_view text) {
  localHostGiven_ = true;
  w_.lLocalHost->setText(qtText(text));
}

void TFCnf::setTestServerLabel(std::string_view text) { w_.lTestServer->setText(qtText(text)); }

bool TFCnf::halfDuplexEdit() const {
  return store::isHalfDuplex(phone_.cnfEdit.soundSystem);
}

// ---- heartbeat -----------------------------------------------------------------

void TFCnf::showRecording(audio::TestState state) {
  if (state == audio::TestState::running) w_.lTestRecording->setText(qtText(stored(226)));
  if (state == audio::TestState::idle) w_.lTestRecording->clear();
  if (state == audio::TestState::done) w_.lTestRecording->setText(qtText(stored(227)));
}

void TFCnf::showPlaying(audio::TestState state) {
  if (state == audio::TestState::running) w_.lTestPlaying->setText(qtText(stored(228)));
  if (state == audio::TestState::idle) w_.lTestPlaying->clear();
  if (state == audio::TestState::done) w_.lTestPlaying->setText(qtText(stored(229)));
}

void TFCnf::showVoiceMeter(bool active, int width) {
  QPalette p = w_.pValueMc->palette();
  p.setColor(QPalette::Window, active ? QColor(0x00, 0xFF, 0x00) : QColor(0xFF, 0xFF, 0x00));
  w_.pValueMc->setPalette(p);
  w_.pValueMc->setFixedWidth(width);
}

void TFCnf::showUserPort(std::uint16_t port) {
  w_.eUserPort->setText(QString::number(port));
}

void TFCnf::showServerTestButton(bool enabled) { w_.bTestServer->setEnabled(enabled); }

}  // namespace orvalis::ui
