// The main window's creation and destruction.

#include "ui/client.h"

#include <QApplication>

#include "ui/app_title.h"
#include "ui/data_dir.h"
#include "ui/qt_text.h"
#include "ui/window_dialogs.h"

namespace orvalis::ui {

namespace {

QString withSlash(const std::string& dir) {
  QString s = qtText(dir);
  if (!s.endsWith(QLatin1Char('/'))) s += QLatin1Char('/');
  return s;
}

}  // namespace

TFClient::TFClient(ClientOptions options)
    : QWidget(nullptr, Qt::Window | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint),
      appDir_(withSlash(options.baseDir)),
      trace_(options.trace),
      menu_(this),
      boxes_(this, options.trace) {
  setObjectName(QStringLiteral("FClient"));
  setWindowTitle(QString::fromUtf8(appTitle));
  setFixedSize(windowWidth, windowHeight);
  setMouseTracking(true);
  setFont(skinFont());
  QPalette p = palette();
  p.setColor(QPalette::Window, Qt::white);
  setPalette(p);
  w_ = buildClientWidgets(*this, *this);
  tray_ = std::make_unique<Tray>(dataDirFor(appDir_, "icons"), this);

  createController(options);
  createDialogs();
  attachAddrBook();
  connectMenus();
  fillLanguageMenu();
  QApplication::setApplicationDisplayName(QString::fromUtf8(appTitle));
  w_.name->clear();
  w_.number->clear();
  w_.display->clear();
  applyBackground();
  w_.list->resize(w_.list->width(), collapsedHeight);
  w_.talk->resize(w_.talk->width(), collapsedHeight);
  loadSkins();
  installKeyPreview();

  refreshTimer_.setInterval(refreshPeriodMs);
  connect(&refreshTimer_, &QTimer::timeout, this, &TFClient::refreshTick);
  if (options.startTimers) {
    refreshTimer_.start();
    config_->heartbeat().start();
  }
  if (options.reportMissingDevices) config_->reportMissingDevices();
}

TFClient::~TFClient() {
  refreshTimer_.stop();
  if (config_) config_->heartbeat().stop();
  for (QWidget* child : findChildren<QWidget*>()) child->removeEventFilter(this);
  removeEventFilter(this);
  // The book goes with the controller, before the list that shows it.
  if (w_.grid) w_.grid->detach();
  if (phone_) {
    phone_->addrBook.setOnChanged(nullptr);
    phone_->addrBook.setOnCurrentRowChanged(nullptr);
  }
}

void TFClient::createController(ClientOptions& options) {
  // The controller's display is LMsg1; its login prompt is this dialog.
  login_ = new LoginDialog(this);
  phoneUi_ = std::make_unique<WindowPhoneUi>(w_.display, login_, boxes_, trace_);
  phone_ = std::make_unique<phone::CPhone>(*phoneUi_, utf8Text(appDir_), options.makeAudio,
                                           std::move(options.hostLookup));
  // The configuration dialog keeps the heartbeat; it shows two of the
  // controller's texts.
  config_ = std::make_unique<TFCnf>(*phone_, boxes_, *phoneUi_, this);
  phoneUi_->attachConfig(config_.get());
}

void TFClient::createDialogs() {
  login_->setCaption(qtText(phone_->text(phone::PhoneText::txtConnectionToServer)));
  login_->setPrompt(qtText(phone_->text(phone::PhoneText::txtEnterPasswd)));
  login_->setSaveCaption(qtText(phone_->text(phone::PhoneText::txtSavePasswd)));
  registration_ = std::make_unique<phone::RegistrationDialog>(*phone_, boxes_);
  passwd_ = std::make_unique<phone::PasswdDialog>(*phone_, boxes_);
  actions_ = std::make_unique<phone::AccountActions>(*phone_, *phoneUi_, boxes_);
  dialogs_ = std::make_unique<WindowDialogs>(*phone_, *actions_, *registration_, *passwd_, this,
                                             boxes_, [this] { config_->showConfig(); });
}

void TFClient::attachAddrBook() {
  store::AddrBook& book = phone_->addrBook;
  w_.grid = buildAddrGrid(w_, book);
  book.setOnChanged([this] { w_.grid->refresh(); });
  book.setOnCurrentRowChanged([this] {
    w_.grid->showCurrent();
    selectCell(phone_->addrBook.currentRow());
  });
  book.selectRow(1);
}

void TFClient::connectMenus() {
  connect(menu_.registration, &QAction::triggered, this, [this] { dialogs_->registration(); });
  connect(menu_.connect, &QAction::triggered, this, [this] { actions_->connectUser(); });
  connect(menu_.disconnect, &QAction::triggered, this, [this] { actions_->disconnectUser(); });
  connect(menu_.config, &QAction::triggered, this, [this] { config_->showConfig(); });
  for (QAction* entry : menu_.languages)
    connect(entry, &QAction::triggered, this, [this, entry] { languageChosen(entry); });
  connect(menu_.deleteUser, &QAction::triggered, this, [this] { actions_->deleteUser(); });
  connect(menu_.changePasswd, &QAction::triggered, this, [this] { dialogs_->changePasswd(); });
  // Closing without a shutdown hides the window.
  connect(menu_.minimize, &QAction::triggered, this, [this] { close(); });
  connect(menu_.shutDown, &QAction::triggered, this, &TFClient::shutDown);

  connect(tray_->open, &QAction::triggered, this, &TFClient::restoreFromTray);
  connect(tray_->shutDown, &QAction::triggered, this, &TFClient::shutDown);
  connect(&tray_->icon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) {
            if (reason == QSystemTrayIcon::DoubleClick) restoreFromTray();
          });
  connect(w_.mute, &QCheckBox::clicked, this, [this] { muteClicked(); });
}

void TFClient::installKeyPreview() {
  installEventFilter(this);
  for (QWidget* child : findChildren<QWidget*>())
    if (child->window() == this) child->installEventFilter(this);
}

}  // namespace orvalis::ui
