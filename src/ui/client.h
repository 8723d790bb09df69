#pragma once
// TFClient: the phone's main window and the owner of everything else. It
// creates the controller, the account dialogs' logic, the address book on
// its list and the language menu; its 200 ms refresh tick brings the tray,
// the menu and the display up to date and runs the shutdown.

#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>

#include "phone/account_actions.h"
#include "phone/passwd_change.h"
#include "phone/phone.h"
#include "phone/registration.h"
#include "store/config.h"
#include "ui/button_highlight.h"
#include "ui/client_layout.h"
#include "ui/config_dialog.h"
#include "ui/dialog_seams.h"
#include "ui/login_dialog.h"
#include "ui/main_menu.h"
#include "ui/message_boxes.h"
#include "ui/skin_images.h"
#include "ui/tray.h"
#include "ui/window_phone_ui.h"
#include "ui/window_texts.h"

namespace orvalis::ui {

struct ClientOptions {
  std::string baseDir = store::currentDirectory();  // settings, skins, languages
  phone::CPhone::AudioFactory makeAudio;            // none: a silent phone
  phone::CPhone::HostLookup hostLookup;             // none: the system's own address
  TraceSink trace;                                  // display texts and tray icons, as lines
  bool startTimers = true;                          // false: the caller drives the ticks
  // Whether a sound side without output or input devices is worth a box:
  // not for a phone that runs without sound on purpose, nor under tests.
  bool reportMissingDevices = false;
};

class TFClient : public QWidget, private SkinButtonEvents {
  Q_OBJECT

 public:
  static constexpr int refreshPeriodMs = 200;
  // The shutdown's countdown in ticks: it waits for the logout at most
  // 2 s, so that a server that does not answer cannot hold the exit (a
  // desktop session ending kills what lingers).
  static constexpr int shutdownStart = 1 + 2000 / refreshPeriodMs;

  explicit TFClient(ClientOptions options);
  ~TFClient() override;
  TFClient(const TFClient&) = delete;
  TFClient& operator=(const TFClient&) = delete;

  // The first showing: stays in the tray when the settings ask for it and
  // a tray exists.
  void showAtStart();

  // One refresh, or one step of the shutdown.
  void refreshTick();
  // The action of a button code (1..23).
  void pressButton(int code);
  // Selects the language entry of a menu caption and applies its file.
  void selectLanguage(const QString& caption);
  // A language text of the window (10..99).
  void setText(std::int32_t code, std::string_view text);
  // Starts the shutdown, as "X" and both Shut Down items do.
  void shutDown();

  phone::CPhone& phone() { return *phone_; }
  const ClientWidgets& widgets() const { return w_; }
  MainMenu& mainMenu() { return menu_; }
  Tray& tray() { return *tray_; }
  // The 50 ms heartbeat, which the configuration dialog keeps.
  Heartbeat& heartbeat() { return config_->heartbeat(); }
  const ButtonHighlight& highlight() const { return highlight_; }
  const WindowTexts& texts() const { return texts_; }
  const ButtonImages& buttonImages() const { return images_; }
  int trayIconShown() const { return trayIconShown_; }
  int closeCountdown() const { return closeCountdown_; }

  // The account dialogs' logic, for the dialogs that will show it.
  phone::AccountActions& accountActions() { return *actions_; }
  phone::RegistrationDialog& registration() { return *registration_; }
  phone::PasswdDialog& passwd() { return *passwd_; }
  TFCnf& configDialog() { return *config_; }
  TFCnf& configSeam() { return *config_; }  // the name older tests know
  LoginDialog& loginDialog() { return *login_; }
  void setDialogs(std::unique_ptr<DialogSeams> dialogs) { dialogs_ = std::move(dialogs); }

 signals:
  // The shutdown has finished: the program ends.
  void closed();

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void changeEvent(QEvent* event) override;
  void hideEvent(QHideEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;

 private:
  // Creation, in order (client.cpp).
  void createController(ClientOptions& options);
  void createDialogs();
  void attachAddrBook();
  void connectMenus();
  void installKeyPreview();

  // Skins (client_skins.cpp).
  void applyBackground();
  void loadSkins();
  void drawButton(int code, ButtonState state);
  void apply(const HighlightReaction& reaction);

  // Language (client_language.cpp).
  void fillLanguageMenu();
  void applyLanguage();
  void languageChosen(QAction* entry);

  // Refresh steps (client_refresh.cpp).
  void shutdownStep();
  void refreshTray();
  void refreshMenu();
  void refreshTalkPanel();
  void refreshNumber();
  void refreshLabels();
  // The lock of a private call; a caller whose number is not its own.
  void refreshPrivacy();

  // Buttons (client_buttons.cpp).
  void appendDigit(char digit);
  void findByNick();
  void showNameOfNumber();
  void selectCell(int row);
  void muteClicked();
  void togglePanels();
  void popUpMenu();
  void buttonPointerOver(int code) override;
  void buttonMouseDown(int code) override;
  void buttonMouseUp(int code) override;
  void previewKey(const QKeyEvent& event);
  // Whatever holds a button now will not see its release reach the window.
  void releaseHolds();

  // Tray and closing (client_close.cpp).
  void hideToTray();
  void restoreFromTray();

  QString appDir_;
  TraceSink trace_;
  ClientWidgets w_;
  MainMenu menu_;
  std::unique_ptr<Tray> tray_;
  LoginDialog* login_ = nullptr;  // owned by the window
  MessageBoxes boxes_;
  std::unique_ptr<WindowPhoneUi> phoneUi_;
  std::unique_ptr<phone::CPhone> phone_;
  std::unique_ptr<phone::RegistrationDialog> registration_;
  std::unique_ptr<phone::PasswdDialog> passwd_;
  std::unique_ptr<phone::AccountActions> actions_;
  std::unique_ptr<DialogSeams> dialogs_;
  std::unique_ptr<TFCnf> config_;  // reads the phone: declared after it
  QTimer refreshTimer_;

  WindowTexts texts_;
  ButtonImages images_;
  Backgrounds backgrounds_;
  ButtonHighlight highlight_;

  int closeMode_ = 0;  // 0 before the first showing, 1 in use, 2 shutting down
  int closeCountdown_ = 0;
  bool finished_ = false;
  bool refreshBusy_ = false;
  int blinkPhase_ = 0;
  int trayIconShown_ = 0;
  int menuStateShown_ = menuNone;
  bool dragActive_ = false;
  QPoint dragStart_;
  // The key event last previewed, so one passing up to a parent is seen once.
  struct KeySeen {
    const void* event = nullptr;
    int type = 0;
    int key = 0;
    quint64 timestamp = 0;
    bool operator==(const KeySeen&) const = default;
  };
  KeySeen lastKey_;
};

}  // namespace orvalis::ui
