#pragma once
// What the controller needs of the user interface. The window implements
// it; the headless phone and the tests have their own. The controller only
// pushes texts and asks for the login password; it never reads widgets.

#include <cstdint>
#include <string>
#include <string_view>

namespace orvalis::phone {

// What the login dialog shows when it opens.
struct LoginPrefill {
  bool savePasswd = false;  // the save box is ticked
  std::string passwd;       // the saved password, shown when savePasswd
  // The server showed another TLS key than the one met first: the dialog
  // offers to forget the old one.
  bool serverKeyRefused = false;
};

// What the user did in the login dialog.
struct LoginOutcome {
  bool ok = false;  // Ok pressed; false: cancelled
  bool savePasswd = false;
  std::string passwd;
  bool forgetServerKey = false;  // the server's new key is to be trusted
};

class PhoneUi {
 public:
  virtual ~PhoneUi() = default;

  // The main window's display line.
  virtual void setDisplay(std::string_view text) = 0;

  // The login dialog: caption, prompt, caption of its save box, and showing
  // it modally.
  virtual void setLoginCaption(std::string_view text) = 0;
  virtual void setLoginPrompt(std::string_view text) = 0;
  virtual void setLoginSaveCaption(std::string_view text) = 0;
  virtual LoginOutcome runLoginDialog(const LoginPrefill& prefill) = 0;

  // Two labels of the configuration dialog: the own address and the
  // outcome of the server test.
  virtual void setLocalHostLabel(std::string_view text) = 0;
  virtual void setTestServerLabel(std::string_view text) = 0;
  // A message box with the application's title and one OK button.
  virtual void showMessage(std::string_view text) = 0;

  // A login's answer: logged in as number, callers reaching it at
  // "ADDR:PORT"; or refused or unanswered, for the reason the login dialog
  // shows next. The window shows both through its tray icon and dialogs.
  virtual void loggedIn(std::int32_t /*number*/, std::string_view /*reachableAt*/) {}
  virtual void loginFailed(std::string_view /*reason*/) {}
};

}  // namespace orvalis::phone
