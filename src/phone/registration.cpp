#include "phone/registration.h"

#include "net/message_codes.h"
#include "phone/phone.h"

namespace orvalis::phone {

using net::SlotState;

RegistrationDialog::RegistrationDialog(CPhone& phone, DialogHost& host)
    : phone_(phone),
      host_(host),
      texts_({"Телефонный номер", "Введите пароль", "Повторите пароль", "Сохранить пароль",
              "Registration Phone Number", "New", "Exists", "Error!",
              "Is long of the number less than 9 marks.",
              "Is long of the password less than 6 marks.", "Registration New Number ...",
              "Registration Exists Number ...", "Server Error!", "Server Inaccessable!",
              "Number Duplicate!", "Registration Ok!", "Error Number Or Password", "Clear"}) {}

void RegistrationDialog::formShow() {
  // The fields keep what was typed the last time.
  regResult = RegResult::none;
  regNumber = 0;
  regSavePasswd = true;
  regPasswd.clear();
  status_.clear();
  busy_ = false;
  open_ = true;
}

void RegistrationDialog::clearClick() {
  if (busy_) return;
  number_.clear();
  passwd1_.clear();
  passwd2_.clear();
}

bool RegistrationDialog::validateInput() {
  regNumber = parseNumber(number_);
  if (regNumber < minUserNumber || regNumber > maxUserNumber) {
    host_.message(joinLines(text(txtError), text(txtShortNumber)));
    return false;
  }
  if (!acceptablePasswd(passwd1_, passwd2_)) {
    host_.message(joinLines(text(txtError), text(txtShortPasswd)));
    return false;
  }
  regPasswd = passwd1_;
  return true;
}

void RegistrationDialog::addNewClick() {
  if (busy_ || !validateInput()) return;
  if (!phone_.registerNew(regNumber, regPasswd)) return;  // slot busy: stay idle
  busy_ = true;
  status_ = text(txtRegisteringNew);
}

void RegistrationDialog::addExistsClick() {
  if (busy_ || !validateInput()) return;
  if (!phone_.loginAnnouncing(regNumber, regPasswd)) return;
  busy_ = true;
  status_ = text(txtRegisteringExisting);
}

void RegistrationDialog::cancelClick() {
  if (!busy_) formClose();
}

void RegistrationDialog::takeOutcome(std::int16_t index) {
  net::AuthSlot& slot = phone_.quiryAuth[static_cast<std::size_t>(index)];
  const SlotState state = slot.load();
  if (state != SlotState::slotDone && state != SlotState::slotFailed) return;

  std::int32_t shown = txtServerInaccessible;
  if (state == SlotState::slotDone) {
    const std::int16_t code = slot.answer.code;
    shown = txtServerError;
    if (index == net::reqLogin && code == net::ansFailed) {
      shown = txtWrongNumberOrPasswd;
    } else if (index == net::reqLogin && code == net::ansLoggedIn) {
      shown = txtRegistrationOk;
      regResult = RegResult::existing;
    } else if (index == net::reqRegister && code == net::ansDone) {
      shown = txtRegistrationOk;
      regResult = RegResult::registered;
    } else if (index == net::reqRegister && code == net::ansNumberDuplicate) {
      shown = txtNumberDuplicate;
    }
  }
  slot.store(SlotState::slotIdle);
  host_.message(text(shown));
  status_.clear();
  busy_ = false;
}

void RegistrationDialog::timer1() {
  if (!open_) return;
  // With an own number the login slot is the controller's.
  if (phone_.cnf.userNumber > 0) return;
  takeOutcome(net::reqLogin);
  takeOutcome(net::reqRegister);
  if (regResult != RegResult::none) formClose();
}

}  // namespace orvalis::phone
