#include "phone/passwd_change.h"

#include "net/message_codes.h"
#include "phone/phone.h"

namespace orvalis::phone {

using net::SlotState;

PasswdDialog::PasswdDialog(CPhone& phone, DialogHost& host)
    : phone_(phone),
      host_(host),
      texts_({"Change Passwodr.", "Error!", "server does not answer!", "Error Database Server! ",
              "Waiting ...", "Twice enter the new password.",
              "The password is less than 6 marks or the fields do not coincide.",
              "The password is successfully changed!", "Сохранить пароль"}) {}

void PasswdDialog::formShow() {
  pwResult = false;
  pwSavePasswd = false;
  open_ = true;
  setIdle();
}

bool PasswdDialog::validateInput() {
  if (!acceptablePasswd(passwd1_, passwd2_)) {
    host_.message(joinLines(text(txtError), text(txtBadPasswd)));
    return false;
  }
  pwNew = passwd1_;
  return true;
}

void PasswdDialog::acceptClick() {
  if (busy_ || !validateInput()) return;
  if (phone_.requestChangePasswd(pwNew)) setBusy();  // otherwise: stay idle
}

void PasswdDialog::cancelClick() {
  if (!busy_) formClose();
}

void PasswdDialog::setBusy() {
  busy_ = true;
  status_ = text(txtWaiting);
}

void PasswdDialog::setIdle() {
  busy_ = false;
  status_ = text(txtEnterTwice);
  if (!pwResult) {
    passwd1_.clear();
    passwd2_.clear();
  }
}

void PasswdDialog::timer1() {
  if (!open_) return;
  net::AuthSlot& slot = phone_.quiryAuth[net::reqChangePasswd];
  const SlotState state = slot.load();
  if (state == SlotState::slotFailed) {
    slot.store(SlotState::slotIdle);
    host_.message(text(txtNoAnswer));
    setIdle();
  } else if (state == SlotState::slotDone) {
    pwResult = slot.answer.code == net::ansDone;
    slot.store(SlotState::slotIdle);
    host_.message(text(pwResult ? txtChanged : txtDatabaseError));
    setIdle();
  }
  if (pwResult) formClose();
}

}  // namespace orvalis::phone
