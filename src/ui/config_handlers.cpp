// The change handlers: each control writes its field of the working copy,
// or of both records for the settings that act at once.

#include <QSignalBlocker>

#include "store/text_codec.h"
#include "ui/config_dialog.h"
#include "ui/config_fields.h"
#include "ui/qt_text.h"

namespace orvalis::ui {

using store::CnfData;

void TFCnf::connectHandlers() {
  // While the controls are filled their handlers wait, and then run in
  // order (runHandlers), so that no handler sees a control not yet set.
  auto on = [this](auto* sender, auto signal, auto handler) {
    connect(sender, signal, this, [this, handler] {
      if (!filling_) handler();
    });
  };
  for (std::size_t k = 0; k < w_.rbMusic.size(); ++k)
    on(w_.rbMusic[k], &QRadioButton::toggled, [this, k] {
      if (w_.rbMusic[k]->isChecked()) musicSelected(static_cast<int>(k));
    });
  on(w_.trackTakt, &QSlider::valueChanged, [this] { taktChanged(); });
  on(w_.trackVol, &QSlider::valueChanged, [this] { volumeChanged(); });
  for (QComboBox* c :
       std::initializer_list<QComboBox*>{w_.comboBoxSp, w_.comboBoxMc, w_.comboNGsm})
    on(c, &QComboBox::currentIndexChanged, [this] { deviceChanged(); });
  for (DeviceComboBox* c : {w_.comboBoxSp, w_.comboBoxMc})
    connect(c, &DeviceComboBox::popupAboutToShow, this, [this] { refreshDeviceLists(); });
  on(w_.comboSoundSystem, &QComboBox::currentIndexChanged, [this] { soundSystemChanged(); });
  on(w_.comboMSA, &QComboBox::currentIndexChanged, [this] { msaChanged(); });
  on(w_.trackActivationVoice, &QSlider::valueChanged, [this] { activationChanged(); });
  on(w_.comboTmHoldVoice, &QComboBox::currentIndexChanged, [this] { holdTimeChanged(); });
  on(w_.comboNGsmDelay, &QComboBox::currentIndexChanged, [this] { spoolChanged(); });
  on(w_.checkDinamicalyPort, &QCheckBox::toggled, [this] { dynamicPortChanged(); });
  for (QCheckBox* c : {w_.cUseSocks5CallOut, w_.cUseReDirectCallIn, w_.cSocks5Auth, w_.cAutoReach})
    on(c, &QCheckBox::toggled, [this] { flagsChanged(); });
  for (QLineEdit* e : {w_.eSocks5User, w_.eSocks5Passwd})
    on(e, &QLineEdit::textChanged, [this] { secretsChanged(); });
  for (std::size_t k = 0; k < w_.rConnect.size(); ++k)
    on(w_.rConnect[k], &QRadioButton::toggled, [this, k] {
      if (w_.rConnect[k]->isChecked()) connectWayChanged(static_cast<int>(k));
    });
  const std::pair<QLineEdit*, store::PortField CnfData::*> ports[] = {
      {w_.eUserPort, &CnfData::userPort},
      {w_.eServerPort, &CnfData::serverPort},
      {w_.eSocks5Port, &CnfData::socks5Port},
      {w_.eHttpPort, &CnfData::httpPort},
      {w_.eGatePort, &CnfData::gatePort}};
  for (const auto& [edit, field] : ports) {
    on(edit, &QLineEdit::textChanged, [this, edit, field] { portEdited(edit, field); });
    on(edit, &QLineEdit::editingFinished, [this, edit, field] { portFinished(edit, field); });
  }
  const std::pair<QLineEdit*, store::IpField CnfData::*> hosts[] = {
      {w_.eReHost, &CnfData::reHost},
      {w_.eServerHost, &CnfData::serverHost},
      {w_.eSocks5Host, &CnfData::socks5Host},
      {w_.eHttpHost, &CnfData::httpHost},
      {w_.eGateHost, &CnfData::gateHost}};
  for (const auto& [edit, field] : hosts)
    on(edit, &QLineEdit::textChanged, [this, edit, field] { hostEdited(edit, field); });

  connect(w_.bOk, &QPushButton::clicked, this, &TFCnf::okClicked);
  connect(w_.bCancel, &QPushButton::clicked, this, &TFCnf::cancelClicked);
  connect(w_.bApply, &QPushButton::clicked, this, [this] { apply(); });
  connect(w_.bMusicPlay, &QPushButton::clicked, this, &TFCnf::playMelody);
  connect(w_.bMusicStop, &QPushButton::clicked, this, &TFCnf::stopMelody);
  connect(w_.bMusicLoad, &QPushButton::clicked, this, &TFCnf::chooseMelodyFile);
  connect(w_.bMusicDef, &QPushButton::clicked, this, &TFCnf::defaultMelody);
  connect(w_.bMusicEditFile, &QPushButton::clicked, this, &TFCnf::editMelodyFile);
  connect(w_.bTestStart, &QPushButton::clicked, this, &TFCnf::startMicTest);
  connect(w_.bTestStop, &QPushButton::clicked, this, &TFCnf::stopMicTest);
  connect(w_.bTestServer, &QPushButton::clicked, this, &TFCnf::testServer);
}

void TFCnf::runHandlers() {
  for (std::size_t k = 0; k < w_.rbMusic.size(); ++k)
    if (w_.rbMusic[k]->isChecked()) musicSelected(static_cast<int>(k));
  taktChanged();
  volumeChanged();
  deviceChanged();
  spoolChanged();
  holdTimeChanged();
  soundSystemChanged();
  msaChanged();
  activationChanged();
  flagsChanged();
  portEdited(w_.eUserPort, &CnfData::userPort);
  dynamicPortChanged();
  hostEdited(w_.eReHost, &CnfData::reHost);
  hostEdited(w_.eServerHost, &CnfData::serverHost);
  portEdited(w_.eServerPort, &CnfData::serverPort);
  for (std::size_t k = 0; k < w_.rConnect.size(); ++k)
    if (w_.rConnect[k]->isChecked()) connectWayChanged(static_cast<int>(k));
  hostEdited(w_.eSocks5Host, &CnfData::socks5Host);
  portEdited(w_.eSocks5Port, &CnfData::socks5Port);
  secretsChanged();
  hostEdited(w_.eHttpHost, &CnfData::httpHost);
  portEdited(w_.eHttpPort, &CnfData::httpPort);
  hostEdited(w_.eGateHost, &CnfData::gateHost);
  portEdited(w_.eGatePort, &CnfData::gatePort);
}

void TFCnf::musicSelected(int slot) {
  both([slot](CnfData& r) { r.musicSel = slot; });
}

void TFCnf::taktChanged() {
  const int takt = w_.trackTakt->value();
  both([takt](CnfData& r) { r.musicTakt = takt; });
}

void TFCnf::volumeChanged() {
  const int volume = w_.trackVol->value();
  phone_.audio().setVolume(volume);
  both([volume](CnfData& r) { r.musicVol = volume; });
}

void TFCnf::deviceChanged() {
  // An empty list leaves the record's device as it is.
  CnfData& e = phone_.cnfEdit;
  if (w_.comboBoxSp->currentIndex() >= 0) e.soundSp = w_.comboBoxSp->currentIndex();
  if (w_.comboBoxMc->currentIndex() >= 0) e.soundMc = w_.comboBoxMc->currentIndex();
  if (w_.comboNGsm->currentIndex() >= 0) e.nGsm = w_.comboNGsm->currentIndex();
}

void TFCnf::soundSystemChanged() {
  const int index = w_.comboSoundSystem->currentIndex();
  if (index < 0) return;
  phone_.cnfEdit.soundSystem = index;
  // Half duplex has no echo to cancel: the choice waits for full duplex.
  w_.cSoundProcessing->setEnabled(!halfDuplexEdit());
  if (!halfDuplexEdit() || w_.comboMSA->currentIndex() < 0) return;
  const int msa = halfDuplexMsa(w_.comboMSA->currentIndex());
  {
    const QSignalBlocker quiet(w_.comboMSA);
    w_.comboMSA->setCurrentIndex(msa);
  }
  phone_.cnfEdit.msa = msa;
}

void TFCnf::msaChanged() {
  int index = w_.comboMSA->currentIndex();
  if (index < 0 || index == phone_.cnfEdit.msa) return;
  if (halfDuplexEdit()) {
    index = halfDuplexMsa(index);
    const QSignalBlocker quiet(w_.comboMSA);
    w_.comboMSA->setCurrentIndex(index);
  }
  phone_.cnfEdit.msa = w_.comboMSA->currentIndex();
}

void TFCnf::activationChanged() {
  const int level = w_.trackActivationVoice->value();
  if (level == phone_.cnfEdit.activationVoice) return;
  both([level](CnfData& r) { r.activationVoice = level; });
}

void TFCnf::holdTimeChanged() {
  const int index = w_.comboTmHoldVoice->currentIndex();
  if (index < 0 || (index == phone_.cnf.tmHoldVoice && index == phone_.cnfEdit.tmHoldVoice))
    return;
  both([index](CnfData& r) { r.tmHoldVoice = index; });
  phone_.config.save();
}

void TFCnf::spoolChanged() {
  const int index = w_.comboNGsmDelay->currentIndex();
  if (index < 0 || (index == phone_.cnf.nGsmDelay && index == phone_.cnfEdit.nGsmDelay)) return;
  both([index](CnfData& r) { r.nGsmDelay = index; });
  phone_.config.save();
}

void TFCnf::dynamicPortChanged() {
  const bool dynamic = w_.checkDinamicalyPort->isChecked();
  phone_.cnfEdit.dynamicPort = dynamic ? 1 : 0;
  // A port the system chooses cannot be forwarded by a NAT, nor typed.
  if (dynamic) w_.cUseReDirectCallIn->setChecked(false);
  if (dynamic) phone_.cnfEdit.useReDirectCallIn = 0;
  for (QWidget* c : {static_cast<QWidget*>(w_.eUserPort), static_cast<QWidget*>(w_.eReHost),
                     static_cast<QWidget*>(w_.cUseReDirectCallIn)})
    c->setEnabled(!dynamic);
}

void TFCnf::connectWayChanged(int way) { phone_.cnfEdit.connectServer = way; }

void TFCnf::flagsChanged() {
  CnfData& e = phone_.cnfEdit;
  e.useSocks5CallOut = w_.cUseSocks5CallOut->isChecked() ? 1 : 0;
  e.useReDirectCallIn = w_.cUseReDirectCallIn->isChecked() ? 1 : 0;
  e.socks5Auth = w_.cSocks5Auth->isChecked() ? 1 : 0;
  e.autoReach = w_.cAutoReach->isChecked() ? 1 : 0;
  // The user's own forwarding on the NAT wins over automatic reachability;
  // the choice is kept for when it is turned off.
  w_.cAutoReach->setEnabled(!w_.cUseReDirectCallIn->isChecked());
}

void TFCnf::secretsChanged() {
  auto store = [](const QLineEdit* edit, auto& field, store::LeInt32& length) {
    // The length follows the bytes the field really keeps.
    const std::string text = utf8Text(edit->text());
    const std::string_view bytes = store::utf8Prefix(text, store::secretSize - 1);
    field.set(bytes);
    length = static_cast<std::int32_t>(bytes.size());
  };
  CnfData& e = phone_.cnfEdit;
  store(w_.eSocks5User, e.socks5User, e.socks5UserLen);
  store(w_.eSocks5Passwd, e.socks5Passwd, e.socks5PasswdLen);
}

void TFCnf::portEdited(QLineEdit* edit, store::PortField CnfData::*field) {
  // A port outside 1..65535 is refused: the field keeps its value and the
  // edit shows it is wrong until it is mended or left.
  const auto port = parsePortText(utf8Text(edit->text()));
  if (port) (phone_.cnfEdit.*field).set(*port);
  QPalette p = edit->palette();
  p.setColor(QPalette::Text, port ? palette().color(QPalette::Text) : QColor(Qt::red));
  edit->setPalette(p);
  edit->setProperty("invalid", !port.has_value());
}

void TFCnf::portFinished(QLineEdit* edit, store::PortField CnfData::*field) {
  if (!edit->property("invalid").toBool()) return;
  edit->setText(QString::number((phone_.cnfEdit.*field).get()));
}

void TFCnf::hostEdited(QLineEdit* edit, store::IpField CnfData::*field) {
  if (const auto address = parseHostText(utf8Text(edit->text())))
    (phone_.cnfEdit.*field).set(*address);
}

}  // namespace orvalis::ui
