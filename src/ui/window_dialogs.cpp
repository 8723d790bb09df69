#include "ui/window_dialogs.h"

namespace orvalis::ui {

WindowDialogs::WindowDialogs(phone::CPhone& phone, phone::AccountActions& actions,
                             phone::RegistrationDialog& registration, phone::PasswdDialog& passwd,
                             QWidget* parent, phone::DialogHost& host,
                             std::function<void()> configuration)
    : actions_(actions),
      registration_(registration),
      passwd_(passwd),
      host_(host),
      configuration_(std::move(configuration)),
      registrationForm_(new RegistrationForm(registration, parent)),
      passwdForm_(new PasswdForm(passwd, parent)),
      editor_(new AddrBookEditor(phone.addrBook, parent)) {}

WindowDialogs::~WindowDialogs() {
  // The windows draw models this object's owner may destroy next.
  delete registrationForm_.data();
  delete passwdForm_.data();
  delete editor_.data();
}

void WindowDialogs::registration() {
  if (!registrationForm_ || registrationForm_->isVisible()) return;
  report(actions_.registerUser(registration_, [this] { registrationForm_->runModal(); }));
}

void WindowDialogs::changePasswd() {
  if (!passwdForm_ || passwdForm_->isVisible()) return;
  report(actions_.changePasswd(passwd_, [this] { passwdForm_->runModal(); }));
}

void WindowDialogs::configuration() {
  if (configuration_) configuration_();
}

void WindowDialogs::editEntry() {
  if (!editor_ || editor_->isVisible()) return;
  if (editor_->runModal() && editor_->result() == QDialog::Accepted && !editor_->saved())
    host_.message(bookNotSaved);
}

bool WindowDialogs::setText(std::int32_t code, std::string_view text) {
  if (code >= phone::RegistrationDialog::capNumber && code <= phone::RegistrationDialog::capClear) {
    if (registrationForm_) registrationForm_->setText(code, text);
    return true;
  }
  if (code >= phone::PasswdDialog::capDialog && code <= phone::PasswdDialog::capSavePasswd) {
    if (passwdForm_) passwdForm_->setText(code, text);
    return true;
  }
  return false;
}

void WindowDialogs::report(phone::FlowOutcome outcome) {
  lastOutcome_ = outcome;
  // The success is stored but would be gone at the next start.
  if (outcome == phone::FlowOutcome::notSaved) host_.message(settingsNotSaved);
}

}  // namespace orvalis::ui
