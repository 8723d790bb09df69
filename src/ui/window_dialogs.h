#pragma once
// The windows the main window opens from its menu and its Edit key:
// registration, change of password, the address-book entry editor, and
// the configuration dialog given from outside.

#include <QPointer>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <string_view>

#include "phone/account_actions.h"
#include "phone/dialog_host.h"
#include "phone/passwd_change.h"
#include "phone/phone.h"
#include "phone/registration.h"
#include "ui/addr_book_editor.h"
#include "ui/dialog_seams.h"
#include "ui/passwd_form.h"
#include "ui/registration_form.h"

namespace orvalis::ui {

class WindowDialogs final : public DialogSeams {
 public:
  // The windows are children of parent; host reports what a flow could
  // not keep (a settings or address-book file that was not written).
  WindowDialogs(phone::CPhone& phone, phone::AccountActions& actions,
                phone::RegistrationDialog& registration, phone::PasswdDialog& passwd,
                QWidget* parent, phone::DialogHost& host, std::function<void()> configuration);
  ~WindowDialogs() override;
  WindowDialogs(const WindowDialogs&) = delete;
  WindowDialogs& operator=(const WindowDialogs&) = delete;

  void registration() override;
  void configuration() override;
  void changePasswd() override;
  void editEntry() override;

  // A language text of the registration (300..317) or change-password
  // (400..408) window; false for other codes.
  bool setText(std::int32_t code, std::string_view text) override;

  // What the last registration or password change came to.
  phone::FlowOutcome lastOutcome() const { return lastOutcome_; }

  RegistrationForm& registrationForm() { return *registrationForm_; }
  PasswdForm& passwdForm() { return *passwdForm_; }
  AddrBookEditor& editor() { return *editor_; }

  // Shown when a stored outcome could not be written to its file.
  static constexpr std::string_view settingsNotSaved = "The settings file could not be written.";
  static constexpr std::string_view bookNotSaved = "The address book could not be written.";

 private:
  void report(phone::FlowOutcome outcome);

  phone::AccountActions& actions_;
  phone::RegistrationDialog& registration_;
  phone::PasswdDialog& passwd_;
  phone::DialogHost& host_;
  std::function<void()> configuration_;
  QPointer<RegistrationForm> registrationForm_;
  QPointer<PasswdForm> passwdForm_;
  QPointer<AddrBookEditor> editor_;
  phone::FlowOutcome lastOutcome_ = phone::FlowOutcome::notAvailable;
};

}  // namespace orvalis::ui
