#pragma once
// The registration dialog without its window: the fields as typed, the
// busy state, the outcome polling and the result its caller stores. The
// window draws this state and forwards its events; Timer1 is the window's
// 500 ms timer, running while the dialog is open.

#include <cstdint>
#include <string>
#include <string_view>

#include "phone/account_fields.h"
#include "phone/coded_texts.h"
#include "phone/dialog_host.h"

namespace orvalis::phone {

class CPhone;

enum class RegResult : std::int32_t { none = 0, registered = 1, existing = 2 };

class RegistrationDialog {
 public:
  // Language codes: control captions and the texts of the status line and
  // the message boxes.
  enum Code : std::int32_t {
    capNumber = 300, capPasswd = 301, capRepeat = 302, capSavePasswd = 303, capGroup = 304,
    capNew = 305, capExists = 306,
    txtError = 307, txtShortNumber = 308, txtShortPasswd = 309, txtRegisteringNew = 310,
    txtRegisteringExisting = 311, txtServerError = 312, txtServerInaccessible = 313,
    txtNumberDuplicate = 314, txtRegistrationOk = 315, txtWrongNumberOrPasswd = 316,
    capClear = 317,
  };

  RegistrationDialog(CPhone& phone, DialogHost& host);

  bool setText(std::int32_t code, std::string_view text) { return texts_.set(code, text); }
  std::string text(std::int32_t code) const { return texts_.get(code); }

  // Events of the window.
  void formShow();
  void formClose() { open_ = false; }
  void setNumberText(std::string_view typed) { number_ = numberFieldText(typed); }
  void setPasswd1(std::string_view typed) { passwd1_ = passwdFieldText(typed); }
  void setPasswd2(std::string_view typed) { passwd2_ = passwdFieldText(typed); }
  void setSavePasswd(bool ticked) { regSavePasswd = ticked; }
  void clearClick();
  void addNewClick();
  void addExistsClick();
  void cancelClick();
  void timer1();

  // What the window shows.
  bool open() const { return open_; }
  // While busy, Clear, New, Exists, Cancel and the three edit fields are
  // disabled; the save box stays usable.
  bool busy() const { return busy_; }
  const std::string& numberText() const { return number_; }
  const std::string& passwd1() const { return passwd1_; }
  const std::string& passwd2() const { return passwd2_; }
  const std::string& statusLine() const { return status_; }

  // The result its caller reads once the dialog has closed.
  RegResult regResult = RegResult::none;
  std::int32_t regNumber = 0;
  bool regSavePasswd = true;
  std::string regPasswd;

 private:
  bool validateInput();
  // Frees a finished slot and reports its outcome; a slot without one is
  // left alone.
  void takeOutcome(std::int16_t slot);

  CPhone& phone_;
  DialogHost& host_;
  CodedTexts<capNumber, 18> texts_;
  std::string number_;
  std::string passwd1_;
  std::string passwd2_;
  std::string status_;
  bool busy_ = false;
  bool open_ = false;
};

}  // namespace orvalis::phone
