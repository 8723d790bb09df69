#pragma once
// What the controller shows through the main window: its display line,
// the login dialog, the configuration dialog's two labels and message
// boxes.

#include <QLabel>
#include <QPointer>

#include <functional>
#include <string>

#include "phone/phone_ui.h"
#include "ui/config_dialog.h"
#include "ui/login_dialog.h"
#include "ui/message_boxes.h"

namespace orvalis::ui {

// Receives a line for each text the display shows, when tracing.
using TraceSink = std::function<void(const std::string& line)>;

class WindowPhoneUi final : public phone::PhoneUi {
 public:
  WindowPhoneUi(QLabel* display, LoginDialog* login, MessageBoxes& boxes, TraceSink trace)
      : display_(display), login_(login), boxes_(boxes), trace_(std::move(trace)) {}

  // The configuration dialog exists only after the phone that shows texts
  // on it; what came before reaches it now.
  void attachConfig(TFCnf* config);

  void setDisplay(std::string_view text) override;
  void setLoginCaption(std::string_view text) override;
  void setLoginPrompt(std::string_view text) override;
  void setLoginSaveCaption(std::string_view text) override;
  phone::LoginOutcome runLoginDialog(const phone::LoginPrefill& prefill) override;
  void setLocalHostLabel(std::string_view text) override;
  void setTestServerLabel(std::string_view text) override;
  void showMessage(std::string_view text) override { boxes_.message(text); }

 private:
  QPointer<QLabel> display_;
  QPointer<LoginDialog> login_;
  QPointer<TFCnf> config_;
  std::string localHost_;
  std::string testServer_;
  MessageBoxes& boxes_;
  TraceSink trace_;
};

}  // namespace orvalis::ui
