#pragma once
// The account actions of the main menu: registration, connect, disconnect,
// deletion and change of password, with the storing of what the account
// dialogs produced.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "phone/coded_texts.h"
#include "phone/dialog_host.h"
#include "phone/passwd_change.h"
#include "phone/phone_ui.h"
#include "phone/registration.h"

namespace orvalis::phone {

class CPhone;

enum class FlowOutcome {
  notAvailable,  // the action's condition did not hold; nothing was shown
  unchanged,     // the dialog ended without success, or the user declined
  done,          // the outcome is stored and saved, or the request queued
  notSaved,      // the outcome is stored, but the settings file could not be written
};

class AccountActions {
 public:
  // Runs a dialog modally: returns once the dialog model is no longer open,
  // keeping the phone's tick and the dialog's timer going meanwhile.
  using ShowModal = std::function<void()>;

  enum Code : std::int32_t { txtDeleteTitle = 270, txtDeleteLine1 = 271, txtDeleteLine2 = 272 };

  // ui is the one the phone shows its texts on.
  AccountActions(CPhone& phone, PhoneUi& ui, DialogHost& host);

  bool setText(std::int32_t code, std::string_view text) { return texts_.set(code, text); }
  std::string text(std::int32_t code) const { return texts_.get(code); }

  // Only without an own number: shows the dialog; on success stores the
  // number and, when the save box was ticked, the password.
  FlowOutcome registerUser(RegistrationDialog& dialog, const ShowModal& show);
  // Resumes a suspended automatic login; true when it did.
  bool connectUser();
  // Logs out when logged in; true when it did.
  bool disconnectUser();
  // Only when logged in, and after the user confirmed: queues the deletion.
  FlowOutcome deleteUser();
  // Only when logged in: shows the dialog; on success stores the new
  // password when the save box was ticked and clears the saved one when not.
  FlowOutcome changePasswd(PasswdDialog& dialog, const ShowModal& show);

 private:
  // Stores (or clears, for an empty password) the saved password in both
  // settings records.
  void storePasswd(std::string_view passwd);
  FlowOutcome save();

  CPhone& phone_;
  PhoneUi& ui_;
  DialogHost& host_;
  CodedTexts<txtDeleteTitle, 3> texts_;
};

}  // namespace orvalis::phone
