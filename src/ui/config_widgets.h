#pragma once
// The controls of the "Config" window, by tab, as the dialog and its tests
// reach them.

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSlider>
#include <QTabWidget>

#include <array>

namespace orvalis::ui {

// A list of sound devices that says when it is about to open, so that the
// lists can be read afresh just when the user looks for a device.
class DeviceComboBox final : public QComboBox {
  Q_OBJECT

 public:
  using QComboBox::QComboBox;
  void showPopup() override;

 signals:
  void popupAboutToShow();
};

struct ConfigWidgets {
  QTabWidget* tabs = nullptr;
  QPushButton* bOk = nullptr;
  QPushButton* bCancel = nullptr;
  QPushButton* bApply = nullptr;

  // "Music Msg": the slots in the order of musicSel.
  QGroupBox* gbMusic = nullptr;
  std::array<QRadioButton*, 4> rbMusic{};
  QPushButton* bMusicPlay = nullptr;
  QPushButton* bMusicStop = nullptr;
  QPushButton* bMusicLoad = nullptr;
  QPushButton* bMusicDef = nullptr;
  QPushButton* bMusicEditFile = nullptr;
  QLabel* lStep = nullptr;
  QSlider* trackTakt = nullptr;
  QLabel* lLoudness = nullptr;
  QSlider* trackVol = nullptr;

  // "Sound".
  QLabel* lSoundSystem = nullptr;
  QComboBox* comboSoundSystem = nullptr;
  QLabel* lSoundSpeaker = nullptr;
  DeviceComboBox* comboBoxSp = nullptr;
  QLabel* lSoundMic = nullptr;
  DeviceComboBox* comboBoxMc = nullptr;
  QLabel* lActivationMic = nullptr;
  QComboBox* comboMSA = nullptr;
  QGroupBox* gbDetectorVoice = nullptr;
  QSlider* trackActivationVoice = nullptr;
  QFrame* pValueMc = nullptr;
  QLabel* lTimeDetector = nullptr;
  QLabel* lTimeHolding = nullptr;
  QComboBox* comboTmHoldVoice = nullptr;
  QLabel* lVoicePackage = nullptr;
  QComboBox* comboNGsm = nullptr;
  QLabel* lVoiceSpool = nullptr;
  QComboBox* comboNGsmDelay = nullptr;
  QGroupBox* gbTestMic = nullptr;
  QPushButton* bTestStart = nullptr;
  QPushButton* bTestStop = nullptr;
  QLabel* lTestRecording = nullptr;
  QLabel* lTestPlaying = nullptr;

  // "User".
  QLabel* lCallInConnections = nullptr;
  QCheckBox* cUseSocks5CallOut = nullptr;
  QCheckBox* cSavePasswd = nullptr;
  QGroupBox* rgStartUp = nullptr;
  std::array<QRadioButton*, 2> rbStartUp{};  // "Normal", "Tray"
  QLabel* lLocalHost = nullptr;
  QLineEdit* eUserPort = nullptr;
  QCheckBox* checkDinamicalyPort = nullptr;
  QCheckBox* cUseReDirectCallIn = nullptr;
  QLineEdit* eReHost = nullptr;
  QCheckBox* cAutoReach = nullptr;
  QCheckBox* cSoundProcessing = nullptr;

  // "Server": the ways in the order of connectServer.
  QGroupBox* gbServerAuth = nullptr;
  QLineEdit* eServerHost = nullptr;
  QLineEdit* eServerPort = nullptr;
  QGroupBox* gbConnectServerAuth = nullptr;
  std::array<QRadioButton*, 4> rConnect{};
  QLabel* lHttpPlain = nullptr;  // the Http way carries no TLS
  QLabel* lCheckServer = nullptr;
  QPushButton* bTestServer = nullptr;
  QLabel* lTestServer = nullptr;

  // "Firewall".
  QLineEdit* eHttpHost = nullptr;
  QLineEdit* eHttpPort = nullptr;
  QLineEdit* eSocks5Host = nullptr;
  QLineEdit* eSocks5Port = nullptr;
  QCheckBox* cSocks5Auth = nullptr;
  QLineEdit* eSocks5User = nullptr;
  QLineEdit* eSocks5Passwd = nullptr;
  QLineEdit* eGateHost = nullptr;
  QLineEdit* eGatePort = nullptr;
};

// The tab indexes.
enum ConfigTab : int { tabMusic = 0, tabSound = 1, tabUser = 2, tabServer = 3, tabFirewall = 4 };

// Creates every control of the window on its tab; the captions are the
// built-in ones.
ConfigWidgets buildConfigWidgets(QWidget& dialog);

}  // namespace orvalis::ui
