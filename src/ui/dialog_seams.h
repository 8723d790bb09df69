#pragma once
// The windows the main window opens from its menu and its Edit button:
// registration, configuration, change of password and the address-book
// entry editor. NoDialogs opens none, for tests of the window alone.

#include <cstdint>
#include <string_view>

namespace orvalis::ui {

class DialogSeams {
 public:
  virtual ~DialogSeams() = default;
  virtual void registration() = 0;
  virtual void configuration() = 0;
  virtual void changePasswd() = 0;
  // The current row of the address book holds a contact.
  virtual void editEntry() = 0;
  // A language text for the dialogs' own captions; false when not theirs.
  virtual bool setText(std::int32_t, std::string_view) { return false; }
};

class NoDialogs final : public DialogSeams {
 public:
  void registration() override {}
  void configuration() override {}
  void changePasswd() override {}
  void editEntry() override {}
};

}  // namespace orvalis::ui
