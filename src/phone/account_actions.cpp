#include "phone/account_actions.h"

#include "net/message_codes.h"
#include "phone/phone.h"

namespace orvalis::phone {

AccountActions::AccountActions(CPhone& phone, PhoneUi& ui, DialogHost& host)
    : phone_(phone),
      ui_(ui),
      host_(host),
      texts_({"Delete user.", "You really want to remove", "telephone number with server?"}) {}

void AccountActions::storePasswd(std::string_view passwd) {
  for (store::CnfData* rec : {&phone_.cnf, &phone_.cnfEdit}) {
    rec->passwd.set(passwd);
    rec->passwdLen = static_cast<std::int32_t>(rec->passwd.str().size());
  }
}

FlowOutcome AccountActions::save() {
  // A success the file does not keep is lost at the next start, so the
  // caller must be able to tell.
  return phone_.config.save() ? FlowOutcome::done : FlowOutcome::notSaved;
}

FlowOutcome AccountActions::registerUser(RegistrationDialog& dialog, const ShowModal& show) {
  if (phone_.cnf.userNumber > 0) return FlowOutcome::notAvailable;
  dialog.formShow();
  show();
  dialog.formClose();
  if (dialog.regResult == RegResult::none) return FlowOutcome::unchanged;

  storePasswd(dialog.regSavePasswd ? std::string_view(dialog.regPasswd) : std::string_view());
  for (store::CnfData* rec : {&phone_.cnf, &phone_.cnfEdit}) rec->userNumber = dialog.regNumber;
  return save();
}

bool AccountActions::connectUser() {
  // The login dialog may still show the prompt of a failed attempt.
  ui_.setLoginPrompt(phone_.text(PhoneText::txtEnterPasswd));
  ui_.setLoginCaption(phone_.text(PhoneText::txtConnectionToServer));
  ui_.setLoginSaveCaption(phone_.text(PhoneText::txtSavePasswd));
  ServerState expected = ServerState::suspended;
  return phone_.serverState.compare_exchange_strong(expected, ServerState::loggedOut);
}

bool AccountActions::disconnectUser() {
  if (phone_.serverState.load() != ServerState::loggedIn) return false;
  phone_.serverState = ServerState::suspended;
  phone_.logout();
  return true;
}

FlowOutcome AccountActions::deleteUser() {
  if (phone_.serverState.load() != ServerState::loggedIn) return FlowOutcome::notAvailable;
  if (!host_.confirm(text(txtDeleteTitle), joinLines(text(txtDeleteLine1), text(txtDeleteLine2))))
    return FlowOutcome::unchanged;
  // Only this thread queues, so an idle slot now is a queued one after.
  const bool idle = phone_.quiryAuth[net::reqDeleteUser].load() == net::SlotState::slotIdle;
  phone_.requestDeleteUser();
  return idle ? FlowOutcome::done : FlowOutcome::unchanged;
}

FlowOutcome AccountActions::changePasswd(PasswdDialog& dialog, const ShowModal& show) {
  if (phone_.serverState.load() != ServerState::loggedIn) return FlowOutcome::notAvailable;
  dialog.formShow();
  show();
  dialog.formClose();
  if (!dialog.pwResult) return FlowOutcome::unchanged;

  storePasswd(dialog.pwSavePasswd ? std::string_view(dialog.pwNew) : std::string_view());
  return save();
}

}  // namespace orvalis::phone
