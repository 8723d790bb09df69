#pragma once
// The change-password dialog without its window: the two entries, the
// busy state, the polling of the password-change slot and the result its
// caller stores. Timer1 is the window's 500 ms timer, running while the
// dialog is open.

#include <cstdint>
#include <string>
#include <string_view>

#include "phone/account_fields.h"
#include "phone/coded_texts.h"
#include "phone/dialog_host.h"

namespace orvalis::phone {

class CPhone;

class PasswdDialog {
 public:
  // Language codes: the caption, the texts and the save box's caption.
  enum Code : std::int32_t {
    capDialog = 400, txtError = 401, txtNoAnswer = 402, txtDatabaseError = 403,
    txtWaiting = 404, txtEnterTwice = 405, txtBadPasswd = 406, txtChanged = 407,
    capSavePasswd = 408,
  };

  PasswdDialog(CPhone& phone, DialogHost& host);

  bool setText(std::int32_t code, std::string_view text) { return texts_.set(code, text); }
  std::string text(std::int32_t code) const { return texts_.get(code); }

  // Events of the window.
  void formShow();
  void formClose() { open_ = false; }
  void setPasswd1(std::string_view typed) { passwd1_ = passwdFieldText(typed); }
  void setPasswd2(std::string_view typed) { passwd2_ = passwdFieldText(typed); }
  void setSavePasswd(bool ticked) { pwSavePasswd = ticked; }
  void acceptClick();
  void cancelClick();
  void timer1();

  // What the window shows. While busy, Accept and Cancel are disabled.
  bool open() const { return open_; }
  bool busy() const { return busy_; }
  const std::string& passwd1() const { return passwd1_; }
  const std::string& passwd2() const { return passwd2_; }
  const std::string& statusLine() const { return status_; }

  // The result its caller reads once the dialog has closed.
  bool pwResult = false;
  bool pwSavePasswd = false;
  std::string pwNew;

 private:
  bool validateInput();
  void setBusy();
  void setIdle();

  CPhone& phone_;
  DialogHost& host_;
  CodedTexts<capDialog, 9> texts_;
  std::string passwd1_;
  std::string passwd2_;
  std::string status_;
  bool busy_ = false;
  bool open_ = false;
};

}  // namespace orvalis::phone
