#pragma once
// The windows the main window opens that are not built yet: registration,
// configuration, change of password and the address-book entry editor.
// Until they exist their menu items and the Edit button do nothing.

namespace orvalis::ui {

class DialogSeams {
 public:
  virtual ~DialogSeams() = default;
  virtual void registration() = 0;
  virtual void configuration() = 0;
  virtual void changePasswd() = 0;
  // The current row of the address book holds a contact.
  virtual void editEntry() = 0;
};

class NoDialogs final : public DialogSeams {
 public:
  void registration() override {}
  void configuration() override {}
  void changePasswd() override {}
  void editEntry() override {}
};

}  // namespace orvalis::ui
