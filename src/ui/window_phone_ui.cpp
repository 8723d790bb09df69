#include "ui/window_phone_ui.h"

#include "ui/qt_text.h"

namespace orvalis::ui {

void WindowPhoneUi::setDisplay(std::string_view text) {
  if (display_) display_->setText(qtText(text));
  if (trace_) trace_(text.empty() ? std::string("display:") : "display: " + std::string(text));
}

void WindowPhoneUi::setLoginCaption(std::string_view text) {
  if (login_) login_->setCaption(qtText(text));
}

void WindowPhoneUi::setLoginPrompt(std::string_view text) {
  if (login_) login_->setPrompt(qtText(text));
}

void WindowPhoneUi::setLoginSaveCaption(std::string_view text) {
  if (login_) login_->setSaveCaption(qtText(text));
}

void WindowPhoneUi::attachConfig(TFCnf* config) {
  config_ = config;
  if (!config_) return;
  if (!localHost_.empty()) config_->setLocalHostLabel(localHost_);
  config_->setTestServerLabel(testServer_);
}

void WindowPhoneUi::setLocalHostLabel(std::string_view text) {
  localHost_ = text;
  if (config_) config_->setLocalHostLabel(text);
}

void WindowPhoneUi::setTestServerLabel(std::string_view text) {
  testServer_ = text;
  if (config_) config_->setTestServerLabel(text);
}

phone::LoginOutcome WindowPhoneUi::runLoginDialog(const phone::LoginPrefill& prefill) {
  // Without its window the user cannot answer: that is a cancel.
  if (!login_) return {};
  return login_->run(prefill);
}

}  // namespace orvalis::ui
