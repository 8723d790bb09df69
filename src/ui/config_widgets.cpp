// The controls of the "Config" window on their five tabs.

#include "ui/config_widgets.h"

#include <QGridLayout>
#include <QHBoxLayout>
#include <QVBoxLayout>

#include "ui/byte_limit_validator.h"
#include "ui/config_fields.h"

namespace orvalis::ui {

namespace {

QSlider* slider(QWidget* parent, int low, int high) {
  auto* s = new QSlider(Qt::Horizontal, parent);
  s->setRange(low, high);
  return s;
}

QComboBox* combo(QWidget* parent, std::initializer_list<const char*> items) {
  auto* c = new QComboBox(parent);
  for (const char* item : items) c->addItem(QString::fromUtf8(item));
  return c;
}

QLineEdit* edit(QWidget* parent, QValidator* validator, int maxLength) {
  auto* e = new QLineEdit(parent);
  e->setMaxLength(maxLength);
  e->setValidator(validator);
  return e;
}

QLineEdit* portEdit(QWidget* parent) { return edit(parent, new PortValidator(parent), portDigits); }
QLineEdit* hostEdit(QWidget* parent) { return edit(parent, new HostValidator(parent), hostChars); }
QLineEdit* secretEdit(QWidget* parent) {
  auto* bytes = new ByteLimitValidator(secretBytes, ByteLimitValidator::Spaces::refused, parent);
  return edit(parent, bytes, static_cast<int>(secretBytes));
}

QWidget* musicTab(ConfigWidgets& w) {
  auto* tab = new QWidget;
  auto* grid = new QGridLayout(tab);
  w.gbMusic = new QGroupBox(tab);
  auto* melodies = new QVBoxLayout(w.gbMusic);
  const std::array<const char*, 4> captions = {"Входящий вызов.", "Исходящий вызов.",
                                               "Поиск абонента.", "Информационное."};
  for (std::size_t k = 0; k < w.rbMusic.size(); ++k) {
    w.rbMusic[k] = new QRadioButton(QString::fromUtf8(captions[k]), w.gbMusic);
    melodies->addWidget(w.rbMusic[k]);
  }
  grid->addWidget(w.gbMusic, 0, 0, 5, 1);
  w.bMusicPlay = new QPushButton(QStringLiteral("Play"), tab);
  w.bMusicStop = new QPushButton(QStringLiteral("Stop"), tab);
  w.bMusicLoad = new QPushButton(QStringLiteral("LoadFile"), tab);
  w.bMusicDef = new QPushButton(QStringLiteral("Default"), tab);
  w.bMusicEditFile = new QPushButton(QStringLiteral("EditFile"), tab);
  int row = 0;
  for (QPushButton* b : {w.bMusicPlay, w.bMusicStop, w.bMusicLoad, w.bMusicDef, w.bMusicEditFile})
    grid->addWidget(b, row++, 1);
  w.lStep = new QLabel(tab);
  w.trackTakt = slider(tab, 30, 100);
  w.lLoudness = new QLabel(tab);
  w.trackVol = slider(tab, 20, 160);
  grid->addWidget(w.lStep, 5, 0);
  grid->addWidget(w.trackTakt, 5, 1);
  grid->addWidget(w.lLoudness, 6, 0);
  grid->addWidget(w.trackVol, 6, 1);
  return tab;
}

QWidget* soundTab(ConfigWidgets& w) {
  auto* tab = new QWidget;
  auto* grid = new QGridLayout(tab);
  int row = 0;
  auto addRow = [&](QLabel*& label, QWidget* field) {
    label = new QLabel(tab);
    grid->addWidget(label, row, 0);
    grid->addWidget(field, row++, 1);
  };
  // The lists' items come from the language texts, set by the dialog.
  w.comboSoundSystem = new QComboBox(tab);
  addRow(w.lSoundSystem, w.comboSoundSystem);
  w.comboBoxSp = new DeviceComboBox(tab);
  addRow(w.lSoundSpeaker, w.comboBoxSp);
  w.comboBoxMc = new DeviceComboBox(tab);
  addRow(w.lSoundMic, w.comboBoxMc);
  w.comboMSA = new QComboBox(tab);
  addRow(w.lActivationMic, w.comboMSA);
  w.cSoundProcessing = new QCheckBox(tab);
  grid->addWidget(w.cSoundProcessing, row++, 0, 1, 2);

  w.gbDetectorVoice = new QGroupBox(tab);
  auto* detector = new QGridLayout(w.gbDetectorVoice);
  w.trackActivationVoice = slider(w.gbDetectorVoice, 2, 14);
  detector->addWidget(new QLabel(QStringLiteral("High"), w.gbDetectorVoice), 0, 0);
  detector->addWidget(w.trackActivationVoice, 0, 1);
  detector->addWidget(new QLabel(QStringLiteral("Low"), w.gbDetectorVoice), 0, 2);
  w.pValueMc = new QFrame(w.gbDetectorVoice);
  w.pValueMc->setAutoFillBackground(true);
  w.pValueMc->setFixedHeight(8);
  detector->addWidget(w.pValueMc, 1, 0, 1, 3, Qt::AlignLeft);
  w.lTimeDetector = new QLabel(w.gbDetectorVoice);
  w.lTimeHolding = new QLabel(w.gbDetectorVoice);
  w.comboTmHoldVoice = combo(w.gbDetectorVoice, {"2 sec", "3 sec", "4 sec", "5 sec"});
  detector->addWidget(w.lTimeDetector, 2, 0);
  detector->addWidget(w.lTimeHolding, 2, 1);
  detector->addWidget(w.comboTmHoldVoice, 2, 2);
  grid->addWidget(w.gbDetectorVoice, row++, 0, 1, 2);

  w.comboNGsm = combo(tab, {"  20 ms", "  40 ms", "  60 ms", "  80 ms", "100 ms"});
  addRow(w.lVoicePackage, w.comboNGsm);
  w.comboNGsmDelay =
      combo(tab, {"0", "0.1 sec", "0.2 sec", "0.5 sec", "1.0 sec", "2.0 sec", "3.0 sec",
                  "Automatic"});
  addRow(w.lVoiceSpool, w.comboNGsmDelay);

  w.gbTestMic = new QGroupBox(tab);
  auto* test = new QGridLayout(w.gbTestMic);
  w.bTestStart = new QPushButton(QStringLiteral("start"), w.gbTestMic);
  w.bTestStop = new QPushButton(QStringLiteral("stop"), w.gbTestMic);
  w.lTestRecording = new QLabel(w.gbTestMic);
  w.lTestPlaying = new QLabel(w.gbTestMic);
  test->addWidget(w.bTestStart, 0, 0);
  test->addWidget(w.lTestRecording, 0, 1);
  test->addWidget(w.bTestStop, 1, 0);
  test->addWidget(w.lTestPlaying, 1, 1);
  grid->addWidget(w.gbTestMic, row++, 0, 1, 2);
  return tab;
}

QWidget* userTab(ConfigWidgets& w) {
  auto* tab = new QWidget;
  auto* grid = new QGridLayout(tab);
  w.cUseSocks5CallOut = new QCheckBox(tab);
  w.cSavePasswd = new QCheckBox(tab);
  w.rgStartUp = new QGroupBox(tab);
  auto* startUp = new QHBoxLayout(w.rgStartUp);
  w.rbStartUp = {new QRadioButton(QStringLiteral("Normal"), w.rgStartUp),
                 new QRadioButton(QStringLiteral("Tray"), w.rgStartUp)};
  for (QRadioButton* rb : w.rbStartUp) startUp->addWidget(rb);
  w.lCallInConnections = new QLabel(tab);
  // The phone shows there the address and port callers use, at their widest
  // "255.255.255.255:65535"; the column must not shift as it changes.
  w.lLocalHost = new QLabel(tab);
  w.lLocalHost->setMinimumWidth(
      w.lLocalHost->fontMetrics().horizontalAdvance(QStringLiteral("255.255.255.255:65535")) +
      w.lLocalHost->fontMetrics().averageCharWidth());
  w.eUserPort = portEdit(tab);
  w.checkDinamicalyPort = new QCheckBox(tab);
  w.cUseReDirectCallIn = new QCheckBox(tab);
  w.eReHost = hostEdit(tab);
  w.cAutoReach = new QCheckBox(tab);
  grid->addWidget(w.cUseSocks5CallOut, 0, 0, 1, 2);
  grid->addWidget(w.cSavePasswd, 1, 0, 1, 2);
  grid->addWidget(w.rgStartUp, 2, 0, 1, 2);
  grid->addWidget(w.lCallInConnections, 3, 0, 1, 2);
  grid->addWidget(new QLabel(QStringLiteral("Reachable at"), tab), 4, 0);
  grid->addWidget(w.lLocalHost, 4, 1);
  grid->addWidget(new QLabel(QStringLiteral("Port"), tab), 5, 0);
  grid->addWidget(w.eUserPort, 5, 1);
  grid->addWidget(w.checkDinamicalyPort, 6, 0, 1, 2);
  grid->addWidget(w.cUseReDirectCallIn, 7, 0, 1, 2);
  grid->addWidget(w.eReHost, 8, 1);
  grid->addWidget(w.cAutoReach, 9, 0, 1, 2);
  return tab;
}

QWidget* serverTab(ConfigWidgets& w) {
  auto* tab = new QWidget;
  auto* column = new QVBoxLayout(tab);
  w.gbServerAuth = new QGroupBox(tab);
  auto* server = new QHBoxLayout(w.gbServerAuth);
  w.eServerHost = hostEdit(w.gbServerAuth);
  w.eServerPort = portEdit(w.gbServerAuth);
  server->addWidget(w.eServerHost);
  server->addWidget(w.eServerPort);
  column->addWidget(w.gbServerAuth);
  w.gbConnectServerAuth = new QGroupBox(tab);
  auto* ways = new QVBoxLayout(w.gbConnectServerAuth);
  w.rConnect = {new QRadioButton(w.gbConnectServerAuth),
                new QRadioButton(QStringLiteral("Socks5"), w.gbConnectServerAuth),
                new QRadioButton(QStringLiteral("Http"), w.gbConnectServerAuth),
                new QRadioButton(QStringLiteral("Kestrun v2.0.1"), w.gbConnectServerAuth)};
  for (QRadioButton* rb : w.rConnect) ways->addWidget(rb);
  // Every other way carries TLS to a server that offers it; GET requests
  // through an HTTP proxy cannot.
  w.lHttpPlain = new QLabel(QStringLiteral("Http: not encrypted, the password crosses the proxy "
                                           "as it is"),
                            w.gbConnectServerAuth);
  w.lHttpPlain->setWordWrap(true);
  ways->insertWidget(3, w.lHttpPlain);
  column->addWidget(w.gbConnectServerAuth);
  w.lCheckServer = new QLabel(tab);
  w.bTestServer = new QPushButton(QStringLiteral("Test"), tab);
  w.lTestServer = new QLabel(tab);
  column->addWidget(w.lCheckServer);
  column->addWidget(w.bTestServer, 0, Qt::AlignLeft);
  column->addWidget(w.lTestServer);
  return tab;
}

// A proxy's group: host and port, and what else it needs below them.
QGridLayout* proxyGroup(QWidget* tab, QLayout* into, const char* title, QLineEdit*& host,
                        QLineEdit*& port) {
  auto* group = new QGroupBox(QString::fromUtf8(title), tab);
  auto* grid = new QGridLayout(group);
  host = hostEdit(group);
  port = portEdit(group);
  grid->addWidget(new QLabel(QStringLiteral("Host"), group), 0, 0);
  grid->addWidget(host, 0, 1);
  grid->addWidget(new QLabel(QStringLiteral("Port"), group), 1, 0);
  grid->addWidget(port, 1, 1);
  into->addWidget(group);
  return grid;
}

QWidget* firewallTab(ConfigWidgets& w) {
  auto* tab = new QWidget;
  auto* column = new QVBoxLayout(tab);
  proxyGroup(tab, column, "Http", w.eHttpHost, w.eHttpPort);
  QGridLayout* socks = proxyGroup(tab, column, "Socks5", w.eSocks5Host, w.eSocks5Port);
  QWidget* group = w.eSocks5Host->parentWidget();
  w.cSocks5Auth = new QCheckBox(QStringLiteral("Autentification"), group);
  w.eSocks5User = secretEdit(group);
  w.eSocks5Passwd = secretEdit(group);
  w.eSocks5Passwd->setEchoMode(QLineEdit::Password);
  socks->addWidget(w.cSocks5Auth, 2, 0, 1, 2);
  socks->addWidget(new QLabel(QStringLiteral("User"), group), 3, 0);
  socks->addWidget(w.eSocks5User, 3, 1);
  socks->addWidget(new QLabel(QStringLiteral("Password"), group), 4, 0);
  socks->addWidget(w.eSocks5Passwd, 4, 1);
  proxyGroup(tab, column, "Kestrun", w.eGateHost, w.eGatePort);
  return tab;
}

}  // namespace

void DeviceComboBox::showPopup() {
  // Before the popup takes its items; an empty list has no popup to show,
  // but is the one most worth reading afresh.
  emit popupAboutToShow();
  QComboBox::showPopup();
}

ConfigWidgets buildConfigWidgets(QWidget& dialog) {
  ConfigWidgets w;
  auto* column = new QVBoxLayout(&dialog);
  w.tabs = new QTabWidget(&dialog);
  w.tabs->addTab(musicTab(w), QStringLiteral("Music Msg"));
  w.tabs->addTab(soundTab(w), QStringLiteral("Sound"));
  w.tabs->addTab(userTab(w), QStringLiteral("User"));
  w.tabs->addTab(serverTab(w), QStringLiteral("Server"));
  w.tabs->addTab(firewallTab(w), QStringLiteral("Firewall"));
  w.tabs->setCurrentIndex(tabUser);
  column->addWidget(w.tabs);
  auto* buttons = new QHBoxLayout;
  w.bOk = new QPushButton(QStringLiteral("OK"), &dialog);
  w.bCancel = new QPushButton(QStringLiteral("Cancel"), &dialog);
  w.bApply = new QPushButton(QStringLiteral("Apply"), &dialog);
  buttons->addStretch();
  for (QPushButton* b : {w.bOk, w.bCancel, w.bApply}) {
    b->setAutoDefault(false);
    buttons->addWidget(b);
  }
  column->addLayout(buttons);
  return w;
}

}  // namespace orvalis::ui
